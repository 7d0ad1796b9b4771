// Switching threshold: the one voltage above which every input port counts as
// switched on. The dialog shows it in volts, sends a new raw value and watches
// the value the Base Controller reports back.
#pragma once

#include <cstdint>
#include <string>

#include "device/device_state.h"
#include "tools/tool_common_logic.h"

namespace kv {

constexpr int kThresholdMin = 20;
constexpr int kThresholdMax = 220;
constexpr int kThresholdTickMs = 1000;
constexpr uint32_t kThresholdOpenWaitMs = 500;
constexpr uint32_t kThresholdSendWaitMs = 1500;
constexpr uint8_t kMismatchAllowance = 2;
constexpr uint16_t kStatusClearTicks = 6;

// Raw values of the five preset buttons and their captions.
constexpr int kThresholdPresets = 5;
extern const uint8_t kThresholdPresetRaw[kThresholdPresets];
extern const char* const kThresholdPresetCaption[kThresholdPresets];

extern const char* const kThresholdExplanation1;
extern const char* const kThresholdExplanation2;
extern const char* const kThresholdPleaseWait;
extern const char* const kThresholdSuccess;
extern const char* const kThresholdFailed;

struct SwitchingThresholdState {
    uint8_t selectedThreshold = 20;
    uint8_t lastSeenThreshold = 255;
    uint8_t confirmPending = 0;
    uint8_t mismatchCountdown = kMismatchAllowance;
    uint16_t statusClearCountdown = kStatusClearTicks;
    uint8_t statusTone = kToneNeutral;

    // What the dialog shows.
    int sliderPosition = kThresholdMin;
    std::string voltageText;
    std::string statusText;
    bool sendEnabled = false;
};

// The program's one instance.
SwitchingThresholdState& TheSwitchingThresholdState();

// raw x 0.10875 volts.
double ThresholdVolts(int raw);
// The volts with one decimal ("%.1f").
std::string FormatThreshold(int raw);

// Opening, including its 500 ms wait.
void OpenSwitchingThreshold(SwitchingThresholdState& t, const DeviceState& s, const ToolIo& io);
void ThresholdSliderMoved(SwitchingThresholdState& t, int position);
void ThresholdPreset(SwitchingThresholdState& t, uint8_t raw);
// "Send": writes the report, restarts the confirmation, waits 1500 ms.
void SendThreshold(SwitchingThresholdState& t, DeviceState& s, const ToolIo& io);
// "Send" up to its wait, for a caller that keeps polling through the
// 1500 ms instead of blocking (the service, which holds other towers too).
void StartThresholdSend(SwitchingThresholdState& t, DeviceState& s, const ToolIo& io);
// True when every report type but 7 has arrived since the last send.
bool FreshReportsSeen(const DeviceState& s);
// One tick of the 1000 ms timer.
void SwitchingThresholdTick(SwitchingThresholdState& t, const DeviceState& s);

}  // namespace kv
