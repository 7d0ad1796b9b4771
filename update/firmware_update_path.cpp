#include "update/firmware_update_path.h"

#include <string>

#include "platform/paths.h"
#include "sync/connection_control.h"

namespace kv {
namespace {

// End codes of the progress and failure dialogs.
constexpr int kProgressUpdated = 1;
constexpr int kProgressFailed = 3;
constexpr int kFailedTryAgain = 1;

}  // namespace

FirmwareUpdatePath::FirmwareUpdatePath(DeviceState& state, HidLink& link, MainView& view,
                                       SendPath& send, PollCycle& poll, UpdateDialogs& dialogs)
    : state_(state), link_(link), view_(view), send_(send), poll_(poll), dialogs_(dialogs)
{
}

void FirmwareUpdatePath::OnFirmwareUpdate()
{
    attempts_ = 0;
    const std::string path =
        firmwarePath_.empty() ? ExeRelativePath(kFirmwareFileRelativePath) : firmwarePath_;
    if (!FileExists(path)) {
        dialogs_.ShowError(kFirmwareMissingText, kFirmwareMissingCaption);
        return;
    }

    const VersionDialogContent face = DecideVersionDialog(link_.IsOpen() != 0, state_);
    const int answer = dialogs_.RunVersionDialog(face);
    if (answer == kVersionDialogCloseProgram) {
        view_.EndMainWindow(kMainWindowClosedForUpdate);
        return;
    }
    if (answer != kVersionDialogOk)
        return;

    bool again = false;
    do {
        again = false;
        TakeWindowOffDevice();
        ++attempts_;
        const int outcome = dialogs_.RunProgress(path);
        if (outcome == kProgressUpdated) {
            if (BringWindowBackOnline()) {
                dialogs_.RunSuccess();
            } else {
                view_.SetMessageLine(kUnableToOpenText);
                view_.SetStatusLine(kStatusOffline);
            }
        } else if (outcome == kProgressFailed) {
            again = dialogs_.RunFailed() == kFailedTryAgain;
        }
        // Any other end (Escape after the run) leaves the link closed and
        // shows nothing more.
        view_.TransferTexts();
    } while (again);

    state_.suspendRead = 0;
    view_.EnableExit(true);
}

void FirmwareUpdatePath::TakeWindowOffDevice()
{
    view_.StopPollTimer();
    state_.suspendRead = 1;
    if (link_.IsOpen() != 0) {
        // The link stays open: the progress dialog sends the bootloader
        // report over it and closes it.
        send_.SendConnectionReports();
        ResetSwitchState(state_);
        send_.SendHostReport(false);
    }
    view_.EnableSend(false);
    view_.EnableOpenClose(false);
    view_.EnableExit(false);
}

bool FirmwareUpdatePath::BringWindowBackOnline()
{
    if (link_.Open() == nullptr)
        return false;
    state_.firmwareUpdated = 1;
    view_.EnableToolMenu(true);
    view_.SetOpenCloseCaption(kCloseCaption);
    view_.SetMessageLine("");
    view_.SetStatusLine(kStatusOnline);
    view_.EnableSend(true);
    view_.EnableOpenClose(true);
    // Started while reads are still suspended: ticks during the success
    // dialog skip their reads.
    view_.StartPollTimer();
    poll_.ResetShownCopies();
    ResetSwitchState(state_);
    state_.connectionReportPending = 1;
    // What was seen before the update belongs to the old connection; the new
    // one warms up from its own reports, so the connection reports go to the
    // segments it reports.
    state_.reportSeen.fill(0);
    send_.SendHostReport(true);
    return true;
}

}  // namespace kv
