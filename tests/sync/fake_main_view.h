// A MainView that records what it is asked to show, for the sync tests.
#pragma once

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
        // Input panel.
        bool segmentShown = false;
        uint8_t pictureAddress = 0;
        bool pictureOn = false;
        bool buttonEnabled = false;
        std::string caption = "On";
    };

    // Every call, by name, in order.
    std::vector<std::string> calls;
    int Count(const std::string& name) const;
    // Calls other than the text transfer and the message line text.
    int ControlCalls() const;
    // Calls that change the output or input panel.
    int PanelCalls() const;

    std::array<int, 6> selected{};
    std::array<ColourRow, 5> colour{};
    // Sound row.
    bool soundMelody = false;
    int soundSlider = 120;
    int soundBox = 1;
    bool soundEnabled = false;
    bool soundShown = false;
    bool soundOn = false;
    bool soundButtonEnabled = false;

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

    void SelectPatterns(const std::array<uint8_t, 6>& codes) override;
    void ShowColourLevel(int row, uint16_t v, bool boosted) override;
    void ShowSoundLevel(bool melody, uint16_t position) override;
    void SetScaleLabel(int row, bool boosted) override;
    void EnableRow(int row, bool enabled) override;
    void DisableAllRows() override;
    void ResetOutputPanel() override;
    void ShowColourSegment(int row, uint8_t address, bool on) override;
    void ShowNoColourSegment(int row) override;
    void ShowSoundSegment(bool on) override;
    void ShowNoSoundSegment() override;
    void ResetInputPanel() override;
    void SetStatusLine(const std::string& text) override;
    void SetMessageLine(const std::string& text) override;
    void TransferTexts() override;
    void SetOpenCloseCaption(const std::string& text) override;
    void EnableSend(bool enabled) override;
    void StartPollTimer() override;
    void StopPollTimer() override;
    void EnableToolMenu(bool enabled) override;
    void OnOpenClose() override;
    void OnFirmwareUpdate() override;
    void EndMainWindow(int result) override;

private:
    void SetSoundSlider(bool melody, int position);
};

}  // namespace kv::test
