// The program's update dialogs: the version dialog, the progress dialog, the
// failure dialog and the success dialog, created once and run again on each
// use, and the error message box.
#pragma once

#include <functional>
#include <string>

#include "update/fwupdate_failed.h"
#include "update/fwupdate_nelo.h"
#include "update/fwupdate_process.h"
#include "update/fwupdate_successfull.h"
#include "update/update_dialogs.h"

namespace kv {

class HidLink;

class UpdateDialogsQt : public UpdateDialogs {
public:
    // The progress dialog talks to the Base Controller over `link`.
    explicit UpdateDialogsQt(HidLink& link, QWidget* parent = nullptr);

    void ShowError(const std::string& text, const std::string& caption) override;
    int RunVersionDialog(const VersionDialogContent& content) override;
    int RunProgress(const UpdateAttempt& attempt) override;
    int RunFailed() override;
    void RunSuccess() override;

    // The error message box (QMessageBox with the error icon); replaceable so
    // a test can answer it. The success dialog's release-notes box uses it
    // too.
    std::function<void(const std::string& text, const std::string& caption)> errorBox;

    CFWUPDATE_NELO& nelo() { return nelo_; }
    FWUPDATE_PROCESS& process() { return process_; }
    CFWUPDATE_FAILED& failed() { return failed_; }
    CFWUPDATE_SUCCESSFULL& successful() { return successful_; }

private:
    CFWUPDATE_NELO nelo_;
    FWUPDATE_PROCESS process_;
    CFWUPDATE_FAILED failed_;
    CFWUPDATE_SUCCESSFULL successful_;
};

}  // namespace kv
