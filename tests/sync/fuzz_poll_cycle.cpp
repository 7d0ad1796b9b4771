// Feeds arbitrary input report streams to an open connection: the HID link
// reads them from the virtual tower, the report parser stores them and the
// poll cycle carries them into the window's panels. User actions (sliders,
// lists, on/off buttons, Send) and faults (unplug, failed reads, a stream
// that stops, another report rate) are mixed in from the same bytes.
//
// The connection is a TowerSession, the same code every front end runs, with
// its panel logic over a WindowModel. After every step the state, the model
// and the reports written so far are checked against their ranges; a breach
// aborts with a message.
//
// Input: one flag byte, then operations. An operation is one byte whose low
// three bits choose it, followed by its argument bytes (missing ones read 0):
//   0..2  one report of 8 bytes (bytes 1..8 of the frame), then one tick;
//         bit 3 folds byte 8 onto a valid type 1..8, bit 4 cuts the report
//         short to 1 + (op >> 5) bytes
//   3     1 + (next % 16) ticks of the tower's own reports
//   4     a user action on the panels (two bytes)
//   5     Send
//   6     a fault or the Open/Close button (one byte)
//   7     another report rate (one byte)
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "device/device_state.h"
#include "device/hid_link.h"
#include "device/pattern_tables.h"
#include "device/report_protocol.h"
#include "platform/clock.h"
#include "session/tower_session.h"
#include "sim/virtual_tower.h"

namespace {

using namespace kv;

constexpr uint64_t kTickUs = 30000;

[[noreturn]] void Fail(const char* what, long value)
{
    std::fprintf(stderr, "range breach: %s (%ld)\n", what, value);
    std::abort();
}

void Require(bool ok, const char* what, long value = 0)
{
    if (!ok)
        Fail(what, value);
}

bool IsColourAddress(uint8_t address) { return address >= 8 && address <= 32; }
bool IsColourOrSilent(uint8_t address) { return address == 0 || IsColourAddress(address); }

// The window's side of the session: the update entry either succeeds or
// leaves the Base Controller as it was.
class FuzzHost : public SessionHost {
public:
    explicit FuzzHost(DeviceState& state) : state_(state) {}
    bool RunFirmwareUpdate() override
    {
        state_.firmwareUpdated = updateSucceeds ? 1 : 0;
        return true;
    }
    bool updateSucceeds = false;

private:
    DeviceState& state_;
};

int PercentOf(const std::string& text)
{
    Require(!text.empty() && text.size() <= 3, "percent text length", static_cast<long>(text.size()));
    int v = 0;
    for (char c : text) {
        Require(c >= '0' && c <= '9', "percent text digit", c);
        v = v * 10 + (c - '0');
    }
    return v;
}

struct World {
    ~World() { link.Close(); }

    sim::VirtualBaseController& tower() { return sim::TheVirtualTower().baseController(0); }

    void Tick()
    {
        clock.Advance(kTickUs);
        session.Tick();
    }

    void UserAction(uint8_t a, uint8_t b)
    {
        const int row = (a / 6) % kColourRows;
        switch (a % 6) {
        case 0:
            session.MoveSlider(row, b);
            break;
        case 1:
            // Positions beyond both scales as a slider would never hand over.
            session.MoveSlider(kSoundRow, b);
            break;
        case 2:
            // An item of the list, or none (-1), as a list hands over.
            session.SelectPattern(row, ItemOf(row, b));
            break;
        case 3:
            session.SelectPattern(kSoundRow, ItemOf(kSoundRow, b));
            break;
        case 4:
            session.PressSwitch((a / 6) % kRows);
            break;
        default:
            session.PressSwitch(kSoundRow);
            break;
        }
    }

    int ItemOf(int row, uint8_t b) const
    {
        const int items = static_cast<int>(session.model().output[static_cast<size_t>(row)].items.size());
        return static_cast<int>(b % (items + 1)) - 1;
    }

