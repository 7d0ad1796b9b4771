#include "sync/poll_cycle.h"

#include <algorithm>
#include <cstddef>

#include "device/version.h"

namespace kv {

namespace {

std::size_t Index(int row)
{
    return static_cast<std::size_t>(row);
}

// Report types a complete state needs: 1..6 and 8 (type 7 is not waited for).
constexpr int kCompleteTypes[] = {1, 2, 3, 4, 5, 6, 8};
// Report types the firmware check waits for: addresses, versions of every part.
constexpr int kFirmwareCheckTypes[] = {1, 5, 6};

// The two ends of the colour row values a slider can show.
constexpr uint16_t kMaxLevel100 = 255;
constexpr uint16_t kMaxLevel200 = 510;
constexpr uint16_t kAbsentLevel = 128;

// The top of the sound slider's melody scale.
constexpr unsigned kMelodyPositionMax = 100;

constexpr uint8_t kFirstAcousticAddress = 33;
constexpr uint8_t kLastAcousticAddress = 37;

}  // namespace

PollCycle::PollCycle(DeviceState& state, HidLink& link, MainView& view, SendPath& send,
                     PatternTables& patterns)
    : state_(state), link_(link), view_(view), send_(send), patterns_(patterns)
{
    ResetShownCopies();
}

void PollCycle::ResetShownCopies()
{
    comboShownPattern_.fill(kStaleCopy);
    comboShownAddress_.fill(kStaleCopy);
    comboShownLevel_.fill(kStaleCopy);
    comboShownBoost_.fill(kStaleCopy8);
    sliderShownPattern_.fill(kStaleCopy);
    sliderShownLevel_.fill(kStaleCopy);
    sliderShownAddress_.fill(kStaleCopy);
    sliderShownBoost_.fill(kStaleCopy8);
    panelShownAddress_.fill(kStaleCopy);
    panelShownOnState_.fill(kStaleCopy);
    state_.lastSentChecksum.fill(kNeverSent);
    ForgetRowControls();
}

void PollCycle::ForgetRowControls()
{
    rowEnabledShown_.fill(-1);
    scaleBoostShown_.fill(-1);
}

uint8_t PollCycle::BoostOfRow(int row) const
{
    if (row < 0 || row >= kColourRows)
        return 0;
    const uint8_t code = state_.patternCode[Index(row)];
    return patterns_.boost[code][Index(row)] != 0 ? 1 : 0;
}

void PollCycle::UpdateRowControls()
{
    for (int i = 0; i < kColourRows; ++i) {
        const bool present = state_.segmentAddress[Index(i)] != 0;
        view_.EnableRow(i, present);
        rowEnabledShown_[Index(i)] = present ? 1 : 0;
        if (!present) {
            state_.level[Index(i)] = kAbsentLevel;
            view_.SetScaleLabel(i, false);
            scaleBoostShown_[Index(i)] = 0;
        }
    }
    const bool sound = state_.segmentAddress[kSoundRow] == kSoundAddress;
    view_.EnableRow(kSoundRow, sound);
    rowEnabledShown_[kSoundRow] = sound ? 1 : 0;
    view_.TransferTexts();
}

void PollCycle::UpdateRowControlsOnChange()
{
    for (int i = 0; i < kColourRows; ++i) {
        const std::size_t k = Index(i);
        const bool present = state_.segmentAddress[k] != 0;
        const int8_t want = present ? 1 : 0;
        if (!present)
            state_.level[k] = kAbsentLevel;
        if (rowEnabledShown_[k] != want) {
            view_.EnableRow(i, present);
            rowEnabledShown_[k] = want;
        }
        if (!present && scaleBoostShown_[k] != 0) {
            view_.SetScaleLabel(i, false);
            scaleBoostShown_[k] = 0;
        }
    }
    const int8_t sound = state_.segmentAddress[kSoundRow] == kSoundAddress ? 1 : 0;
    if (rowEnabledShown_[kSoundRow] != sound) {
        view_.EnableRow(kSoundRow, sound != 0);
        rowEnabledShown_[kSoundRow] = sound;
    }
}

bool PollCycle::Complete() const
{
    for (int type : kCompleteTypes)
        if (state_.reportSeen[Index(type - 1)] == 0)
            return false;
    return true;
}

void PollCycle::Tick()
{
    // 1. Sound segment gone: its row is sent again once it returns.
    if (state_.segmentAddress[kSoundRow] != kSoundAddress)
        state_.lastSentChecksum[kSoundRow] = kNeverSent;

    // 2. Message line: blanked on every tick except while a send result shows.
    state_.statusCountdown = static_cast<uint8_t>(state_.statusCountdown - 1);
    if (state_.statusCountdown == 0) {
        view_.SetMessageLine(kBlankMessage);
        state_.statusCountdown = 1;
    }

    // 3. An earlier failure closes the link.
    if (state_.lastLinkResult == 0) {
        state_.forceClose = 1;
        view_.OnOpenClose();
    }

    // 4.
    if (!link_.IsOpen())
        return;

    // 5. Read and parse what arrived since the last tick, oldest first
    //    (skipped while a handler sends).
    link_.ReadReport();

    // 6. Steps 7..12 only with a complete state.
    if (Complete()) {
        // 7.
        if (state_.connectionReportPending != 0) {
            state_.connectionReportPending = 0;
            send_.SendConnectionReports();
        }
        // 8.
        UpdateRowControlsOnChange();
        // 9..11.
        std::array<uint8_t, kColourRows> boost{};
        for (int i = 0; i < kColourRows; ++i)
            boost[Index(i)] = BoostOfRow(i);
        RefreshCombos(boost);
        RefreshColourRows(boost);
        RefreshSoundRow();
        // 12.
        RefreshInputPanel();
    }

    // 13.
    if (!CheckFirmware())
        return;

    // 14. The read of this tick failed.
    if (state_.lastLinkResult == 0) {
        state_.forceClose = 1;
        view_.OnOpenClose();
    }

    // 15.
    view_.TransferTexts();
}

void PollCycle::RefreshCombos(const std::array<uint8_t, kColourRows>& boost)
{
    bool changed = false;
    for (std::size_t i = 0; i < kRows; ++i) {
        if (comboShownPattern_[i] != state_.patternCode[i] ||
            comboShownAddress_[i] != state_.segmentAddress[i] ||
            comboShownLevel_[i] != state_.level[i])
            changed = true;
    }
    for (std::size_t i = 0; i < kColourRows; ++i)
        if (comboShownBoost_[i] != boost[i])
            changed = true;
    if (!changed)
        return;

    view_.SelectPatterns(state_.patternCode);
    for (std::size_t i = 0; i < kRows; ++i) {
        comboShownPattern_[i] = state_.patternCode[i];
        comboShownAddress_[i] = state_.segmentAddress[i];
        comboShownLevel_[i] = state_.level[i];
    }
    comboShownBoost_ = boost;
}

void PollCycle::TakeRowFromDevice(std::size_t k)
{
    state_.rowPending[k] = 0;
    // The tower holds something other than what was last sent (changed by a
    // tool, a port or another program): a later Send of that earlier command
    // must go out again instead of being taken as already in place.
    if (state_.rowChecksum[k] != state_.lastSentChecksum[k])
        state_.lastSentChecksum[k] = kNeverSent;
}

void PollCycle::RefreshColourRows(const std::array<uint8_t, kColourRows>& boost)
{
    for (int i = 0; i < kColourRows; ++i) {
        const std::size_t k = Index(i);
        const uint8_t code = state_.patternCode[k];
        const uint16_t level = state_.level[k];
        const uint8_t address = state_.segmentAddress[k];
        const bool boosted = boost[k] != 0;
        if (sliderShownPattern_[k] == code && sliderShownLevel_[k] == level &&
            sliderShownAddress_[k] == address && sliderShownBoost_[k] == boost[k])
            continue;

        // A level beyond what the slider can show leaves slider and box as
        // they were; it is still composed and remembered.
        bool labelSet = false;
        if (boosted) {
            if (level <= kMaxLevel200) {
                view_.ShowColourLevel(i, level, true);
                labelSet = true;
            }
        } else if (level <= kMaxLevel100) {
            view_.ShowColourLevel(i, address == 0 ? kAbsentLevel : level, false);
            labelSet = true;
        }
        send_.ComposeRow(address, level, code, i);
        view_.RememberSliderValue(i, level);
        state_.levelMemory[code][k] = level;
        if (!labelSet)
            view_.SetScaleLabel(i, boosted);
        scaleBoostShown_[k] = boosted ? 1 : 0;

        TakeRowFromDevice(k);
        state_.lastChangedRow = static_cast<uint8_t>(i + 1);
        sliderShownPattern_[k] = code;
        sliderShownLevel_[k] = level;
        sliderShownAddress_[k] = address;
        sliderShownBoost_[k] = boost[k];
    }
}

void PollCycle::RefreshSoundRow()
{
    const uint8_t code = state_.patternCode[kSoundRow];
    const uint16_t level = state_.level[kSoundRow];
    const uint8_t address = state_.segmentAddress[kSoundRow];
    if (sliderShownPattern_[kSoundRow] == code && sliderShownLevel_[kSoundRow] == level &&
        sliderShownAddress_[kSoundRow] == address && level != 0)
        return;

    if (address == kSoundAddress) {
        const bool melody = patterns_.beepPatterns[code].param[1] == kMelodyMode;
        if (state_.soundLevelWaiting == 0) {
            // Once a volume has been shown, a melody's slider keeps the
            // position remembered for the code, whatever the device reports.
            const uint16_t position = melody ? state_.volumeMemory[code] : level;
            view_.ShowSoundLevel(melody, position);
            state_.levelMemory[code][kSoundRow] = level;
            send_.ComposeRow(kSoundAddress, level, code, kSoundRow);
            view_.RememberSliderValue(kSoundRow, position);
        } else if (level != 0) {
            // The first non-zero volume after start: the slider takes it. On
            // the melody scale the position is kept within 0..100, so the
            // memory never holds what the slider cannot show.
            const uint16_t position =
                melody ? static_cast<uint16_t>(std::min(2U * level - 1U, kMelodyPositionMax))
                       : level;
            view_.ShowSoundLevel(melody, position);
            state_.volumeMemory[code] = position;
            state_.levelMemory[code][kSoundRow] = level;
            send_.ComposeRow(kSoundAddress, level, code, kSoundRow);
            view_.RememberSliderValue(kSoundRow, position);
            state_.soundLevelWaiting = 0;
        } else {
            state_.soundLevelWaiting = 1;
        }
    }

    TakeRowFromDevice(kSoundRow);
    state_.lastChangedRow = kRows;
    sliderShownPattern_[kSoundRow] = code;
    sliderShownLevel_[kSoundRow] = level;
    sliderShownAddress_[kSoundRow] = address;
}

void PollCycle::RefreshInputPanel()
{
    bool changed = false;
    for (int i = 0; i < kRows; ++i) {
        const std::size_t k = Index(i);
        if (panelShownAddress_[k] != state_.segmentAddress[k] ||
            panelShownOnState_[k] != OnStateOfRow(state_, i))
            changed = true;
    }
    if (!changed)
        return;

    state_.segmentFound.fill(0);
    for (int i = 0; i < kColourRows; ++i) {
        const std::size_t k = Index(i);
        const uint8_t address = state_.segmentAddress[k];
        const uint8_t on = OnStateOfRow(state_, i);
        bool matched = false;
        for (int c = 0; c < kColourRows && !matched; ++c) {
            if (FindAddress(address, kColourTables[Index(c)]) == 0)
                continue;
            matched = true;
            view_.ShowColourSegment(i, address, on != 0);
            send_.SendStateReport(on, i);
            state_.segmentFound[k] = 1;
            state_.pictureAddress[k] = address;
        }
        if (!matched)
            view_.ShowNoColourSegment(i);
    }

    const uint8_t soundAddress = state_.segmentAddress[kSoundRow];
    const uint8_t soundOn = OnStateOfRow(state_, kSoundRow);
    if (soundAddress >= kFirstAcousticAddress && soundAddress <= kLastAcousticAddress) {
        view_.ShowSoundSegment(soundOn != 0);
        send_.SendStateReport(soundOn, kSoundRow);
        state_.segmentFound[kSoundRow] = 1;
    } else {
        view_.ShowNoSoundSegment();
    }

    for (int i = 0; i < kRows; ++i) {
        const std::size_t k = Index(i);
        panelShownAddress_[k] = state_.segmentAddress[k];
        panelShownOnState_[k] = OnStateOfRow(state_, i);
    }
    // The segment primitives enable and disable the on/off buttons.
    rowEnabledShown_.fill(-1);
}

bool PollCycle::CheckFirmware()
{
    // The version compared comes from the type-5 report: the check waits for
    // a fresh one, so it never judges a version not read yet, or one left
    // from the tower connected before.
    for (int type : kFirmwareCheckTypes)
        if (state_.reportSeen[Index(type - 1)] == 0)
            return true;
    if (state_.firmwareChecked != 0)
        return true;
    state_.firmwareChecked = 1;

    if (state_.firmwareVersion[kBaseControllerSlot] == ProgramVersion) {
        view_.EnableToolMenu(true);
        return true;
    }

    for (int r = 0; r < kRows; ++r)
        view_.EnableRow(r, false);
    view_.EnableToolMenu(false);
    view_.OnFirmwareUpdate();
    ForgetRowControls();
    state_.reportSeen.fill(0);
    if (state_.firmwareUpdated == 0) {
        state_.lastLinkResult = 0;
        state_.forceClose = 1;
        view_.OnOpenClose();
        view_.EndMainWindow(0);
        // The program ends; nothing more of this tick runs.
        return false;
    }
    state_.lastLinkResult = 1;
    return true;
}

}  // namespace kv
