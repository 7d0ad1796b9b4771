// What the poll cycle, the send path and the Open/Close/Exit sequences may do
// to the main window: the display primitives it offers and a few of its
// handlers. The main window implements it; tests use a recording fake.
//
// The primitives only show things. The bookkeeping that goes with them in
// DeviceState (pictureAddress, segmentFound, levels, memories) is done by the
// caller in sync/, so an implementation need not touch DeviceState here.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kv {

class MainView {
public:
    virtual ~MainView() = default;

    // ---- Output panel -----------------------------------------------------

    // Selects item codes[r] in each row's list; a code beyond a list leaves
    // that list without a selection.
    virtual void SelectPatterns(const std::array<uint8_t, 6>& codes) = 0;
    // Colour row r (0..4): slider at v / 2 when boosted else v, box
    // BrightnessPercent(v), right scale label "200 %" or "100 %".
    virtual void ShowColourLevel(int row, uint16_t v, bool boosted) = 0;
    // Sound row: range 0..100 for a melody else 119..213, slider at position
    // (a position outside the range stands at the nearer end), box the
    // position itself for a melody, VolumePercent(position) otherwise.
    virtual void ShowSoundLevel(bool melody, uint16_t position) = 0;
    // Right scale label of a colour row (0..4): "200 %" when boosted, else
    // "100 %".
    virtual void SetScaleLabel(int row, bool boosted) = 0;
    // The row's command was just composed from what the device reports; its
    // slider stands for `value` (colour rows: the value v; sound row: the
    // slider position). A later slider notification at the same value then
    // changes nothing, and one at any other value is a change.
    virtual void RememberSliderValue(int row, uint16_t value)
    {
        (void)row;
        (void)value;
    }
    // Enables or disables the slider, on/off button and list of a row (0..5).
    virtual void EnableRow(int row, bool enabled) = 0;
    // Every row disabled; colour rows' right scale label "100 %".
    virtual void DisableAllRows() = 0;
    // Colour sliders at 128 with "50"; sound slider range 119..213 at 120 with
    // "1"; all six lists at item 0. Memories and pattern entries untouched.
    virtual void ResetOutputPanel() = 0;

    // ---- Input panel ------------------------------------------------------

    // Colour row r (0..4): picture of the address's colour, full when on,
    // pale otherwise; enables the row's button; caption "Off" when on
    // (otherwise the caption stays); name text = label of the address.
    virtual void ShowColourSegment(int row, uint8_t address, bool on) = 0;
    // Colour row r (0..4): empty picture, caption "On", name text blank,
    // button disabled.
    virtual void ShowNoColourSegment(int row) = 0;
    // Sound row: loudspeaker with waves when on, without otherwise; enables
    // the sound row's button.
    virtual void ShowSoundSegment(bool on) = 0;
    // Sound row: empty picture, button disabled; and on the output side the
    // sound slider range 119..213 at 120, box "1", sound list at item 0.
    virtual void ShowNoSoundSegment() = 0;
    // Empty pictures in all six positions, name texts blank, all six
    // captions "On".
    virtual void ResetInputPanel() = 0;

    // ---- Lines and buttons ------------------------------------------------

    // The device status line ("Device Status: Online." / "... Offline.").
    virtual void SetStatusLine(const std::string& text) = 0;
    // The text value of the message line below the status line.
    virtual void SetMessageLine(const std::string& text) = 0;
    // Pushes the window's text values (the percent boxes, the lines) to the
    // screen.
    virtual void TransferTexts() = 0;
    // Caption of the Open/Close button: "Open" or "Close".
    virtual void SetOpenCloseCaption(const std::string& text) = 0;
    // Enables or disables the "Send" button.
    virtual void EnableSend(bool enabled) = 0;
    // Enables or disables the "Open"/"Close" and the "Exit" button (the
    // firmware update path holds them while it runs). A view without these
    // buttons may ignore the calls.
    virtual void EnableOpenClose(bool enabled) { (void)enabled; }
    virtual void EnableExit(bool enabled) { (void)enabled; }

    // ---- Timer, menu, handlers --------------------------------------------

    // Timer 101, 30 ms.
    virtual void StartPollTimer() = 0;
    virtual void StopPollTimer() = 0;

    // Enables or greys the three Tools entries together.
    virtual void EnableToolMenu(bool enabled) = 0;

    // The Open/Close handler (ConnectionControl::OnOpenClose); the poll cycle
    // enters it with forceClose set to go offline.
    virtual void OnOpenClose() = 0;
    // The firmware update entry; returns when the update path is done and
    // leaves firmwareUpdated set when the link was reopened after an update.
    virtual void OnFirmwareUpdate() = 0;
    // Ends the main window with a result, which ends the program.
    virtual void EndMainWindow(int result) = 0;
};

}  // namespace kv
