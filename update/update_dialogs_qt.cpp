#include "update/update_dialogs_qt.h"

#include <QMessageBox>

namespace kv {

UpdateDialogsQt::UpdateDialogsQt(HidLink& link, QWidget* parent)
    : nelo_(parent), process_(link, parent), failed_(parent), successful_(parent)
{
    errorBox = [parent](const std::string& text, const std::string& caption) {
        QMessageBox::critical(parent, QString::fromStdString(caption), QString::fromStdString(text));
    };
    successful_.showError = [this](const std::string& text, const std::string& caption) {
        ShowError(text, caption);
    };
}

void UpdateDialogsQt::ShowError(const std::string& text, const std::string& caption)
{
    if (errorBox)
        errorBox(text, caption);
}

int UpdateDialogsQt::RunVersionDialog(const VersionDialogContent& content)
{
    return nelo_.run(content);
}

int UpdateDialogsQt::RunProgress(const UpdateAttempt& attempt) { return process_.run(attempt); }

int UpdateDialogsQt::RunFailed() { return failed_.run(); }

void UpdateDialogsQt::RunSuccess() { successful_.run(); }

}  // namespace kv
