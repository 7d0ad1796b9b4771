// The input panel without its widgets: which picture each position of the
// tower shows, the on/off buttons with their captions, and the colour names.
// The buttons only change the host-side switch state and the pictures; the
// poll cycle sends the state to the segments.
#pragma once

#include <cstdint>

#include "session/window_model.h"
#include "device/device_state.h"

namespace kv {

class InputPanelLogic {
public:
    InputPanelLogic(DeviceState& state, WindowModel& model);

    // Empty pictures everywhere, names blank, all captions "On".
    void ResetInputPanel();

    // Display primitives for the poll cycle.
    void ShowColourSegment(int row, uint8_t address, bool on);
    void ShowNoColourSegment(int row);
    void ShowSoundSegment(bool on);
    // Input side only; the output side is the output panel's ResetSoundRow.
    void ShowNoSoundSegment();

    // The on/off buttons. Return whether the press switched a segment; a
    // press on a position without a (sound) segment changes nothing.
    bool OnRowSwitch(int row);
    bool OnSoundSwitch();

private:
    DeviceState& state_;
    WindowModel& model_;
};

}  // namespace kv
