#include "tools/switching_threshold_logic.h"

#include <algorithm>
#include <cstdio>

#include "platform/clock.h"

namespace kv {

const uint8_t kThresholdPresetRaw[kThresholdPresets] = {30, 46, 83, 92, 110};
const char* const kThresholdPresetCaption[kThresholdPresets] = {"3.3 V", "5.0 V", "9.0 V",
                                                                "10.0 V", "12.0 V"};
const char* const kThresholdExplanation1 =
    "This value determines the minimum voltage level to be used at the portpins for switching "
    "on the signals.";
const char* const kThresholdExplanation2 = "The parameter changes the threshold of all portpins.";
const char* const kThresholdPleaseWait = "        Please wait!";
const char* const kThresholdSuccess = "    The transfer was                successful!";
const char* const kThresholdFailed = "Transmission failed!";

namespace {

bool InRange(int raw) { return raw >= kThresholdMin && raw <= kThresholdMax; }

void UpdateSendButton(SwitchingThresholdState& t)
{
    t.sendEnabled = t.selectedThreshold != t.lastSeenThreshold;
}

}  // namespace

SwitchingThresholdState& TheSwitchingThresholdState()
{
    static SwitchingThresholdState state;
    return state;
}

double ThresholdVolts(int raw)
{
    return static_cast<double>(raw) * 0.10875;
}

std::string FormatThreshold(int raw)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", ThresholdVolts(raw));
    return text;
}

void OpenSwitchingThreshold(SwitchingThresholdState& t, const DeviceState& s, const ToolIo& io)
{
    t.statusTone = kToneNeutral;
    t.statusText.clear();
    t.selectedThreshold = InRange(s.switchingThreshold) ? s.switchingThreshold : kThresholdMin;
    t.mismatchCountdown = kMismatchAllowance;
    t.sendEnabled = false;
    io.Flush();
    SleepMs(kThresholdOpenWaitMs);
    // The voltage text shows the reported value even outside the slider's
    // range; the slider stops at its nearer end.
    t.sliderPosition = std::clamp<int>(s.switchingThreshold, kThresholdMin, kThresholdMax);
    t.voltageText = FormatThreshold(s.switchingThreshold);
}

void ThresholdSliderMoved(SwitchingThresholdState& t, int position)
{
    position = std::clamp(position, kThresholdMin, kThresholdMax);
    t.sliderPosition = position;
    t.selectedThreshold = static_cast<uint8_t>(position);
    t.voltageText = FormatThreshold(position);
    UpdateSendButton(t);
}

void ThresholdPreset(SwitchingThresholdState& t, uint8_t raw)
{
    t.sliderPosition = std::clamp<int>(raw, kThresholdMin, kThresholdMax);
    t.voltageText = FormatThreshold(raw);
    t.selectedThreshold = raw;
    UpdateSendButton(t);
}

void SendThreshold(SwitchingThresholdState& t, DeviceState& s, const ToolIo& io)
{
    StartThresholdSend(t, s, io);
    io.Flush();
    SleepMs(kThresholdSendWaitMs);
}

void StartThresholdSend(SwitchingThresholdState& t, DeviceState& s, const ToolIo& io)
{
    io.Write(BuildThresholdReport(t.selectedThreshold));
    s.reportSeenByTool.fill(0);
    t.statusTone = kToneNeutral;
    if (t.lastSeenThreshold != t.selectedThreshold) {
        t.statusText = kThresholdPleaseWait;
        t.sendEnabled = true;
    } else {
        t.sendEnabled = false;
    }
    t.confirmPending = 1;
    t.mismatchCountdown = kMismatchAllowance;
    t.statusClearCountdown = kStatusClearTicks;
}

bool FreshReportsSeen(const DeviceState& s)
{
    // Type 7, the threshold itself, is not waited for.
    for (int type = 1; type <= kReportTypes; ++type)
        if (type != 7 && s.reportSeenByTool[static_cast<size_t>(type - 1)] == 0)
            return false;
    return true;
}

void SwitchingThresholdTick(SwitchingThresholdState& t, const DeviceState& s)
{
    if (!FreshReportsSeen(s))
        return;
    const uint8_t reported = s.switchingThreshold;
    if (reported != t.lastSeenThreshold) {
        if (InRange(reported)) {
            t.sliderPosition = reported;
            t.voltageText = FormatThreshold(reported);
            if (t.confirmPending == 1) {
                if (t.selectedThreshold == reported) {
                    t.statusTone = kToneSuccess;
                    t.statusText = kThresholdSuccess;
                    t.sendEnabled = false;
                    t.mismatchCountdown = kMismatchAllowance;
                    t.confirmPending = 0;
                } else if (t.mismatchCountdown > 0 && --t.mismatchCountdown == 0) {
                    t.mismatchCountdown = kMismatchAllowance;
                    t.statusTone = kToneFailure;
                    t.statusText = kThresholdFailed;
                    t.confirmPending = 0;
                }
            }
        }
        t.lastSeenThreshold = reported;
    }
    if (t.statusClearCountdown > 0)
        --t.statusClearCountdown;
    if (t.statusClearCountdown == 0) {
        t.statusClearCountdown = kStatusClearTicks;
        t.statusText.clear();
        t.statusTone = kToneNeutral;
    }
}

}  // namespace kv