    void Fault(uint8_t f)
    {
        switch (f % 7) {
        case 0:
            tower().Unplug();
            break;
        case 1:
            if (!tower().pluggedIn())
                tower().PlugIn();
            break;
        case 2:
            tower().FailNextReads(1 + (f / 7) % 3);
            break;
        case 3:
            tower().StopStream();
            break;
        case 4:
            tower().ResumeStream();
            break;
        case 5:
            tower().UnplugAfterInputReports(f / 7);
            break;
        default:
            session.OnOpenClose();  // the Open/Close button
            break;
        }
    }

    void Rate(uint8_t r)
    {
        static const uint64_t kRates[] = {5000, 7500, 10000, 15000, 30000, 45000, 120000};
        tower().mutableConfig().reportIntervalUs = kRates[r % 7];
    }

    void Check()
    {
        const DeviceState& s = state;
        for (int r = 0; r < kColourRows; ++r)
            Require(s.level[static_cast<size_t>(r)] <= 511, "colour level", s.level[static_cast<size_t>(r)]);
        Require(s.level[kSoundRow] <= 255, "sound level", s.level[kSoundRow]);
        for (size_t k = 0; k < kReportTypes; ++k) {
            Require(s.receiveCount[k] <= kWarmUpCount, "receiveCount", s.receiveCount[k]);
            Require(s.reportSeen[k] == 0 || s.reportSeen[k] == kWarmUpCount, "reportSeen",
                    s.reportSeen[k]);
            Require(s.reportSeenByTool[k] == 0 || s.reportSeenByTool[k] == kWarmUpCount,
                    "reportSeenByTool", s.reportSeenByTool[k]);
        }
        for (size_t r = 0; r < kRows; ++r) {
            Require(s.segmentFound[r] <= 1, "segmentFound", s.segmentFound[r]);
            Require(s.rowPending[r] <= 1, "rowPending", s.rowPending[r]);
            Require(s.rowCommand[r].row == r || s.rowCommand[r].row == 0, "rowCommand.row",
                    s.rowCommand[r].row);
        }
        for (size_t r = 0; r < kColourRows; ++r)
            Require(IsColourOrSilent(s.pictureAddress[r]), "pictureAddress", s.pictureAddress[r]);
        Require(s.lastChangedRow <= kRows, "lastChangedRow", s.lastChangedRow);
        Require(s.suspendRead == 0, "suspendRead left set", s.suspendRead);
        Require(s.soundLevelWaiting <= 1, "soundLevelWaiting", s.soundLevelWaiting);
        Require(s.firmwareChecked <= 1, "firmwareChecked", s.firmwareChecked);
        for (uint8_t on : s.onState)
            Require(on <= 1, "onState", on);

        // The panels: every slider within its scale, every box a percentage
        // of that scale, every selection an item of its list.
        for (int r = 0; r < kRows; ++r) {
            const OutputRowModel& o = session.model().output[static_cast<size_t>(r)];
            Require(o.selected >= -1 && o.selected < static_cast<int>(o.items.size()), "selection",
                    o.selected);
            const int percent = PercentOf(o.percentText);
            if (r < kColourRows) {
                Require(o.sliderMin == kColourSliderMin && o.sliderMax == kColourSliderMax,
                        "colour scale", o.sliderMax);
                Require(percent <= 200, "colour percent", percent);
                Require(o.scaleLabel == "100 %" || o.scaleLabel == "200 %", "scale label", r);
            } else {
                const bool tone = o.sliderMin == kToneSliderMin && o.sliderMax == kToneSliderMax;
                const bool melody =
                    o.sliderMin == kMelodySliderMin && o.sliderMax == kMelodySliderMax;
                Require(tone || melody, "sound scale", o.sliderMin);
                Require(percent <= 100, "sound percent", percent);
            }
            Require(o.sliderPos >= o.sliderMin && o.sliderPos <= o.sliderMax, "slider position",
                    o.sliderPos);
            const InputRowModel& in = session.model().input[static_cast<size_t>(r)];
            Require(in.caption == "On" || in.caption == "Off", "button caption", r);
            const PictureKind k = in.picture.kind;
            if (r < kColourRows)
                Require(k == PictureKind::Empty || k == PictureKind::ColourOn ||
                            k == PictureKind::ColourOff,
                        "colour picture", static_cast<long>(k));
            else
                Require(k == PictureKind::Empty || k == PictureKind::SoundOn ||
                            k == PictureKind::SoundOff,
                        "sound picture", static_cast<long>(k));
            Require(static_cast<int>(in.picture.colour) <= 4, "picture colour",
                    static_cast<long>(in.picture.colour));
        }

        // What went out: only the program's report types; a colour row's
        // pattern pair carries a brightness high byte of 0 or 1 and its row.
        const auto& log = tower().outputLog();
        for (; checkedLog < log.size(); ++checkedLog) {
            const sim::LoggedReport& r = log[checkedLog];
            const uint8_t t = r.type();
            Require((t >= 1 && t <= 7) || t == kOutBootloader, "output type", t);
            Require(r.length == kReportSize && r.frame[0] == 0, "output frame", static_cast<long>(r.length));
            if (t == kOutPatternSecond && r.frame[7] != 0xFF) {
                Require(r.frame[7] < kColourRows, "pattern row", r.frame[7]);
                Require(checkedLog > 0 && log[checkedLog - 1].type() == kOutPatternFirst,
                        "pattern pair", static_cast<long>(checkedLog));
                Require(log[checkedLog - 1].frame[5] <= 1, "brightness high byte",
                        log[checkedLog - 1].frame[5]);
            }
        }
    }

