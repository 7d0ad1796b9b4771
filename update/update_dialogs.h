// The dialogs the firmware update path runs, as the path sees them. The
// program's implementation shows the Qt dialogs (update_dialogs_qt.h); tests
// answer them from a script.
#pragma once

#include <string>

#include "update/update_decision.h"
#include "update/update_outcome.h"

namespace kv {

// End codes of the progress dialog (RunProgress) and the failure dialog
// (RunFailed).
constexpr int kProgressUpdated = 1;
constexpr int kProgressEscaped = 2;
constexpr int kProgressFailed = 3;
constexpr int kFailedTryAgain = 1;
constexpr int kFailedGiveUp = 2;

class UpdateDialogs {
public:
    virtual ~UpdateDialogs() = default;

    // A message box with the error icon.
    virtual void ShowError(const std::string& text, const std::string& caption) = 0;
    // The version dialog with this face; 1 OK, 2 cancel, 3 close the program.
    virtual int RunVersionDialog(const VersionDialogContent& content) = 0;
    // The progress dialog over one attempt, which it runs (attempt.Run) and
    // follows; 1 updated, 3 failed, 2 left with Escape after the run.
    virtual int RunProgress(const UpdateAttempt& attempt) = 0;
    // The failure dialog; 1 try again, 2 give up.
    virtual int RunFailed() = 0;
    // The success dialog with its release-notes button.
    virtual void RunSuccess() = 0;
};

}  // namespace kv
