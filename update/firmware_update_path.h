// FirmwareUpdatePath: the firmware update as the main window runs it, from
// the menu entry "Firmware Update &Nelo" and from the poll cycle's firmware
// check.
//
// It finds the firmware file beside the program, asks the user, takes the
// window off the Base Controller (timer stopped, reads suspended, goodbye
// reports, Send, Open/Close and Exit disabled), runs the progress dialog,
// offers another attempt after a failure and, after success, reopens the link
// and puts the window back online before the success dialog.
#pragma once

#include <string>
#include <utility>

#include "device/device_state.h"
#include "device/hid_link.h"
#include "sync/main_view.h"
#include "sync/poll_cycle.h"
#include "sync/send_path.h"
#include "update/update_dialogs.h"

namespace kv {

class FirmwareUpdatePath {
public:
    FirmwareUpdatePath(DeviceState& state, HidLink& link, MainView& view, SendPath& send,
                       PollCycle& poll, UpdateDialogs& dialogs);

    // The whole path; returns when it is done. firmwareUpdated is 1 afterwards
    // when an update succeeded and the link reopened.
    void OnFirmwareUpdate();

    // The HEX file to flash; empty (the default): the firmware file installed
    // beside the program.
    void SetFirmwarePath(std::string path) { firmwarePath_ = std::move(path); }

    // Attempts (progress dialog runs) of the last OnFirmwareUpdate.
    int attempts() const { return attempts_; }

private:
    // Stops polling and says goodbye to the tower before a run.
    void TakeWindowOffDevice();
    // After a successful run: the link again, the window online. False when
    // the link did not open.
    bool BringWindowBackOnline();

    DeviceState& state_;
    HidLink& link_;
    MainView& view_;
    SendPath& send_;
    PollCycle& poll_;
    UpdateDialogs& dialogs_;
    int attempts_ = 0;
    std::string firmwarePath_;
};

}  // namespace kv
