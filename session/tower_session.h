// TowerSession: one connection to a tower, the one way into the core for
// every front end (the window, kestrivane-cli, kestrivaned).
//
// It owns what the main window's logic is made of: ConnectionControl opens
// and closes the link, PollCycle runs on the 30 ms tick, SendPath sends, and
// what the window shows lands in a WindowModel through the output and input
// panel logic. It is the product's only MainView. A front end drives it
// through the window's own handlers (pattern list, slider, Send, on/off
// buttons, Open/Close, Exit), so the tower sees the same reports, in the same
// order and with the same pauses, from every front end; it reads the results
// back as typed values, never out of display texts. What belongs to the front
// end (the tick, the screen, the update dialogs, the end of the program) it
// reaches through its SessionHost.
//
// No Qt here; one session and its tower live on one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "device/device_state.h"
#include "device/hid_link.h"
#include "device/pattern_tables.h"
#include "session/info_values.h"
#include "session/input_panel_logic.h"
#include "session/output_panel_logic.h"
#include "session/session_host.h"
#include "session/window_model.h"
#include "sync/connection_control.h"
#include "sync/main_view.h"
#include "sync/poll_cycle.h"
#include "sync/send_path.h"

namespace kv {

// Period of the poll tick (the window's timer 101).
constexpr uint32_t kTickMs = 30;

// How a wait ended.
enum class WaitEnd {
    Done,      // what was waited for is there
    TimedOut,  // the time ran out first
    LinkLost,  // the link closed (a failed read, or the session's end)
    Stopped,   // the stop check said stop (Ctrl-C, SIGTERM)
};

class TowerSession : public MainView {
public:
    // Without a host: the tick is the caller's loop, nothing is drawn, and
    // the firmware update is declined.
    TowerSession(DeviceState& state, HidLink& link, PatternTables& patterns);
    TowerSession(DeviceState& state, HidLink& link, PatternTables& patterns, SessionHost& host);
    // Leaves the tower as Close does when the link is still open.
    ~TowerSession() override;
    TowerSession(const TowerSession&) = delete;
    TowerSession& operator=(const TowerSession&) = delete;

    // The window's initialisation: every row disabled, no segment known,
    // lists filled, sliders at their start, captions "On", switch state
    // reset. The constructor runs it; the window runs it again as it shows,
    // and draws. Nothing is sent.
    void Initialise();

    // ---- The window's handlers ------------------------------------------------

    // "Open": false when no Base Controller could be opened.
    bool Open();
    // "Close" when the link is open: connection reports, host report 0.
    void Close();
    // The "Open"/"Close" button itself (also how the poll cycle goes offline).
    void OnOpenClose() override;
    // "Exit" and the close box: goodbye reports, link closed, session ended.
    void Exit();
    // One tick of the poll timer; nothing while the timer is stopped.
    void Tick();
    // A row's pattern list set to item `item` (-1: no selection); row 0..4
    // colour, 5 sound.
    void SelectPattern(int row, int item);
    // A row's slider moved to `position`; polling paused around it.
    void MoveSlider(int row, int position);
    // "Send".
    SendOutcome Send();
    // A row's on/off button; false when the position has no segment.
    bool PressSwitch(int row);
    // The firmware update entry (menu "Firmware Update &Nelo").
    void OnFirmwareUpdate() override;
    // A text of the front end's own in the message line, with what to do
    // about it below.
    void ShowMessage(const std::string& line, const std::string& hint);

    // ---- Waiting, for front ends without an event loop -------------------------

    // Tick, then one tick period of sleep (the virtual clock in tests).
    void TickOnce();
    // Ticks until `done` holds, the link closes, the stop check says stop or
    // timeoutMs has passed.
    WaitEnd RunUntil(const std::function<bool()>& done, uint64_t timeoutMs);
    // Until a complete state has been carried into the panels.
    WaitEnd WaitComplete(uint64_t timeoutMs);
    // What every wait asks whether to give up (Ctrl-C in the CLI).
    void SetStopCheck(std::function<bool()> stop) { stop_ = std::move(stop); }

    // ---- Typed reads of what the window shows ---------------------------------

