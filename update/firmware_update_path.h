// FirmwareUpdatePath: the firmware update as every front end runs it, from
// the window's menu entry "Firmware Update &Nelo", the poll cycle's firmware
// check and kestrivane-cli's update, over the front end's session.
//
// It finds the firmware file, asks the user, takes the session off the Base
// Controller (timer stopped, reads suspended, goodbye reports, Send,
// Open/Close and Exit disabled), runs the progress dialog over one attempt
// (which refuses an unusable file before the bootloader report), offers
// another attempt after a failure and, after success, reopens the link and
// puts the session back online before the success dialog.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "session/tower_session.h"
#include "update/update_dialogs.h"
#include "update/update_outcome.h"

namespace kv {

class FirmwareUpdatePath {
public:
    FirmwareUpdatePath(TowerSession& session, UpdateDialogs& dialogs);

    // The whole path; returns when it is done. firmwareUpdated is 1 afterwards
    // when an update succeeded and the link reopened.
    void OnFirmwareUpdate();

    // The HEX file to flash; empty (the default): the firmware file installed
    // beside the program.
    void SetFirmwarePath(std::string path) { firmwarePath_ = std::move(path); }

    // The check of the file and the run each attempt makes; update_check_file
    // and update_run unless a test puts others in.
    UpdateFunction checkFunction;
    UpdateFunction updateFunction;

    // The device path the link is reopened at after a successful run. Unset
    // (the window): the first Base Controller found, as Open finds it.
    std::function<std::string()> findTowerAgain;

private:
    // Stops polling and says goodbye to the tower before a run.
    void TakeOffDevice();
    // After a successful run: the link again, the session online. False when
    // the link did not open.
    bool BringBackOnline();

    TowerSession& session_;
    DeviceState& state_;
    HidLink& link_;
    UpdateDialogs& dialogs_;
    std::string firmwarePath_;
};

}  // namespace kv
