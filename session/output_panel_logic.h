// The output panel without its widgets: the six rows' lists, sliders, scale
// labels and percentage boxes, the value and scale rules behind them, and the
// level and volume memories they keep.
//
// Colour rows run 0..255 on the slider; a pattern with the 200 % flag doubles
// the position into a value 0..510. The sound row runs the device volume
// 119..213 for tone patterns and a percentage 0..100 for melodies, which the
// melody volume table turns into the device value. A list without a
// selection counts as code 255.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "session/window_model.h"
#include "device/device_state.h"
#include "device/pattern_tables.h"

namespace kv {

// Composes a row's command from address, level, pattern code and row.
using ComposeRowFn = std::function<void(uint8_t address, uint16_t level, uint8_t code, int row)>;

class OutputPanelLogic {
public:
    OutputPanelLogic(DeviceState& state, PatternTables& patterns, WindowModel& model,
                     ComposeRowFn compose);

    // Fills the pattern tables, the lists, the memories and the start values.
    void InitOutputPanel();
    // As the window starts no slider value is remembered, so the first
    // notification of any slider composes its row.
    void ResetLastSliderValues();
    // The value a row's slider stands for after its row was composed
    // elsewhere (colour rows: the value v; sound row: the slider position).
    void RememberSliderValue(int row, uint16_t value);
    // Right scale labels from the 200 % flag of pattern 0.
    void ShowStartScaleLabels();

    // The user chose item `item` (-1: none) in a list.
    void OnPatternSelected(int row, int item);
    void OnSoundPatternSelected(int item);
    // A slider notification with the slider's position.
    void OnColourSlider(int row, int position);
    void OnSoundSlider(int position);

    // Display primitives for the poll cycle.
    void SelectPatterns(const std::array<uint8_t, kRows>& codes);
    void ShowColourLevel(int row, uint16_t v, bool boosted);
    void ShowSoundLevel(bool melody, uint16_t position);
    void SetScaleLabel(int row, bool boosted);
    // List, slider and on/off button of a row together.
    void EnableRow(int row, bool enabled);

    void DisableAllRows();
    void ResetOutputPanel();
    // The sound row when no sound segment is there: tone scale at 120, "1",
    // first pattern.
    void ResetSoundRow();

    // Pattern code a row's list stands for.
    uint8_t SelectedCode(int row) const;
    uint16_t LastSliderValue(int row) const { return lastSliderValue_[Index(row)]; }

private:
    static size_t Index(int row);
    void MarkChanged(int row);

    DeviceState& state_;
    PatternTables& patterns_;
    WindowModel& model_;
    ComposeRowFn compose_;
    // Value each row was last composed at, on its slider's scale: the value
    // v for colour rows, the slider position for the sound row; kNoSliderValue
    // before any.
    std::array<uint16_t, kRows> lastSliderValue_{};
};

// A remembered slider value no slider can produce.
constexpr uint16_t kNoSliderValue = 0xFFFF;

// Whether a beep code is a melody (sound slider on the 0..100 scale).
bool IsMelody(const PatternTables& patterns, uint8_t code);

}  // namespace kv
