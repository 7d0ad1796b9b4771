// What the main window shows, as plain values: every caption, text, range,
// position, selection, picture and enabled state of its controls. The handlers
// and the display primitives change this model; the window pushes it to the
// screen and never reads it back.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "device/device_state.h"

namespace kv {

// Tone patterns run the sound slider on the device's own volume scale,
// melodies on a percentage scale.
constexpr int kToneSliderMin = 119;
constexpr int kToneSliderMax = 213;
constexpr int kMelodySliderMin = 0;
constexpr int kMelodySliderMax = 100;
constexpr int kColourSliderMin = 0;
constexpr int kColourSliderMax = 255;

// Where the controls stand at start and after a close.
constexpr int kColourRestPosition = 128;
constexpr int kSoundRestPosition = 120;

// Pattern code a list without a selection stands for.
constexpr uint8_t kNoSelectionCode = 255;

// Which picture a position of the tower shows.
enum class PictureKind : uint8_t {
    Empty,      // no segment: grey body
    ColourOn,   // colour segment, switched on: full colour
    ColourOff,  // colour segment, switched off: pale colour
    SoundOn,    // loudspeaker with waves
    SoundOff,   // loudspeaker without waves
};

// Colour of a segment picture, in the order of the address groups.
enum class SegmentColour : uint8_t { Red = 0, Yellow, Green, Blue, White };

struct TowerPicture {
    PictureKind kind = PictureKind::Empty;
    SegmentColour colour = SegmentColour::Red;  // ColourOn / ColourOff only
    bool operator==(const TowerPicture&) const = default;
};

// One row of the output panel.
struct OutputRowModel {
    std::vector<std::string> items;  // the pattern list, item index = code
    int selected = 0;                // -1: no selection
    bool enabled = false;            // list and slider
    int sliderMin = kColourSliderMin;
    int sliderMax = kColourSliderMax;
    int sliderPos = 0;
    std::string percentText;          // the read-only percentage box
    int percent = -1;                 // the number it shows; -1 while blank
    std::string scaleLabel = "100 %";  // right end of the slider
    bool operator==(const OutputRowModel&) const = default;
};

// One line of the input panel.
struct InputRowModel {
    TowerPicture picture;
    std::string caption;     // "On" or "Off"
    bool buttonEnabled = false;
    std::string name;        // colour rows: "Red 1" ... "White 5" or blank
    bool operator==(const InputRowModel&) const = default;
};

struct WindowModel {
    WindowModel();

    std::array<OutputRowModel, kRows> output;
    std::array<InputRowModel, kRows> input;
    std::string statusLine = "Device Status: Offline.";
    std::string messageLine;
    std::string openCloseCaption = "Open";
    bool sendEnabled = false;
    bool openCloseEnabled = true;
    bool exitEnabled = true;
    bool toolEntriesEnabled = false;
    bool firmwareEntryEnabled = true;
    bool operator==(const WindowModel&) const = default;
};

// Sets a slider's range and its position; the position is kept within the
// range, as a slider control does.
void SetSlider(OutputRowModel& row, int min, int max, int position);
// The percentage box shows `value`.
void SetPercent(OutputRowModel& row, int value);
// Moves a slider within its current range.
void SetSliderPos(OutputRowModel& row, int position);

// Colour group of a colour address 8..32; false for any other address.
bool ColourOfAddress(uint8_t address, SegmentColour& colour);

}  // namespace kv
