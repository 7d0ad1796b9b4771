#include "session/output_panel_logic.h"

#include <algorithm>
#include <string>
#include <utility>

namespace kv {

namespace {

const char* ScaleText(bool boosted) { return boosted ? "200 %" : "100 %"; }


}  // namespace

bool IsMelody(const PatternTables& patterns, uint8_t code)
{
    return patterns.beepPatterns[code].param[1] == kMelodyMode;
}

OutputPanelLogic::OutputPanelLogic(DeviceState& state, PatternTables& patterns,
                                   WindowModel& model, ComposeRowFn compose)
    : state_(state), patterns_(patterns), model_(model), compose_(std::move(compose))
{
    ResetLastSliderValues();
}

size_t OutputPanelLogic::Index(int row)
{
    return static_cast<size_t>(std::clamp(row, 0, kRows - 1));
}

void OutputPanelLogic::ResetLastSliderValues()
{
    lastSliderValue_.fill(kNoSliderValue);
}

void OutputPanelLogic::RememberSliderValue(int row, uint16_t value)
{
    if (row < 0 || row >= kRows)
        return;
    lastSliderValue_[Index(row)] = value;
}

void OutputPanelLogic::InitOutputPanel()
{
    FillShippedPatterns(patterns_);
    InitPatternMemories(state_, patterns_);

    std::vector<std::string> lightNames;
    for (int code = 0; code < kLightPatternCount; ++code)
        lightNames.push_back(patterns_.lightPatterns[static_cast<size_t>(code)].name);
    const PatternEntry& first = patterns_.lightPatterns[0];
    for (int r = 0; r < kColourRows; ++r) {
        OutputRowModel& row = model_.output[Index(r)];
        row.items = lightNames;
        row.selected = 0;
        SetSlider(row, kColourSliderMin, kColourSliderMax,
                  first.param[3] / (patterns_.boost[0][Index(r)] + 1));
        SetPercent(row, BrightnessPercent(first.param[3]));
    }

    OutputRowModel& sound = model_.output[kSoundRow];
    sound.items.clear();
    for (int code = 0; code < kBeepPatternCount; ++code)
        sound.items.push_back(patterns_.beepPatterns[static_cast<size_t>(code)].name);
    sound.selected = 0;
    const uint8_t volume = patterns_.beepPatterns[0].param[2];
    SetSlider(sound, kToneSliderMin, kToneSliderMax, volume);
    SetPercent(sound, VolumePercent(volume));
    sound.scaleLabel = "100 %";
}

void OutputPanelLogic::ShowStartScaleLabels()
{
    for (int r = 0; r < kColourRows; ++r)
        SetScaleLabel(r, patterns_.boost[0][Index(r)] != 0);
}

uint8_t OutputPanelLogic::SelectedCode(int row) const
{
    const OutputRowModel& r = model_.output[Index(row)];
    if (r.selected < 0 || r.selected > 255)
        return kNoSelectionCode;
    return static_cast<uint8_t>(r.selected);
}

void OutputPanelLogic::MarkChanged(int row)
{
    state_.rowPending[Index(row)] = 1;
    state_.lastChangedRow = static_cast<uint8_t>(Index(row) + 1);
}

void OutputPanelLogic::OnPatternSelected(int row, int item)
{
    if (row < 0 || row >= kColourRows)
        return;
    const size_t r = Index(row);
    model_.output[r].selected = item;
    const uint8_t code = SelectedCode(row);
    const bool boosted = patterns_.boost[code][r] != 0;
    const uint16_t v = state_.levelMemory[code][r];
    model_.output[r].scaleLabel = ScaleText(boosted);
    SetSliderPos(model_.output[r], v / (boosted ? 2 : 1));
    SetPercent(model_.output[r], BrightnessPercent(v));
    compose_(state_.segmentAddress[r], v, code, row);
    lastSliderValue_[r] = v;
    MarkChanged(row);
}

void OutputPanelLogic::OnSoundPatternSelected(int item)
{
    OutputRowModel& sound = model_.output[kSoundRow];
    sound.selected = item;
    const uint8_t code = SelectedCode(kSoundRow);
    const int v = state_.levelMemory[code][kSoundRow];
    const int p = state_.volumeMemory[code];
    if (!IsMelody(patterns_, code)) {
        SetSlider(sound, kToneSliderMin, kToneSliderMax, sound.sliderPos);
        if (v == p) {
            SetSliderPos(sound, v);
            SetPercent(sound, VolumePercent(static_cast<uint16_t>(v)));
        }
    } else {
        SetSlider(sound, kMelodySliderMin, kMelodySliderMax, sound.sliderPos);
        // The position was stored from this value: p / 2 + 1 = v, or the top
        // of the table. A position remembered from a device volume above the
        // melody table lies beyond the scale: the box reads the end the
        // slider stands at, as when the poll cycle shows it.
        if (p == 2 * v - 2 || p == 2 * v - 1 || p == 2 * v) {
            SetSliderPos(sound, p);
            SetPercent(sound, sound.sliderPos);
        }
    }
    compose_(state_.segmentAddress[kSoundRow], static_cast<uint16_t>(v), code, kSoundRow);
    lastSliderValue_[kSoundRow] = static_cast<uint16_t>(sound.sliderPos);
    MarkChanged(kSoundRow);
}

void OutputPanelLogic::OnColourSlider(int row, int position)
{
    if (row < 0 || row >= kColourRows)
        return;
    const size_t r = Index(row);
    OutputRowModel& out = model_.output[r];
    SetSliderPos(out, position);
    const uint8_t code = SelectedCode(row);
    const uint16_t v = static_cast<uint16_t>(out.sliderPos * (patterns_.boost[code][r] + 1));
    state_.levelMemory[code][r] = v;
    PatternEntry& entry = patterns_.lightPatterns[code];
    entry.param[2] = v > 255 ? 1 : 0;
    entry.param[3] = static_cast<uint8_t>(v & 0xFF);
    // The box always follows the slider; the row changes only when the value
    // differs from the one it was last composed at.
    SetPercent(out, BrightnessPercent(v));
    if (v == lastSliderValue_[r])
        return;
    compose_(state_.segmentAddress[r], v, code, row);
    MarkChanged(row);
    lastSliderValue_[r] = v;
}

void OutputPanelLogic::OnSoundSlider(int position)
{
    OutputRowModel& sound = model_.output[kSoundRow];
    const uint8_t code = SelectedCode(kSoundRow);
    PatternEntry& entry = patterns_.beepPatterns[code];
    if (!IsMelody(patterns_, code)) {
        SetSlider(sound, kToneSliderMin, kToneSliderMax, position);
        const uint16_t v = static_cast<uint16_t>(sound.sliderPos);
        state_.volumeMemory[code] = v;
        state_.levelMemory[code][kSoundRow] = v;
        entry.param[2] = static_cast<uint8_t>(v);
        SetPercent(sound, VolumePercent(v));
        if (v == lastSliderValue_[kSoundRow])
            return;
        compose_(kSoundAddress, v, code, kSoundRow);
        MarkChanged(kSoundRow);
        lastSliderValue_[kSoundRow] = v;
    } else {
        SetSlider(sound, kMelodySliderMin, kMelodySliderMax, position);
        const uint16_t p = static_cast<uint16_t>(sound.sliderPos);
        const uint16_t e = patterns_.melodyVolume[std::min<size_t>(p, kMelodySteps - 1)];
        state_.volumeMemory[code] = p;
        state_.levelMemory[code][kSoundRow] = e;
        entry.param[2] = static_cast<uint8_t>(e);
        SetPercent(sound, p);
        if (p == lastSliderValue_[kSoundRow])
            return;
        compose_(kSoundAddress, e, code, kSoundRow);
        MarkChanged(kSoundRow);
        lastSliderValue_[kSoundRow] = p;
    }
}

void OutputPanelLogic::SelectPatterns(const std::array<uint8_t, kRows>& codes)
{
    for (size_t r = 0; r < kRows; ++r) {
        OutputRowModel& row = model_.output[r];
        row.selected = codes[r] < row.items.size() ? codes[r] : -1;
    }
}

void OutputPanelLogic::ShowColourLevel(int row, uint16_t v, bool boosted)
{
    if (row < 0 || row >= kColourRows)
        return;
    OutputRowModel& out = model_.output[Index(row)];
    SetSliderPos(out, boosted ? v / 2 : v);
    SetPercent(out, BrightnessPercent(v));
    out.scaleLabel = ScaleText(boosted);
}

void OutputPanelLogic::ShowSoundLevel(bool melody, uint16_t position)
{
    OutputRowModel& sound = model_.output[kSoundRow];
    if (melody) {
        // On the melody scale the box shows the slider's own position, so a
        // remembered position beyond the scale (from a device volume above
        // the melody table) reads as the end the slider stands at.
        SetSlider(sound, kMelodySliderMin, kMelodySliderMax, position);
        SetPercent(sound, sound.sliderPos);
    } else {
        SetSlider(sound, kToneSliderMin, kToneSliderMax, position);
        SetPercent(sound, VolumePercent(position));
    }
}

void OutputPanelLogic::SetScaleLabel(int row, bool boosted)
{
    if (row < 0 || row >= kColourRows)
        return;
    model_.output[Index(row)].scaleLabel = ScaleText(boosted);
}

void OutputPanelLogic::EnableRow(int row, bool enabled)
{
    if (row < 0 || row >= kRows)
        return;
    model_.output[Index(row)].enabled = enabled;
    model_.input[Index(row)].buttonEnabled = enabled;
}

void OutputPanelLogic::DisableAllRows()
{
    for (int r = 0; r < kRows; ++r) {
        EnableRow(r, false);
        if (r < kColourRows)
            SetScaleLabel(r, false);
    }
}

void OutputPanelLogic::ResetOutputPanel()
{
    for (int r = 0; r < kColourRows; ++r) {
        OutputRowModel& row = model_.output[Index(r)];
        SetSliderPos(row, kColourRestPosition);
        SetPercent(row, BrightnessPercent(kColourRestPosition));
        row.selected = 0;
    }
    ResetSoundRow();
}

void OutputPanelLogic::ResetSoundRow()
{
    OutputRowModel& sound = model_.output[kSoundRow];
    SetSlider(sound, kToneSliderMin, kToneSliderMax, kSoundRestPosition);
    SetPercent(sound, VolumePercent(kSoundRestPosition));
    sound.selected = 0;
}

}  // namespace kv
