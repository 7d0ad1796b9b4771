#include "update/fwupdate_successfull.h"

#include "update/shown_hook.h"

#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/paths.h"
#include "platform/qt/desktop.h"
#include "update/update_decision.h"

namespace kv {

CFWUPDATE_SUCCESSFULL::CFWUPDATE_SUCCESSFULL(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QString::fromUtf8(kSuccessDialogCaption));

    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(0xF0, 0xF0, 0xF0));
    pal.setColor(QPalette::WindowText, Qt::black);
    setPalette(pal);
    setAutoFillBackground(true);

    QFont bold(QStringLiteral("Arial"));
    bold.setPixelSize(16);
    bold.setWeight(QFont::Bold);

    message_ = new QLabel(QString::fromUtf8(kSuccessText), this);
    message_->setFont(bold);
    versionLabel_ = new QLabel(QString::fromUtf8(kSuccessVersionLabel), this);
    version_ = new QLabel(QString::fromStdString(SuccessVersionText()), this);
    version_->setFont(bold);

    notes_ = new QPushButton(QString::fromUtf8(kShowReleaseNotesCaption), this);
    notes_->setDefault(true);
    notes_->setAutoDefault(true);
    ok_ = new QPushButton(QStringLiteral("OK"), this);
    ok_->setAutoDefault(false);
    connect(notes_, &QPushButton::clicked, this, [this] { OnShowReleaseNotes(); });
    connect(ok_, &QPushButton::clicked, this, [this] { done(1); });

    showError = [this](const std::string& text, const std::string& caption) {
        QMessageBox::critical(this, QString::fromStdString(caption), QString::fromStdString(text));
    };

    auto* versionRow = new QHBoxLayout;
    versionRow->addWidget(versionLabel_);
    versionRow->addWidget(version_);
    versionRow->addStretch(1);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(notes_);
    buttons->addStretch(1);
    buttons->addWidget(ok_);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 14, 18, 14);
    layout->setSpacing(12);
    layout->addWidget(message_);
    layout->addLayout(versionRow);
    layout->addStretch(1);
    layout->addLayout(buttons);
}

int CFWUPDATE_SUCCESSFULL::run()
{
    notes_->setDefault(true);
    return exec();
}

void CFWUPDATE_SUCCESSFULL::OnShowReleaseNotes()
{
    const std::string path = ExeRelativePath(kReleaseNotesRelativePath);
    if (FileExists(path) && OpenFile(path)) {
        done(1);
        return;
    }
    // Stays open: the user has read the message and closes with "OK".
    if (!showError)
        return;
    if (FileExists(path))
        showError(NoPdfViewerText(path), kNoPdfViewerCaption);
    else
        showError(kReleaseNotesMissingText, kReleaseNotesMissingCaption);
}

void CFWUPDATE_SUCCESSFULL::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    CallShownHookSoon(this, &CFWUPDATE_SUCCESSFULL::onShown);
}

}  // namespace kv
