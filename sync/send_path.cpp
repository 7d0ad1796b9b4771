#include "sync/send_path.h"

#include <cstddef>

#include "platform/clock.h"

namespace kv {

namespace {

bool ValidRow(int row)
{
    return row >= 0 && row < kRows;
}

std::size_t Index(int row)
{
    return static_cast<std::size_t>(row);
}

}  // namespace

SendPath::SendPath(DeviceState& state, HidLink& link, MainView& view, PatternTables& patterns)
    : state_(state), link_(link), view_(view), patterns_(patterns)
{
}

void SendPath::ComposeRow(uint8_t address, uint16_t level, uint8_t code, int row)
{
    if (!ValidRow(row))
        return;
    RowCommand& c = state_.rowCommand[Index(row)];
    c.address = address;
    c.patternCode = code;
    c.row = static_cast<uint8_t>(row);
    c.param.fill(0);

    std::size_t count = 0;
    if (row < kColourRows) {
        // The entry's own brightness bytes are replaced by the level passed in.
        const PatternEntry& e = patterns_.lightPatterns[code];
        c.param = e.param;
        c.param[2] = level >= 256 ? 1 : 0;
        c.param[3] = static_cast<uint8_t>(level & 0xFF);
        count = 11;
    } else {
        // The volume travels in f2, which the sound slider wrote into the entry.
        const PatternEntry& f = patterns_.beepPatterns[code];
        for (std::size_t k = 0; k < 10; ++k)
            c.param[k] = f.param[k];
        count = 10;
    }

    uint16_t sum = address;
    for (std::size_t k = 0; k < count; ++k)
        sum = static_cast<uint16_t>(sum + c.param[k]);
    sum = static_cast<uint16_t>(sum + code);
    state_.rowChecksum[Index(row)] = sum;
}

int SendPath::SendFrame(const Report& frame)
{
    state_.outputReport = frame;
    state_.outputReport[0] = 0;
    const int result = link_.WriteReport(state_.outputReport.data(), state_.outputReport.size());
    state_.lastWriteFailed = result != 0 ? 1 : 0;
    if (inRowSequence_ && result != 0)
        rowSequenceFailed_ = true;
    return result;
}

int SendPath::SendReport(uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5, uint8_t b6,
                         uint8_t b7, uint8_t b8)
{
    return SendFrame(MakeReport(b1, b2, b3, b4, b5, b6, b7, b8));
}

void SendPath::SendRowPattern(int row)
{
    if (!ValidRow(row))
        return;
    const RowCommand& c = state_.rowCommand[Index(row)];
    SendFrame(BuildPatternFirstHalf(c));
    SendFrame(BuildPatternSecondHalf(c, row));
}

void SendPath::ShowSendResult(int n)
{
    // Within a row sequence every write before the result counts, not only
    // the last one: a lost switch-off or first pattern report is a failed send.
    const bool failed = state_.lastWriteFailed != 0 || (inRowSequence_ && rowSequenceFailed_);
    if (inRowSequence_ && lastOutcome_ != SendOutcome::Failed)
        lastOutcome_ = failed ? SendOutcome::Failed : SendOutcome::Sent;
    if (failed) {
        view_.SetMessageLine(kSendFailedText);
        return;
    }
    if (n >= 1 && n <= kRows)
        view_.SetMessageLine(kSendSucceededText);
    state_.statusCountdown = kSendResultTicks;
}

void SendPath::SendRow(int row)
{
    if (!ValidRow(row))
        return;
    inRowSequence_ = true;
    rowSequenceFailed_ = false;

    const uint8_t address = state_.rowCommand[Index(row)].address;
    const uint8_t on = OnStateOfRow(state_, row);
    SleepMs(kPauseBeforeRowMs);
    SendFrame(BuildSwitchReport(address, 0));
    SleepMs(kPauseAfterSwitchOffMs);
    SendRowPattern(row);
    ShowSendResult(state_.lastChangedRow);
    SleepMs(kPauseAfterPatternMs);
    // The message line already shows the result; a lost switch-back report
    // still makes the send a failure for whoever asks how it ended.
    if (SendFrame(BuildSwitchReport(address, on)) != 0)
        lastOutcome_ = SendOutcome::Failed;

    inRowSequence_ = false;
    rowSequenceFailed_ = false;
}

void SendPath::SendPendingRows()
{
    for (int i = 0; i < kRows; ++i) {
        const std::size_t k = Index(i);
        if (state_.rowPending[k] != 1)
            continue;
        if (state_.rowChecksum[k] != state_.lastSentChecksum[k]) {
            const bool present = i < kColourRows ? state_.segmentAddress[k] != 0
                                                 : state_.segmentAddress[k] == kSoundAddress;
            if (present)
                SendRow(i);
            state_.lastSentChecksum[k] = state_.rowChecksum[k];
        }
        state_.rowPending[k] = 0;
    }
}

void SendPath::SendConnectionReports()
{
    for (int i = 0; i < kRows; ++i) {
        const uint8_t address = state_.segmentAddress[Index(i)];
        if (address == 0)
            continue;
        SendFrame(BuildConnectionReport(address));
        SleepMs(kPauseAfterConnectionReportMs);
    }
}

void SendPath::SendStateReport(uint8_t on, int row)
{
    if (!ValidRow(row))
        return;
    const uint8_t address = state_.segmentAddress[Index(row)];
    if (address == 0)
        return;
    SendFrame(BuildStateReport(address, on));
    SleepMs(kPauseAfterStateReportMs);
}

void SendPath::OnSend()
{
    view_.StopPollTimer();
    state_.suspendRead = 1;
    lastOutcome_ = SendOutcome::NothingSent;
    SendPendingRows();
    SleepMs(kPauseAfterSendMs);
    state_.suspendRead = 0;
    view_.StartPollTimer();
}

int SendPath::SendHostReport(bool connected)
{
    return SendFrame(BuildHostReport(connected));
}

}  // namespace kv
