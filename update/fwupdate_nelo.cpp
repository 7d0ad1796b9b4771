#include "update/fwupdate_nelo.h"

#include "update/shown_hook.h"

#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QVBoxLayout>

namespace kv {
namespace {

QLabel* MakeText(QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(false);
    // Black on the dialog's own grey: no background of its own.
    label->setAutoFillBackground(false);
    return label;
}

}  // namespace

CFWUPDATE_NELO::CFWUPDATE_NELO(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QString::fromUtf8(kVersionDialogCaption));

    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(0xF0, 0xF0, 0xF0));
    pal.setColor(QPalette::WindowText, Qt::black);
    setPalette(pal);
    setAutoFillBackground(true);

    top_ = MakeText(this);
    middle_ = MakeText(this);
    QFont bold(QStringLiteral("Arial"));
    bold.setPixelSize(20);
    bold.setWeight(QFont::Bold);
    middle_->setFont(bold);
    bottom_ = MakeText(this);

    left_ = new QPushButton(this);
    centre_ = new QPushButton(QStringLiteral("EXIT"), this);
    ok_ = new QPushButton(QStringLiteral("OK"), this);
    ok_->setDefault(true);
    for (QPushButton* b : {left_, centre_, ok_})
        b->setMinimumWidth(96);
    connect(left_, &QPushButton::clicked, this, [this] { Leave(VersionButton::Left); });
    connect(centre_, &QPushButton::clicked, this, [this] { Leave(VersionButton::Centre); });
    connect(ok_, &QPushButton::clicked, this, [this] { Leave(VersionButton::Ok); });

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(left_);
    buttons->addStretch(1);
    buttons->addWidget(centre_);
    buttons->addStretch(1);
    buttons->addWidget(ok_);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 14, 18, 14);
    layout->setSpacing(12);
    layout->addWidget(top_);
    layout->addWidget(middle_);
    layout->addWidget(bottom_);
    layout->addStretch(1);
    layout->addLayout(buttons);
    setMinimumWidth(520);
}

int CFWUPDATE_NELO::run(const VersionDialogContent& content)
{
    exitOnClose_ = false;
    top_->setText(QString::fromStdString(content.top));
    middle_->setText(QString::fromStdString(content.middle));
    bottom_->setText(QString::fromStdString(content.bottom));
    bottom_->setVisible(content.bottomShown);
    left_->setText(QString::fromStdString(content.leftCaption));
    left_->setVisible(content.leftShown);
    centre_->setVisible(content.centreShown);
    ok_->setVisible(content.okShown);
    ok_->setDefault(content.okShown);
    centre_->setDefault(!content.okShown);
    exitOnClose_ = content.exitOnClose;
    adjustSize();
    return exec();
}

void CFWUPDATE_NELO::Leave(VersionButton button)
{
    done(VersionDialogEndCode(button, exitOnClose_));
}

void CFWUPDATE_NELO::reject() { Leave(VersionButton::Left); }

void CFWUPDATE_NELO::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    CallShownHookSoon(this, &CFWUPDATE_NELO::onShown);
}

}  // namespace kv
