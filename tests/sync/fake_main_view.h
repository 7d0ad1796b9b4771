// A MainView that records what it is asked to show, for the sync tests.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/device_state.h"
#include "sync/main_view.h"

namespace kv::test {

class FakeMainView : public MainView {
public:
    struct ColourRow {
        int slider = 128;
        int box = 50;
        bool boostedLabel = false;
        bool enabled = false;
        bool segmentShown = false;  // input panel
        uint8_t pictureAddress = 0;
    };

    // Every call, by name, in order.
    std::vector<std::string> calls;
    int Count(const std::string& name) const
    {
        return static_cast<int>(std::count(calls.begin(), calls.end(), name));
    }
    // Calls other than the text transfer and the message line text.
    int ControlCalls() const
    {
        return static_cast<int>(calls.size()) - Count("TransferTexts") - Count("SetMessageLine");
    }
    // Calls that change the output or input panel.
    int PanelCalls() const
    {
        int n = 0;
        for (const char* name : {"SelectPatterns", "ShowColourLevel", "ShowSoundLevel",
                                 "SetScaleLabel", "EnableRow", "ShowColourSegment",
                                 "ShowNoColourSegment", "ShowSoundSegment", "ShowNoSoundSegment"})
            n += Count(name);
        return n;
    }

    std::array<int, 6> selected{};
    std::array<ColourRow, 5> colour{};
    bool soundMelody = false;
    int soundSlider = 120;
    int soundBox = 1;
    bool soundEnabled = false;
    bool soundShown = false;

    std::string status = "Device Status: Offline.";
    std::string message;
    std::string openCloseCaption = "Open";
    bool sendEnabled = false;
    bool timerRunning = false;
    bool toolMenuEnabled = false;
    int endResult = -1;

    // OnOpenClose forwards here (the ConnectionControl under test).
    std::function<void()> openClose;
    // Run by OnFirmwareUpdate (for example to set firmwareUpdated).
    std::function<void()> firmwareUpdate;
    int firmwareUpdateCalls = 0;

    void SelectPatterns(const std::array<uint8_t, 6>& codes) override
    {
        calls.push_back("SelectPatterns");
        for (std::size_t r = 0; r < 6; ++r)
            selected[r] = codes[r] < (r < 5 ? 14 : 21) ? codes[r] : -1;
    }
    void ShowColourLevel(int row, uint16_t v, bool boosted) override
    {
        calls.push_back("ShowColourLevel");
        ColourRow& c = colour.at(static_cast<std::size_t>(row));
        c.slider = boosted ? v / 2 : v;
        c.box = BrightnessPercent(v);
        c.boostedLabel = boosted;
    }
    void ShowSoundLevel(bool melody, uint16_t position) override
    {
        calls.push_back("ShowSoundLevel");
        SetSoundSlider(melody, position);
    }
    void SetScaleLabel(int row, bool boosted) override
    {
        calls.push_back("SetScaleLabel");
        colour.at(static_cast<std::size_t>(row)).boostedLabel = boosted;
    }
    void EnableRow(int row, bool enabled) override
    {
        calls.push_back("EnableRow");
        (row == 5 ? soundEnabled : colour.at(static_cast<std::size_t>(row)).enabled) = enabled;
    }
    void DisableAllRows() override
    {
        calls.push_back("DisableAllRows");
        for (ColourRow& c : colour)
            c.enabled = c.boostedLabel = false;
        soundEnabled = false;
    }
    void ResetOutputPanel() override
    {
        calls.push_back("ResetOutputPanel");
        for (ColourRow& c : colour) {
            c.slider = 128;
            c.box = 50;
        }
        SetSoundSlider(false, 120);
        selected.fill(0);
    }
    void ShowColourSegment(int row, uint8_t address, bool) override
    {
        calls.push_back("ShowColourSegment");
        colour.at(static_cast<std::size_t>(row)).segmentShown = true;
        colour.at(static_cast<std::size_t>(row)).pictureAddress = address;
    }
    void ShowNoColourSegment(int row) override
    {
        calls.push_back("ShowNoColourSegment");
        colour.at(static_cast<std::size_t>(row)).segmentShown = false;
        colour.at(static_cast<std::size_t>(row)).pictureAddress = 0;
    }
    void ShowSoundSegment(bool) override
    {
        calls.push_back("ShowSoundSegment");
        soundShown = true;
    }
    void ShowNoSoundSegment() override
    {
        calls.push_back("ShowNoSoundSegment");
        soundShown = false;
        SetSoundSlider(false, 120);
        selected[5] = 0;
    }
    void ResetInputPanel() override
    {
        calls.push_back("ResetInputPanel");
        for (ColourRow& c : colour) {
            c.segmentShown = false;
            c.pictureAddress = 0;
        }
        soundShown = false;
    }
    void SetStatusLine(const std::string& text) override { Set("SetStatusLine", status, text); }
    void SetMessageLine(const std::string& text) override { Set("SetMessageLine", message, text); }
    void TransferTexts() override { calls.push_back("TransferTexts"); }
    void SetOpenCloseCaption(const std::string& text) override
    {
        Set("SetOpenCloseCaption", openCloseCaption, text);
    }
    void EnableSend(bool enabled) override { Set("EnableSend", sendEnabled, enabled); }
    void StartPollTimer() override { Set("StartPollTimer", timerRunning, true); }
    void StopPollTimer() override { Set("StopPollTimer", timerRunning, false); }
    void EnableToolMenu(bool enabled) override { Set("EnableToolMenu", toolMenuEnabled, enabled); }
    void OnOpenClose() override
    {
        calls.push_back("OnOpenClose");
        if (openClose)
            openClose();
    }
    void OnFirmwareUpdate() override
    {
        calls.push_back("OnFirmwareUpdate");
        ++firmwareUpdateCalls;
        if (firmwareUpdate)
            firmwareUpdate();
    }
    void EndMainWindow(int result) override { Set("EndMainWindow", endResult, result); }

private:
    template <typename T>
    void Set(const char* call, T& field, const T& value)
    {
        calls.push_back(call);
        field = value;
    }
    void SetSoundSlider(bool melody, int position)
    {
        soundMelody = melody;
        soundSlider = std::clamp(position, melody ? 0 : 119, melody ? 100 : 213);
        soundBox = melody ? position : VolumePercent(static_cast<uint16_t>(position));
    }
};

}  // namespace kv::test
