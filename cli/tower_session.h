// TowerSession: one connection to the tower, held the way the main window
// holds it, without a window.
//
// It is the main window's side of sync/ without widgets: the same
// ConnectionControl opens and closes the link, the same PollCycle runs on a
// 30 ms tick, the same SendPath sends, and what the window would show lands
// in a WindowModel through the same panel logic. A command drives it through
// the window's own handlers (pattern list, slider, Send, on/off buttons), so
// the tower sees the same reports, in the same order and with the same
// pauses, as from the window.
#pragma once

#include <cstdint>
#include <functional>

#include "app/input_panel_logic.h"
#include "app/output_panel_logic.h"
#include "app/window_model.h"
#include "device/device_state.h"
#include "device/hid_link.h"
#include "device/pattern_tables.h"
#include "sync/connection_control.h"
#include "sync/main_view.h"
#include "sync/poll_cycle.h"
#include "sync/send_path.h"

namespace kv::cli {

// Period of the poll tick (the window's timer 101).
constexpr uint32_t kTickMs = 30;

// How a wait ended.
enum class WaitEnd {
    Done,      // what was waited for is there
    TimedOut,  // the time ran out first
    LinkLost,  // the link closed (a failed read, or the program's end)
    Stopped,   // a stop was requested (Ctrl-C, SIGTERM)
};

class TowerSession : public MainView {
public:
    TowerSession(DeviceState& state, HidLink& link, PatternTables& patterns);
    ~TowerSession() override;
    TowerSession(const TowerSession&) = delete;
    TowerSession& operator=(const TowerSession&) = delete;

    // "Open": false when no Base Controller could be opened.
    bool Open();
    // "Close" when the link is open: connection reports, host report 0.
    void Close();
    bool IsOpen() const { return link_.IsOpen() != 0; }

    // One tick of the poll timer (when it runs), then the timer's period.
    void TickOnce();
    // Ticks until `done` holds, the link closes, a stop is requested or
    // timeoutMs has passed.
    WaitEnd RunUntil(const std::function<bool()>& done, uint64_t timeoutMs);
    // Until a complete state has been carried into the panels.
    WaitEnd WaitComplete(uint64_t timeoutMs);
    // True once a tick with a complete state has filled the panels since the
    // link opened.
    bool complete() const { return complete_; }
    // The link was opened again by someone else (the update path after a
    // successful run): the panels hold the old connection's state until a
    // complete state of the new one has come in.
    void ForgetComplete() { complete_ = false; }

    // The window's handlers.
    // A row's pattern list set to `code` (row 0..4 colour, 5 sound).
    void SelectPattern(int row, uint8_t code);
    // A row's slider moved to `position`; polling paused around it.
    void MoveSlider(int row, int position);
    // "Send".
    void Send();
    // A row's on/off button; false when the position has no segment.
    bool PressSwitch(int row);

    // Runs in place of the window's firmware update entry (the poll cycle's
    // version check and the update command). Without one, the update is
    // declined, the way the window ends when its user leaves.
    void SetFirmwareUpdateHandler(std::function<void()> handler) { firmwareUpdate_ = std::move(handler); }
    // The version check found another firmware and no handler took it.
    bool firmwareDeclined() const { return firmwareDeclined_; }
    bool ended() const { return ended_; }

    // Number of times the input panel was redrawn (state reports sent).
    int panelRefreshes() const { return panelRefreshes_; }
    const WindowModel& model() const { return model_; }
    DeviceState& state() { return state_; }
    const PatternTables& patterns() const { return patterns_; }
    HidLink& link() { return link_; }
    SendPath& sendPath() { return send_; }
    PollCycle& pollCycle() { return poll_; }

    // kv::MainView.
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
    void TransferTexts() override {}
    void SetOpenCloseCaption(const std::string& text) override;
    void EnableSend(bool enabled) override;
    void EnableOpenClose(bool enabled) override;
    void EnableExit(bool enabled) override;
    void StartPollTimer() override;
    void StopPollTimer() override;
    void EnableToolMenu(bool enabled) override;
    void OnOpenClose() override;
    void OnFirmwareUpdate() override;
    void EndMainWindow(int result) override;

private:
    // A handler that changes rows: timer stopped and reads suspended around it.
    void Suspended(const std::function<void()>& work);

    DeviceState& state_;
    HidLink& link_;
    PatternTables& patterns_;
    WindowModel model_;
    SendPath send_;
    PollCycle poll_;
    ConnectionControl connection_;
    OutputPanelLogic output_;
    InputPanelLogic input_;
    std::function<void()> firmwareUpdate_;
    bool timerRunning_ = false;
    bool complete_ = false;
    bool ended_ = false;
    bool firmwareDeclined_ = false;
    int panelRefreshes_ = 0;
};

// Ctrl-C, SIGTERM and SIGPIPE: the handlers only set a flag, which every
// wait checks.
void InstallStopHandlers();
bool StopRequested();
void RequestStop();
void ClearStop();

}  // namespace kv::cli
