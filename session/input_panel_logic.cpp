#include "session/input_panel_logic.h"

#include <cstddef>

namespace kv {

namespace {

constexpr const char* kCaptionOn = "On";
constexpr const char* kCaptionOff = "Off";
// The buttons leave a single blank in the message line.
constexpr const char* kBlankMessage = " ";

bool IsColourRow(int row) { return row >= 0 && row < kColourRows; }

}  // namespace

InputPanelLogic::InputPanelLogic(DeviceState& state, WindowModel& model)
    : state_(state), model_(model)
{
}

void InputPanelLogic::ResetInputPanel()
{
    for (InputRowModel& row : model_.input) {
        row.picture = TowerPicture{};
        row.name.clear();
        row.caption = kCaptionOn;
    }
}

void InputPanelLogic::ShowColourSegment(int row, uint8_t address, bool on)
{
    if (!IsColourRow(row))
        return;
    const size_t r = static_cast<size_t>(row);
    InputRowModel& line = model_.input[r];
    SegmentColour colour;
    if (ColourOfAddress(address, colour))
        line.picture = {on ? PictureKind::ColourOn : PictureKind::ColourOff, colour};
    line.buttonEnabled = true;
    if (on)
        line.caption = kCaptionOff;
    line.name = AddressLabel(address);
    state_.pictureAddress[r] = address;
    state_.segmentFound[r] = 1;
}

void InputPanelLogic::ShowNoColourSegment(int row)
{
    if (!IsColourRow(row))
        return;
    const size_t r = static_cast<size_t>(row);
    InputRowModel& line = model_.input[r];
    line.picture = TowerPicture{};
    line.caption = kCaptionOn;
    line.name.clear();
    line.buttonEnabled = false;
    state_.segmentFound[r] = 0;
}

void InputPanelLogic::ShowSoundSegment(bool on)
{
    InputRowModel& line = model_.input[kSoundRow];
    line.picture = {on ? PictureKind::SoundOn : PictureKind::SoundOff, SegmentColour::Red};
    line.buttonEnabled = true;
    state_.segmentFound[kSoundRow] = 1;
}

void InputPanelLogic::ShowNoSoundSegment()
{
    InputRowModel& line = model_.input[kSoundRow];
    line.picture = TowerPicture{};
    line.buttonEnabled = false;
    state_.segmentFound[kSoundRow] = 0;
}

bool InputPanelLogic::OnRowSwitch(int row)
{
    if (!IsColourRow(row))
        return false;
    const size_t r = static_cast<size_t>(row);
    if (state_.segmentAddress[r] == 0)
        return false;
    InputRowModel& line = model_.input[r];
    // The colour is that of the address the picture was last drawn for; any
    // other address leaves the picture alone while the state still toggles.
    SegmentColour colour;
    const bool known = ColourOfAddress(state_.pictureAddress[r], colour);
    uint8_t newState;
    if (OnStateOfRow(state_, row) == 0) {
        newState = 1;
        line.caption = kCaptionOff;
        if (known)
            line.picture = {PictureKind::ColourOn, colour};
    } else {
        newState = 0;
        line.caption = kCaptionOn;
        if (known)
            line.picture = {PictureKind::ColourOff, colour};
    }
    SetOnStateOfRow(state_, newState, row);
    model_.messageLine = kBlankMessage;
    return true;
}

bool InputPanelLogic::OnSoundSwitch()
{
    if (state_.segmentAddress[kSoundRow] != kSoundAddress)
        return false;
    InputRowModel& line = model_.input[kSoundRow];
    uint8_t newState;
    if (OnStateOfRow(state_, kSoundRow) == 0) {
        newState = 1;
        line.picture = {PictureKind::SoundOn, SegmentColour::Red};
        line.caption = kCaptionOff;
    } else {
        newState = 0;
        line.picture = {PictureKind::SoundOff, SegmentColour::Red};
        line.caption = kCaptionOn;
    }
    SetOnStateOfRow(state_, newState, kSoundRow);
    model_.messageLine = kBlankMessage;
    return true;
}

}  // namespace kv
