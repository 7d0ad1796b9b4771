#include "fake_main_view.h"

#include <algorithm>

namespace kv::test {

int FakeMainView::Count(const std::string& name) const
{
    return static_cast<int>(std::count(calls.begin(), calls.end(), name));
}

int FakeMainView::ControlCalls() const
{
    return static_cast<int>(calls.size()) - Count("TransferTexts") - Count("SetMessageLine");
}

int FakeMainView::PanelCalls() const
{
    int n = 0;
    for (const char* name : {"SelectPatterns", "ShowColourLevel", "ShowSoundLevel", "SetScaleLabel",
                             "EnableRow", "ShowColourSegment", "ShowNoColourSegment",
                             "ShowSoundSegment", "ShowNoSoundSegment"})
        n += Count(name);
    return n;
}

void FakeMainView::SelectPatterns(const std::array<uint8_t, 6>& codes)
{
    calls.push_back("SelectPatterns");
    for (int r = 0; r < 6; ++r) {
        const int size = r < 5 ? 14 : 21;
        selected[static_cast<size_t>(r)] = codes[static_cast<size_t>(r)] < size ? codes[static_cast<size_t>(r)] : -1;
    }
}

void FakeMainView::ShowColourLevel(int row, uint16_t v, bool boosted)
{
    calls.push_back("ShowColourLevel");
    ColourRow& c = colour.at(static_cast<size_t>(row));
    c.slider = boosted ? v / 2 : v;
    c.box = BrightnessPercent(v);
    c.boostedLabel = boosted;
}

void FakeMainView::SetSoundSlider(bool melody, int position)
{
    soundMelody = melody;
    const int lo = melody ? 0 : 119;
    const int hi = melody ? 100 : 213;
    soundSlider = std::clamp(position, lo, hi);
    soundBox = melody ? position : VolumePercent(static_cast<uint16_t>(position));
}

void FakeMainView::ShowSoundLevel(bool melody, uint16_t position)
{
    calls.push_back("ShowSoundLevel");
    SetSoundSlider(melody, position);
}

void FakeMainView::SetScaleLabel(int row, bool boosted)
{
    calls.push_back("SetScaleLabel");
    colour.at(static_cast<size_t>(row)).boostedLabel = boosted;
}

void FakeMainView::EnableRow(int row, bool enabled)
{
    calls.push_back("EnableRow");
    if (row == 5) {
        soundEnabled = enabled;
        soundButtonEnabled = enabled;
    } else {
        colour.at(static_cast<size_t>(row)).enabled = enabled;
        colour.at(static_cast<size_t>(row)).buttonEnabled = enabled;
    }
}

void FakeMainView::DisableAllRows()
{
    calls.push_back("DisableAllRows");
    for (ColourRow& c : colour) {
        c.enabled = false;
        c.buttonEnabled = false;
        c.boostedLabel = false;
    }
    soundEnabled = false;
    soundButtonEnabled = false;
}

void FakeMainView::ResetOutputPanel()
{
    calls.push_back("ResetOutputPanel");
    for (ColourRow& c : colour) {
        c.slider = 128;
        c.box = 50;
    }
    SetSoundSlider(false, 120);
    selected.fill(0);
}

void FakeMainView::ShowColourSegment(int row, uint8_t address, bool on)
{
    calls.push_back("ShowColourSegment");
    ColourRow& c = colour.at(static_cast<size_t>(row));
    c.segmentShown = true;
    c.pictureAddress = address;
    c.pictureOn = on;
    c.buttonEnabled = true;
    if (on)
        c.caption = "Off";
}

void FakeMainView::ShowNoColourSegment(int row)
{
    calls.push_back("ShowNoColourSegment");
    ColourRow& c = colour.at(static_cast<size_t>(row));
    c.segmentShown = false;
    c.pictureAddress = 0;
    c.pictureOn = false;
    c.buttonEnabled = false;
    c.caption = "On";
}

void FakeMainView::ShowSoundSegment(bool on)
{
    calls.push_back("ShowSoundSegment");
    soundShown = true;
    soundOn = on;
    soundButtonEnabled = true;
}

void FakeMainView::ShowNoSoundSegment()
{
    calls.push_back("ShowNoSoundSegment");
    soundShown = false;
    soundOn = false;
    soundButtonEnabled = false;
    SetSoundSlider(false, 120);
    selected[5] = 0;
}

void FakeMainView::ResetInputPanel()
{
    calls.push_back("ResetInputPanel");
    for (ColourRow& c : colour) {
        c.segmentShown = false;
        c.pictureAddress = 0;
        c.caption = "On";
    }
    soundShown = false;
}

void FakeMainView::SetStatusLine(const std::string& text)
{
    calls.push_back("SetStatusLine");
    status = text;
}

void FakeMainView::SetMessageLine(const std::string& text)
{
    calls.push_back("SetMessageLine");
    message = text;
}

void FakeMainView::TransferTexts()
{
    calls.push_back("TransferTexts");
}

void FakeMainView::SetOpenCloseCaption(const std::string& text)
{
    calls.push_back("SetOpenCloseCaption");
    openCloseCaption = text;
}

void FakeMainView::EnableSend(bool enabled)
{
    calls.push_back("EnableSend");
    sendEnabled = enabled;
}

void FakeMainView::StartPollTimer()
{
    calls.push_back("StartPollTimer");
    timerRunning = true;
}

void FakeMainView::StopPollTimer()
{
    calls.push_back("StopPollTimer");
    timerRunning = false;
}

void FakeMainView::EnableToolMenu(bool enabled)
{
    calls.push_back("EnableToolMenu");
    toolMenuEnabled = enabled;
}

void FakeMainView::OnOpenClose()
{
    calls.push_back("OnOpenClose");
    if (openClose)
        openClose();
}

void FakeMainView::OnFirmwareUpdate()
{
    calls.push_back("OnFirmwareUpdate");
    ++firmwareUpdateCalls;
    if (firmwareUpdate)
        firmwareUpdate();
}

void FakeMainView::EndMainWindow(int result)
{
    calls.push_back("EndMainWindow");
    endResult = result;
}

}  // namespace kv::test
