// ConnectionControl: the Open/Close and Exit sequences of the main window.
//
// The main window owns one and forwards its "Open"/"Close" and "Exit" buttons
// and its close box to it; its MainView::OnOpenClose calls OnOpenClose, which
// is also how the poll cycle goes offline (with forceClose set).
#pragma once

#include <string>

#include "device/device_state.h"
#include "device/hid_link.h"
#include "sync/main_view.h"
#include "sync/poll_cycle.h"
#include "sync/send_path.h"

namespace kv {

inline constexpr const char* kStatusOnline = "Device Status: Online.";
inline constexpr const char* kStatusOffline = "Device Status: Offline.";
inline constexpr const char* kUnableToOpenText = "Warning: Unable to open device.";
inline constexpr const char* kOpenCaption = "Open";

// What follows kUnableToOpenText when another program holds the tower:
// "The tower is held by kestrivaned (pid 812)."
std::string HeldByText(const std::string& holder);
inline constexpr const char* kCloseCaption = "Close";

// Wait after the host report of Exit, in milliseconds.
constexpr uint32_t kPauseAfterExitReportMs = 50;

class ConnectionControl {
public:
    ConnectionControl(DeviceState& state, HidLink& link, MainView& view, SendPath& send, PollCycle& poll);

    // The "Open"/"Close" button: opens the link when it is closed, closes it
    // when it is open or when forceClose is set (forceClose is cleared).
    void OnOpenClose();
    // The "Exit" button and the close box: says goodbye to the tower, closes
    // the link (whether or not it is open) and ends the main window with 0.
    void OnExit();

    // Leaving the tower: a connection report to every present segment, the
    // switch state reset, the host report with 0. The link stays as it is.
    void GoOffDevice();
    // Coming online over a link just opened: the tool entries, the captions
    // and lines of an open link, the poll timer, the shown copies and the
    // switch state reset, a connection report pending, the host report with
    // 1, and every report type counted as not yet seen. A new connection
    // (Open) also clears firmwareChecked; the link reopened after a firmware
    // update keeps it and enables "Open"/"Close" again.
    enum class Reopen { NewConnection, AfterUpdate };
    void ComeOnline(Reopen how);

private:
    void Open();
    void Close();

    DeviceState& state_;
    HidLink& link_;
    MainView& view_;
    SendPath& send_;
    PollCycle& poll_;
};

}  // namespace kv
