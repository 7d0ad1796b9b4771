#include "session/tower_session.h"

#include "platform/clock.h"

namespace kv {

// Counts the operations in progress; the outermost one draws the model once
// at its end when anything changed.
class TowerSession::Operation {
public:
    explicit Operation(TowerSession& s) : s_(s) { ++s_.depth_; }
    ~Operation()
    {
        if (--s_.depth_ == 0)
            s_.Draw();
    }
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

private:
    TowerSession& s_;
};

namespace {

// The host of a session without a front end: it draws nothing and runs no
// update. It holds no state, so one serves every such session.
SessionHost& NoHost()
{
    static SessionHost host;
    return host;
}

}  // namespace

TowerSession::TowerSession(DeviceState& state, HidLink& link, PatternTables& patterns)
    : TowerSession(state, link, patterns, NoHost())
{}

TowerSession::TowerSession(DeviceState& state, HidLink& link, PatternTables& patterns, SessionHost& host)
    : state_(state),
      link_(link),
      patterns_(patterns),
      host_(host),
      send_(state, link, *this, patterns),
      poll_(state, link, *this, send_, patterns),
      connection_(state, link, *this, send_, poll_),
      output_(state, patterns, model_,
              [this](uint8_t address, uint16_t level, uint8_t code, int row) {
                  send_.ComposeRow(address, level, code, row);
              }),
      input_(state, model_)
{
    Initialise();
}

TowerSession::~TowerSession()
{
    Close();
}

void TowerSession::Initialise()
{
    // Nothing is drawn: the front end draws once its screen is set up.
    ++depth_;
    if (!IsOpen())
        model_.sendEnabled = false;
    poll_.UpdateRowControls();
    model_.firmwareEntryEnabled = true;
    model_.toolEntriesEnabled = false;
    state_.segmentAddress.fill(0);
    output_.ResetLastSliderValues();
    for (InputRowModel& line : model_.input)
        line.caption = "On";
    for (int r = 0; r < kColourRows; ++r)
        SetSlider(model_.output[static_cast<size_t>(r)], kColourSliderMin, kColourSliderMax,
                  model_.output[static_cast<size_t>(r)].sliderPos);
    SetSlider(model_.output[kSoundRow], kToneSliderMin, kToneSliderMax, model_.output[kSoundRow].sliderPos);
    input_.ResetInputPanel();
    output_.InitOutputPanel();
    output_.ShowStartScaleLabels();
    ResetSwitchState(state_);
    --depth_;
    Changed();
}

void TowerSession::Draw()
{
    if (!dirty_)
        return;
    dirty_ = false;
    host_.Repaint();
}

// ---- The window's handlers -----------------------------------------------------

bool TowerSession::Open()
{
    complete_ = false;
    ended_ = false;
    firmwareDeclined_ = false;
    if (!IsOpen())
        OnOpenClose();
    return IsOpen();
}

void TowerSession::Close()
{
    if (IsOpen())
        OnOpenClose();
    tickRunning_ = false;
}

void TowerSession::OnOpenClose()
{
    Operation op(*this);
    const bool wasOpen = IsOpen();
    connection_.OnOpenClose();
    if (!wasOpen && IsOpen())
        complete_ = false;
}

void TowerSession::Exit()
{
    Operation op(*this);
    connection_.OnExit();
}

void TowerSession::Tick()
{
    if (!tickRunning_ || ended_)
        return;
    Operation op(*this);
    poll_.Tick();
}

void TowerSession::Suspended(const std::function<void()>& work)
{
    Operation op(*this);
    StopPollTimer();
    state_.suspendRead = 1;
    work();
    state_.suspendRead = 0;
    StartPollTimer();
}

void TowerSession::SelectPattern(int row, int item)
{
    Operation op(*this);
    if (row == kSoundRow)
        output_.OnSoundPatternSelected(item);
    else
        output_.OnPatternSelected(row, item);
    Changed();
}

void TowerSession::MoveSlider(int row, int position)
{
    Suspended([this, row, position] {
        if (row == kSoundRow)
            output_.OnSoundSlider(position);
        else
            output_.OnColourSlider(row, position);
        Changed();
    });
}

SendOutcome TowerSession::Send()
{
    Operation op(*this);
    send_.OnSend();
    return send_.lastSendOutcome();
}

bool TowerSession::PressSwitch(int row)
{
    bool switched = false;
    Suspended([this, row, &switched] {
        switched = row == kSoundRow ? input_.OnSoundSwitch() : input_.OnRowSwitch(row);
        Changed();
    });
    return switched;
}

void TowerSession::OnFirmwareUpdate()
{
    Operation op(*this);
    // The update path shows the window's state while it runs (its dialogs
    // stand over the window): what changed so far is drawn first, and
    // inside the path every TransferTexts draws at once.
    Draw();
    const int depth = depth_;
    depth_ = 0;
    const bool ran = host_.RunFirmwareUpdate();
    depth_ = depth;
    if (!ran)
        firmwareDeclined_ = true;
    Changed();
}

// ---- Waiting --------------------------------------------------------------------

void TowerSession::TickOnce()
{
    Tick();
    SleepMs(kTickMs);
}

WaitEnd TowerSession::RunUntil(const std::function<bool()>& done, uint64_t timeoutMs)
{
    const uint64_t start = NowMs();
    for (;;) {
        if (done())
            return WaitEnd::Done;
        if (stop_ && stop_())
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

// ---- Typed reads ------------------------------------------------------------------

bool TowerSession::SegmentPresent(int row) const
{
    if (row < 0 || row >= kRows)
        return false;
    const auto r = static_cast<size_t>(row);
    if (row == kSoundRow)
        return state_.segmentAddress[r] == kSoundAddress;
    return state_.segmentFound[r] == 1;
}

std::optional<int> TowerSession::LevelPercent(int row) const
{
    if (row < 0 || row >= kRows)
        return std::nullopt;
    const int percent = model_.output[static_cast<size_t>(row)].percent;
    return percent >= 0 ? std::optional<int>(percent) : std::nullopt;
}

uint16_t TowerSession::ComposedLevel(int row) const
{
    if (row < 0 || row >= kRows)
        return 0;
    return RowCommandLevel(state_.rowCommand[static_cast<size_t>(row)], row);
}

std::optional<uint8_t> TowerSession::SwitchingThreshold() const
{
    if (!ReportSeen(state_, kInSwitchingThreshold))
        return std::nullopt;
    return state_.switchingThreshold;
}

// ---- The connection sequences --------------------------------------------------------

void TowerSession::GoOffDevice()
{
    connection_.GoOffDevice();
    // Every segment is off now, and the panel's buttons say so.
    input_.ResetInputPanel();
    Changed();
}

void TowerSession::ComeOnlineAfterUpdate()
{
    connection_.ComeOnline(ConnectionControl::Reopen::AfterUpdate);
    complete_ = false;
    Changed();
}

// ---- kv::MainView -----------------------------------------------------------------------

void TowerSession::SelectPatterns(const std::array<uint8_t, 6>& codes)
{
    output_.SelectPatterns(codes);
    // Only a tick with a complete state selects the lists.
    complete_ = true;
    Changed();
}

void TowerSession::ShowColourLevel(int row, uint16_t v, bool boosted)
{
    output_.ShowColourLevel(row, v, boosted);
    Changed();
}

void TowerSession::ShowSoundLevel(bool melody, uint16_t position)
{
    output_.ShowSoundLevel(melody, position);
    Changed();
}

void TowerSession::SetScaleLabel(int row, bool boosted)
{
    output_.SetScaleLabel(row, boosted);
    Changed();
}

void TowerSession::RememberSliderValue(int row, uint16_t value)
{
    output_.RememberSliderValue(row, value);
}

void TowerSession::EnableRow(int row, bool enabled)
{
    output_.EnableRow(row, enabled);
    Changed();
}

void TowerSession::DisableAllRows()
{
    output_.DisableAllRows();
    Changed();
}

void TowerSession::ResetOutputPanel()
{
    output_.ResetOutputPanel();
    Changed();
}

void TowerSession::ShowColourSegment(int row, uint8_t address, bool on)
{
    input_.ShowColourSegment(row, address, on);
    Changed();
}

void TowerSession::ShowNoColourSegment(int row)
{
    input_.ShowNoColourSegment(row);
    Changed();
}

void TowerSession::ShowSoundSegment(bool on)
{
    input_.ShowSoundSegment(on);
    // The sound position is drawn last whenever the panel is redrawn.
    ++panelRefreshes_;
    Changed();
}

void TowerSession::ShowNoSoundSegment()
{
    input_.ShowNoSoundSegment();
    output_.ResetSoundRow();
    ++panelRefreshes_;
    Changed();
}

void TowerSession::ResetInputPanel()
{
    input_.ResetInputPanel();
    Changed();
}

void TowerSession::SetStatusLine(const std::string& text)
{
    model_.statusLine = text;
    Changed();
}

void TowerSession::ShowMessage(const std::string& line, const std::string& hint)
{
    Operation op(*this);
    SetMessageLine(line);
    model_.messageHint = hint;
}

void TowerSession::SetMessageLine(const std::string& text)
{
    model_.messageLine = text;
    model_.messageHint.clear();
    Changed();
}

void TowerSession::TransferTexts()
{
    if (depth_ == 0)
        Draw();
}

void TowerSession::SetOpenCloseCaption(const std::string& text)
{
    model_.openCloseCaption = text;
    Changed();
}

void TowerSession::EnableSend(bool enabled)
{
    model_.sendEnabled = enabled;
    Changed();
}

void TowerSession::EnableOpenClose(bool enabled)
{
    model_.openCloseEnabled = enabled;
    Changed();
}

void TowerSession::EnableExit(bool enabled)
{
    model_.exitEnabled = enabled;
    Changed();
}

void TowerSession::StartPollTimer()
{
    // The timer only ever runs over an open link.
    if (!IsOpen() || ended_)
        return;
    tickRunning_ = true;
    host_.StartTick();
}

void TowerSession::StopPollTimer()
{
    tickRunning_ = false;
    host_.StopTick();
}

void TowerSession::EnableToolMenu(bool enabled)
{
    model_.toolEntriesEnabled = enabled;
    Changed();
}

void TowerSession::EndMainWindow(int result)
{
    ended_ = true;
    StopPollTimer();
    Draw();
    host_.SessionEnded(result);
}

}  // namespace kv
