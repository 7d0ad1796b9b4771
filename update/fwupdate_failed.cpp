#include "update/fwupdate_failed.h"

#include "update/shown_hook.h"

#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QVBoxLayout>

namespace kv {

CFWUPDATE_FAILED::CFWUPDATE_FAILED(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Nelo Firmware Update Failed"));

    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(0xF0, 0xF0, 0xF0));
    pal.setColor(QPalette::WindowText, Qt::black);
    setPalette(pal);
    setAutoFillBackground(true);

    QFont bold(QStringLiteral("Arial"));
    bold.setPixelSize(16);
    bold.setWeight(QFont::Bold);

    // The texts stand as the program has always shown them.
    message_ = new QLabel(QStringLiteral("Fimrware update was not  completed successfully."), this);
    message_->setFont(bold);
    message_->setAlignment(Qt::AlignCenter);
    question_ = new QLabel(QStringLiteral("Do you want to try again?"), this);
    question_->setAlignment(Qt::AlignCenter);

    ok_ = new QPushButton(QStringLiteral("OK"), this);
    ok_->setDefault(true);
    exit_ = new QPushButton(QStringLiteral("Exit"), this);
    connect(ok_, &QPushButton::clicked, this, [this] { done(kTryAgain); });
    connect(exit_, &QPushButton::clicked, this, [this] { done(kExit); });

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok_);
    buttons->addWidget(exit_);
    buttons->addStretch(1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(message_);
    layout->addWidget(question_);
    layout->addLayout(buttons);
}

int CFWUPDATE_FAILED::run() { return exec(); }

void CFWUPDATE_FAILED::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    CallShownHookSoon(this, &CFWUPDATE_FAILED::onShown);
}

void CFWUPDATE_FAILED::reject() { done(kExit); }

}  // namespace kv
