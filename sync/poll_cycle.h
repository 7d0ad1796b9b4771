// PollCycle: one step per tick of timer 101 keeps the window in step with the
// tower while the link is open.
//
// A tick reads the input reports that arrived since the last tick, oldest
// first, and, once every report type but 7 has been seen since the link
// opened, carries each change of the device state into the window. Both the
// warm-up (four receptions of a type since the program started) and the
// first refresh (a fresh report of each type since the open) count reports,
// not ticks, so a tower that sends faster comes in step in fewer ticks. The window's controls are only written when the value that drives
// them changed: the cycle keeps copies of the values as it last showed them
// (combo, slider and panel groups).
#pragma once

#include <array>
#include <cstdint>

#include "device/device_state.h"
#include "device/hid_link.h"
#include "device/pattern_tables.h"
#include "sync/main_view.h"
#include "sync/send_path.h"

namespace kv {

// The blank the message line gets when no send result is showing.
inline constexpr const char* kBlankMessage = " ";

// A value no device value can take: marks a shown copy as stale.
constexpr uint16_t kStaleCopy = 0xFFF5;
constexpr uint8_t kStaleCopy8 = 0xF5;

class PollCycle {
public:
    PollCycle(DeviceState& state, HidLink& link, MainView& view, SendPath& send,
              PatternTables& patterns);

    // One poll step (the fifteen steps, in order).
    void Tick();
    // Marks every shown copy stale and every row as never sent, so the next
    // complete state refreshes every control and the next Send of a changed
    // row transmits. Called whenever the link opens.
    void ResetShownCopies();
    // Enables the output rows whose segment is present (colour rows with an
    // address, the sound row at address 33) and disables the others (level
    // 128, scale label "100 %"); then transfers the texts.
    void UpdateRowControls();

    // The 200 % flag of colour row i (0..4) for the pattern it runs: 0 or 1.
    uint8_t BoostOfRow(int row) const;

private:
    // UpdateRowControls as a tick runs it: only rows whose enabling (or the
    // scale label of an absent row) differs from what the cycle last set are
    // written, and the texts are left to the end of the tick.
    void UpdateRowControlsOnChange();
    void RefreshCombos(const std::array<uint8_t, kColourRows>& boost);
    // A row refreshed from what the tower reports: no longer pending.
    void TakeRowFromDevice(std::size_t k);
    void RefreshColourRows(const std::array<uint8_t, kColourRows>& boost);
    void RefreshSoundRow();
    void RefreshInputPanel();
    // Returns false when the program is ending.
    bool CheckFirmware();
    bool Complete() const;
    void ForgetRowControls();

    DeviceState& state_;
    HidLink& link_;
    MainView& view_;
    SendPath& send_;
    PatternTables& patterns_;

    // Combo group.
    std::array<uint16_t, kRows> comboShownPattern_{};
    std::array<uint16_t, kRows> comboShownAddress_{};
    std::array<uint16_t, kRows> comboShownLevel_{};
    std::array<uint8_t, kColourRows> comboShownBoost_{};
    // Slider group.
    std::array<uint16_t, kRows> sliderShownPattern_{};
    std::array<uint16_t, kRows> sliderShownLevel_{};
    std::array<uint16_t, kRows> sliderShownAddress_{};
    std::array<uint8_t, kColourRows> sliderShownBoost_{};
    // Panel group.
    std::array<uint16_t, kRows> panelShownAddress_{};
    std::array<uint16_t, kRows> panelShownOnState_{};

    // What the cycle last set on the row controls: -1 unknown, else 0/1.
    std::array<int8_t, kRows> rowEnabledShown_{};
    std::array<int8_t, kColourRows> scaleBoostShown_{};
};

}  // namespace kv
