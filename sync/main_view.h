// What the poll cycle and the send path may do to the main window: the display
// primitives it offers and a few of its handlers. The main window implements
// it; tests use a recording fake.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kv {

class MainView {
public:
    virtual ~MainView() = default;

    // Output panel.
    // Selects item codes[r] in each row's list; a code beyond a list leaves
    // that list without a selection.
    virtual void SelectPatterns(const std::array<uint8_t, 6>& codes) = 0;
    // Colour row r: slider at v / 2 when boosted else v, box
    // BrightnessPercent(v), right scale label "200 %" or "100 %".
    virtual void ShowColourLevel(int row, uint16_t v, bool boosted) = 0;
    // Sound row: range 0..100 for a melody else 119..213, slider at position,
    // box the position itself for a melody, VolumePercent(position) otherwise.
    virtual void ShowSoundLevel(bool melody, uint16_t position) = 0;
    // Right scale label of a colour row: "200 %" when boosted, else "100 %".
    virtual void SetScaleLabel(int row, bool boosted) = 0;
    // Enables or disables the slider, on/off button and list of a row (0..5).
    virtual void EnableRow(int row, bool enabled) = 0;

    // Input panel.
    virtual void ShowColourSegment(int row, uint8_t address, bool on) = 0;
    virtual void ShowNoColourSegment(int row) = 0;
    virtual void ShowSoundSegment(bool on) = 0;
    virtual void ShowNoSoundSegment() = 0;

    // Status line and the message line below it.
    virtual void SetStatusLine(const std::string& text) = 0;
    virtual void SetMessageLine(const std::string& text) = 0;
    // Pushes the window's text values (the percent boxes, the lines) to the
    // screen.
    virtual void TransferTexts() = 0;

    // Timer 101, 30 ms.
    virtual void StartPollTimer() = 0;
    virtual void StopPollTimer() = 0;

    // Enables or greys the three Tools entries together.
    virtual void EnableToolMenu(bool enabled) = 0;

    // The Open/Close handler; the poll cycle enters it with forceClose set.
    virtual void OnOpenClose() = 0;
    // The firmware update entry; returns when the update path is done.
    virtual void OnFirmwareUpdate() = 0;
    // Ends the main window with a result, which ends the program.
    virtual void EndMainWindow(int result) = 0;
};

}  // namespace kv