    VirtualClock clock;
    DeviceState state;
    PatternTables patterns;
    HidLink link{state};
    FuzzHost host{state};
    TowerSession session{state, link, patterns, host};
    size_t checkedLog = 0;
};

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool More() const { return at_ < size_; }
    uint8_t Next() { return at_ < size_ ? data_[at_++] : 0; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    Input in(data, size);

    sim::TheVirtualTower().Reset();
    auto w = std::make_unique<World>();
    InstallClock(&w->clock);
    w->Rate(4);  // one report per tick, so a report from the input is the one a tick reads

    const uint8_t flags = in.Next();
    w->host.updateSucceeds = (flags & 1) != 0;
    // Open and come in step with the tower before the input takes over, unless
    // the input asks to start from the warm-up.
    w->session.OnOpenClose();
    if ((flags & 2) == 0)
        for (int i = 0; i < 40; ++i)
            w->Tick();
    w->Check();

    int steps = 0;
    while (in.More() && !w->session.ended() && ++steps <= 400) {
        const uint8_t op = in.Next();
        switch (op & 7) {
        case 0:
        case 1:
        case 2: {
            sim::Frame f{};
            for (size_t i = 1; i < f.size(); ++i)
                f[i] = in.Next();
            if (op & 0x08)
                f[kReportTypeByte] = static_cast<uint8_t>(1 + f[kReportTypeByte] % kReportTypes);
            const size_t bytes = (op & 0x10) ? 1 + static_cast<size_t>(op >> 5) : 8;
            w->tower().InjectInputReport(f, bytes);
            w->Tick();
            break;
        }
        case 3: {
            const int n = 1 + in.Next() % 16;
            for (int i = 0; i < n; ++i)
                w->Tick();
            break;
        }
        case 4: {
            const uint8_t a = in.Next();
            w->UserAction(a, in.Next());
            break;
        }
        case 5:
            if (w->link.IsOpen())
                w->session.Send();
            break;
        case 6:
            w->Fault(in.Next());
            break;
        default:
            w->Rate(in.Next());
            break;
        }
        w->Check();
    }

    w.reset();
    InstallClock(nullptr);
    return 0;
}
