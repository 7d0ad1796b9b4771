#include "update/firmware_update_path.h"

#include <string>

#include "platform/paths.h"
#include "sync/connection_control.h"
#include "update/update_run.h"

namespace kv {

FirmwareUpdatePath::FirmwareUpdatePath(TowerSession& session, UpdateDialogs& dialogs)
    : checkFunction(&update_check_file),
      updateFunction(&update_run),
      session_(session),
      state_(session.state()),
      link_(session.link()),
      dialogs_(dialogs)
{}

void FirmwareUpdatePath::OnFirmwareUpdate()
{
    const std::string path =
        firmwarePath_.empty() ? ExeRelativePath(kFirmwareFileRelativePath) : firmwarePath_;
    if (!FileExists(path)) {
        dialogs_.ShowError(kFirmwareMissingText, kFirmwareMissingCaption);
        return;
    }

    const VersionDialogContent face = DecideVersionDialog(link_.IsOpen() != 0, state_);
    const int answer = dialogs_.RunVersionDialog(face);
    if (answer == kVersionDialogCloseProgram) {
        session_.EndMainWindow(kMainWindowClosedForUpdate);
        return;
    }
    if (answer != kVersionDialogOk)
        return;

    UpdateAttempt attempt = MakeUpdateAttempt(link_, path, checkFunction, updateFunction);
    bool again = false;
    do {
        again = false;
        TakeOffDevice();
        const int outcome = dialogs_.RunProgress(attempt);
        if (outcome == kProgressUpdated) {
            if (BringBackOnline()) {
                dialogs_.RunSuccess();
            } else {
                session_.SetMessageLine(kUnableToOpenText);
                session_.SetStatusLine(kStatusOffline);
            }
        } else if (outcome == kProgressFailed) {
            again = dialogs_.RunFailed() == kFailedTryAgain;
        }
        // Any other end (Escape after the run) leaves the link closed and
        // shows nothing more.
        session_.TransferTexts();
    } while (again);

    state_.suspendRead = 0;
    session_.EnableExit(true);
}

void FirmwareUpdatePath::TakeOffDevice()
{
    session_.StopPollTimer();
    state_.suspendRead = 1;
    // The link stays open: the attempt sends the bootloader report over it
    // and closes it.
    if (link_.IsOpen() != 0)
        session_.GoOffDevice();
    session_.EnableSend(false);
    session_.EnableOpenClose(false);
    session_.EnableExit(false);
    // Shown before the progress dialog stands over it.
    session_.TransferTexts();
}

bool FirmwareUpdatePath::BringBackOnline()
{
    if (findTowerAgain)
        link_.SetDevicePath(findTowerAgain());
    if (link_.Open() == nullptr)
        return false;
    // Started while reads are still suspended: ticks during the success
    // dialog skip their reads.
    session_.ComeOnlineAfterUpdate();
    return true;
}

}  // namespace kv