    bool IsOpen() const { return link_.IsOpen() != 0; }
    bool tickRunning() const { return tickRunning_; }
    bool ended() const { return ended_; }
    // True once a tick with a complete state has filled the panels since the
    // link was last opened.
    bool complete() const { return complete_; }
    // The version check found another firmware and the host ran no update.
    bool firmwareDeclined() const { return firmwareDeclined_; }
    // Whether the segment at a position is there: a colour segment the input
    // panel recognised (rows 0..4), the sound segment at address 33 (row 5).
    bool SegmentPresent(int row) const;
    // The row's percentage box as a number; none while it is blank.
    std::optional<int> LevelPercent(int row) const;
    // The level the row's command carries (colour rows: the 9-bit
    // brightness; sound row: the volume), as the tower reports it back.
    uint16_t ComposedLevel(int row) const;
    // The firmware and hardware versions the Info dialog shows; none where
    // it shows "n/a".
    ShownVersions Versions() const { return CollectShownVersions(state_); }
    // The switching threshold, once the tower has reported one since open.
    std::optional<uint8_t> SwitchingThreshold() const;
    // How the last Send ended.
    SendOutcome lastSendOutcome() const { return send_.lastSendOutcome(); }
    // Number of times the input panel was redrawn (state reports sent).
    int panelRefreshes() const { return panelRefreshes_; }

    const WindowModel& model() const { return model_; }
    DeviceState& state() { return state_; }
    const DeviceState& state() const { return state_; }
    PatternTables& patterns() { return patterns_; }
    const PatternTables& patterns() const { return patterns_; }
    HidLink& link() { return link_; }
    SendPath& sendPath() { return send_; }
    PollCycle& pollCycle() { return poll_; }
    OutputPanelLogic& outputPanel() { return output_; }

    // ---- The connection sequences, for the firmware update path ----------------

    // Connection reports, switch state reset, host report 0; and the input
    // panel shows every segment off, as the tower now has them.
    void GoOffDevice();
    // After a firmware update reopened the link: online as after Open, but
    // the firmware check is not run again; the panels wait for a complete
    // state of the new connection.
    void ComeOnlineAfterUpdate();

    // ---- kv::MainView ------------------------------------------------------------

    void SelectPatterns(const std::array<uint8_t, 6>& codes) override;
    void ShowColourLevel(int row, uint16_t v, bool boosted) override;
    void ShowSoundLevel(bool melody, uint16_t position) override;
    void SetScaleLabel(int row, bool boosted) override;
    void RememberSliderValue(int row, uint16_t value) override;
    void EnableRow(int row, bool enabled) override;
    void DisableAllRows() override;
    void ResetOutputPanel() override;
    void ShowColourSegment(int row, uint8_t address, bool on) override;
    void ShowNoColourSegment(int row) override;
    void ShowSoundSegment(bool on) override;
    void ShowNoSoundSegment() override;
    void ResetInputPanel() override;
    void SetStatusLine(const std::string& text) override;
    void SetMessageLine(const std::string& text) override;
    // Draws the model now, unless an operation is running (it draws at its
    // end).
    void TransferTexts() override;
    void SetOpenCloseCaption(const std::string& text) override;
    void EnableSend(bool enabled) override;
    void EnableOpenClose(bool enabled) override;
    void EnableExit(bool enabled) override;
    void StartPollTimer() override;
    void StopPollTimer() override;
    void EnableToolMenu(bool enabled) override;
    void EndMainWindow(int result) override;

private:
    // One operation of a front end: the model is drawn once at its end.
    class Operation;
    // A handler that changes rows: timer stopped and reads suspended around it.
    void Suspended(const std::function<void()>& work);
    void Changed() { dirty_ = true; }
    void Draw();

    DeviceState& state_;
    HidLink& link_;
    PatternTables& patterns_;
    SessionHost& host_;
    WindowModel model_;
    SendPath send_;
    PollCycle poll_;
    ConnectionControl connection_;
    OutputPanelLogic output_;
    InputPanelLogic input_;
    std::function<bool()> stop_;
    bool tickRunning_ = false;
    bool complete_ = false;
    bool ended_ = false;
    bool firmwareDeclined_ = false;
    bool dirty_ = false;
    int depth_ = 0;
    int panelRefreshes_ = 0;
};

}  // namespace kv
