#include "cli/tower_session.h"

#include <algorithm>
#include <csignal>

#include "platform/clock.h"

namespace kv::cli {

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void OnStopSignal(int) { g_stop = 1; }

}  // namespace

void InstallStopHandlers()
{
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    // The reader of the output went away: leave as on a stop, not killed
    // with the link still open.
    std::signal(SIGPIPE, OnStopSignal);
}

bool StopRequested() { return g_stop != 0; }
void RequestStop() { g_stop = 1; }
void ClearStop() { g_stop = 0; }

TowerSession::TowerSession(DeviceState& state, HidLink& link, PatternTables& patterns)
    : state_(state),
      link_(link),
      patterns_(patterns),
      send_(state, link, *this, patterns),
      poll_(state, link, *this, send_, patterns),
      connection_(state, link, *this, send_, poll_),
      output_(state, patterns, model_,
              [this](uint8_t address, uint16_t level, uint8_t code, int row) {
                  send_.ComposeRow(address, level, code, row);
              }),
      input_(state, model_)
{
    // The panels as the main window prepares them before it shows.
    poll_.UpdateRowControls();
    state_.segmentAddress.fill(0);
    output_.ResetLastSliderValues();
    input_.ResetInputPanel();
    output_.InitOutputPanel();
    output_.ShowStartScaleLabels();
    ResetSwitchState(state_);
}

TowerSession::~TowerSession() { Close(); }

bool TowerSession::Open()
{
    complete_ = false;
    ended_ = false;
    firmwareDeclined_ = false;
    if (!IsOpen())
        connection_.OnOpenClose();
    return IsOpen();
}

void TowerSession::Close()
{
    if (IsOpen())
        connection_.OnOpenClose();
    timerRunning_ = false;
}

void TowerSession::TickOnce()
{
    if (timerRunning_)
        poll_.Tick();
    SleepMs(kTickMs);
}

WaitEnd TowerSession::RunUntil(const std::function<bool()>& done, uint64_t timeoutMs)
{
    const uint64_t start = NowMs();
    for (;;) {
        if (done())
            return WaitEnd::Done;
        if (StopRequested())
            return WaitEnd::Stopped;
        if (ended_ || !IsOpen())
            return WaitEnd::LinkLost;
        if (NowMs() - start >= timeoutMs)
            return WaitEnd::TimedOut;
        TickOnce();
    }
}

WaitEnd TowerSession::WaitComplete(uint64_t timeoutMs)
{
    return RunUntil([this] { return complete_; }, timeoutMs);
}

void TowerSession::Suspended(const std::function<void()>& work)
{
    StopPollTimer();
    state_.suspendRead = 1;
    work();
    state_.suspendRead = 0;
    StartPollTimer();
}

void TowerSession::SelectPattern(int row, uint8_t code)
{
    if (row == kSoundRow)
        output_.OnSoundPatternSelected(code);
    else
        output_.OnPatternSelected(row, code);
}

void TowerSession::MoveSlider(int row, int position)
{
    Suspended([this, row, position] {
        if (row == kSoundRow)
            output_.OnSoundSlider(position);
        else
            output_.OnColourSlider(row, position);
    });
}

void TowerSession::Send() { send_.OnSend(); }

bool TowerSession::PressSwitch(int row)
{
    bool switched = false;
    Suspended([this, row, &switched] {
        switched = row == kSoundRow ? input_.OnSoundSwitch() : input_.OnRowSwitch(row);
    });
    return switched;
}

// ---- kv::MainView -------------------------------------------------------------

void TowerSession::SelectPatterns(const std::array<uint8_t, 6>& codes)
{
    output_.SelectPatterns(codes);
    // Only a tick with a complete state selects the lists.
    complete_ = true;
}

void TowerSession::ShowColourLevel(int row, uint16_t v, bool boosted) { output_.ShowColourLevel(row, v, boosted); }
void TowerSession::ShowSoundLevel(bool melody, uint16_t position) { output_.ShowSoundLevel(melody, position); }
void TowerSession::SetScaleLabel(int row, bool boosted) { output_.SetScaleLabel(row, boosted); }
void TowerSession::RememberSliderValue(int row, uint16_t value) { output_.RememberSliderValue(row, value); }
void TowerSession::EnableRow(int row, bool enabled) { output_.EnableRow(row, enabled); }
void TowerSession::DisableAllRows() { output_.DisableAllRows(); }
void TowerSession::ResetOutputPanel() { output_.ResetOutputPanel(); }
void TowerSession::ShowColourSegment(int row, uint8_t address, bool on) { input_.ShowColourSegment(row, address, on); }
void TowerSession::ShowNoColourSegment(int row) { input_.ShowNoColourSegment(row); }

void TowerSession::ShowSoundSegment(bool on)
{
    input_.ShowSoundSegment(on);
    // The sound position is drawn last whenever the panel is redrawn.
    ++panelRefreshes_;
}

void TowerSession::ShowNoSoundSegment()
{
    input_.ShowNoSoundSegment();
    output_.ResetSoundRow();
    ++panelRefreshes_;
}

void TowerSession::ResetInputPanel() { input_.ResetInputPanel(); }
void TowerSession::SetStatusLine(const std::string& text) { model_.statusLine = text; }
void TowerSession::SetMessageLine(const std::string& text) { model_.messageLine = text; }
void TowerSession::SetOpenCloseCaption(const std::string& text) { model_.openCloseCaption = text; }
void TowerSession::EnableSend(bool enabled) { model_.sendEnabled = enabled; }
void TowerSession::EnableOpenClose(bool enabled) { model_.openCloseEnabled = enabled; }
void TowerSession::EnableExit(bool enabled) { model_.exitEnabled = enabled; }

void TowerSession::StartPollTimer()
{
    // The timer only ever runs over an open link.
    if (IsOpen() && !ended_)
        timerRunning_ = true;
}

void TowerSession::StopPollTimer() { timerRunning_ = false; }
void TowerSession::EnableToolMenu(bool enabled) { model_.toolEntriesEnabled = enabled; }
void TowerSession::OnOpenClose() { connection_.OnOpenClose(); }

void TowerSession::OnFirmwareUpdate()
{
    if (firmwareUpdate_)
        firmwareUpdate_();
    else
        firmwareDeclined_ = true;
}

void TowerSession::EndMainWindow(int /*result*/)
{
    ended_ = true;
    timerRunning_ = false;
}

}  // namespace kv::cli
