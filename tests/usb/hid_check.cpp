// The HID half of the product on the real hidapi and kernel, against the
// tower gadget. One check per run:
//   usb_hid_check find      HidLink finds the tower by its ids, passing over
//                           the decoy 21FC device listed before it
//   usb_hid_check locked    a tower node the user may not open: "Unable to
//                           open device", offline, nothing held open
//   usb_hid_check poll      the poll cycle brings the state in step with the
//                           gadget's tower, at its rate and at one slower
//                           than the tick
//   usb_hid_check send      a pattern Send arrives at the gadget byte for
//                           byte, in order, with the send path's pauses
//   usb_hid_check unplug    an unplug during polling goes offline within one
//                           tick; Open after the tower is back comes online
//   usb_hid_check quiet     a tower that stops sending leaves the link online;
//                           the state follows again when it resumes
//   usb_hid_check bootloader  the bootloader report brings the boot loader
//                           03EB:2FF4 on the bus, its node given to the user
// Each ends with no descriptor left open that was not open before.
#include <hidapi/hidapi.h>

#include <cstring>
#include <string>

#include "device/device_state.h"
#include "device/hid_link.h"
#include "device/pattern_tables.h"
#include "device/report_protocol.h"
#include "guest_support.h"
#include "platform/clock.h"
#include "sim/virtual_base_controller.h"
#include "sync/connection_control.h"
#include "sync/poll_cycle.h"
#include "sync/send_path.h"
#include "tests/sync/fake_main_view.h"

namespace {

using namespace kv;
using guest::Expect;

// The tower's HID_ID as the kernel shows it.
constexpr const char* kTowerHidId = "000021FC:00000011";

// Timer 101's period.
constexpr uint32_t kTickMs = 30;

struct Window {
    Window()
    {
        FillShippedPatterns(patterns);
        InitPatternMemories(state, patterns);
        view.openClose = [this] { control.OnOpenClose(); };
    }
    ~Window() { link.Close(); }

    // One firing of timer 101 on the real clock.
    void Tick()
    {
        SleepMs(kTickMs);
        if (view.timerRunning)
            poll.Tick();
    }
    bool Complete() const
    {
        for (int type = 1; type <= 8; ++type)
            if (state.reportSeen[static_cast<size_t>(type - 1)] == 0)
                return false;
        return true;
    }
    // Ticks until every report type has been applied (7 included); false
    // after `limit` ticks.
    bool TickUntilComplete(int limit = 200)
    {
        for (int i = 0; i < limit; ++i) {
            Tick();
            if (Complete())
                return true;
        }
        return false;
    }

    DeviceState state;
    PatternTables patterns;
    HidLink link{state};
    test::FakeMainView view;
    SendPath send{state, link, view, patterns};
    PollCycle poll{state, link, view, send, patterns};
    ConnectionControl control{state, link, view, send, poll};
};

// The state the program should reach from the gadget's tower: the model's
// reports of every type, parsed as the program parses them.
DeviceState ExpectedState()
{
    sim::VirtualBaseController model{sim::BaseControllerConfig{}};
    DeviceState s;
    for (uint8_t type = 1; type <= 8; ++type) {
        const sim::Frame f = model.BuildInputReport(type);
        std::copy(f.begin(), f.end(), s.inputReport.begin());
        ParseInputReport(s);
    }
    return s;
}

template <size_t N>
void ExpectSame(const char* what, const std::array<uint8_t, N>& got, const std::array<uint8_t, N>& want)
{
    Expect(got == want, "%s: got %s, expected %s", what, guest::Hex(got).c_str(), guest::Hex(want).c_str());
}

void ExpectNothingLeftOpen(const std::map<int, std::string>& before, const Window& w)
{
    Expect(w.link.IsOpen() == 0, "the link still holds a hidapi device");
    const std::string extra = guest::NewFds(before);
    Expect(extra.empty(), "descriptors left open: %s", extra.c_str());
}

int CheckFind()
{
    const std::string tower = guest::Env("KV_TOWER_HIDRAW");
    const std::string decoy = guest::Env("KV_DECOY_HIDRAW");
    const auto before = guest::OpenFds();
    {
        // The check only means something when the decoy comes first.
        Expect(hid_init() == 0, "hid_init failed");
        hid_device_info* list = hid_enumerate(kBaseControllerVendorId, 0);
        int towerAt = -1;
        int decoyAt = -1;
        int i = 0;
        for (hid_device_info* p = list; p != nullptr; p = p->next, ++i) {
            if (p->product_id == kBaseControllerProductId && p->path != nullptr && tower == p->path)
                towerAt = i;
            if (p->product_id != kBaseControllerProductId && p->path != nullptr && decoy == p->path)
                decoyAt = i;
        }
        hid_free_enumeration(list);
        hid_exit();
        Expect(towerAt >= 0, "hid_enumerate does not list the tower %s", tower.c_str());
        Expect(decoyAt >= 0 && decoyAt < towerAt, "the decoy %s is not listed before the tower (at %d, tower at %d)",
               decoy.c_str(), decoyAt, towerAt);
    }
    Window w;
    Expect(w.link.Open() != nullptr, "HidLink::Open found no tower");
    Expect(w.state.lastLinkResult == 1, "lastLinkResult %d after Open", w.state.lastLinkResult);
    Expect(guest::HoldsOpen(tower), "the link does not hold the tower's node %s", tower.c_str());
    Expect(!guest::HoldsOpen(decoy), "the link holds the decoy's node %s", decoy.c_str());
    // Reports come through it: every type within a few hundred reads.
    for (int i = 0; i < 300 && !w.Complete(); ++i)
        w.link.ReadReport();
    Expect(w.Complete(), "not every report type arrived through the link");
    Expect(w.state.lastLinkResult == 1, "lastLinkResult %d after reading", w.state.lastLinkResult);
    w.link.Close();
    ExpectNothingLeftOpen(before, w);
    return guest::Finish("find");
}

int CheckLocked()
{
    const auto before = guest::OpenFds();
    Window w;
    w.control.OnOpenClose();
    Expect(w.view.message == kUnableToOpenText, "message line \"%s\"", w.view.message.c_str());
    Expect(w.view.status == kStatusOffline, "status line \"%s\"", w.view.status.c_str());
    Expect(w.link.IsOpen() == 0 && w.state.lastLinkResult == 0, "the link says it is open");
    Expect(!w.view.timerRunning, "the poll timer runs without a link");
    ExpectNothingLeftOpen(before, w);
    return guest::Finish("locked");
}

void ExpectInStepWithTower(const Window& w)
{
    const DeviceState want = ExpectedState();
    ExpectSame("segment addresses", w.state.segmentAddress, want.segmentAddress);
    ExpectSame("firmware versions", w.state.firmwareVersion, want.firmwareVersion);
    ExpectSame("hardware versions", w.state.hardwareVersion, want.hardwareVersion);
    ExpectSame("port map, colour", w.state.portMapColour, want.portMapColour);
    ExpectSame("port map, acoustic", w.state.portMapAcoustic, want.portMapAcoustic);
    ExpectSame("pattern codes", w.state.patternCode, want.patternCode);
    Expect(w.state.level == want.level, "levels differ from the tower's");
    Expect(w.state.switchingThreshold == want.switchingThreshold, "threshold %u, tower %u",
           w.state.switchingThreshold, want.switchingThreshold);
    // And the window shows it: every colour segment and the sound segment.
    for (size_t r = 0; r < 5; ++r)
        Expect(w.view.colour[r].segmentShown && w.view.colour[r].enabled, "colour row %zu not shown", r);
    Expect(w.view.soundShown && w.view.soundEnabled, "sound row not shown");
    Expect(w.view.status == kStatusOnline, "status line \"%s\"", w.view.status.c_str());
}

int CheckPoll()
{
    const auto before = guest::OpenFds();
    {
        Window w;
        w.control.OnOpenClose();
        Expect(w.view.status == kStatusOnline, "not online after Open: \"%s\"", w.view.message.c_str());
        Expect(w.TickUntilComplete(), "the state did not come in step within 200 ticks");
        ExpectInStepWithTower(w);
        w.control.OnOpenClose();
        ExpectNothingLeftOpen(before, w);
    }
    {
        // A tower slower than the tick: most reads find no backlog behind
        // the report they wait for.
        Expect(guest::GadgetCommand("report-interval 50000") && guest::WaitCommandsTaken(1), "rate not changed");
        Window w;
        w.control.OnOpenClose();
        Expect(w.TickUntilComplete(), "the state did not come in step at one report per 50 ms");
        ExpectInStepWithTower(w);
        w.control.OnOpenClose();
        ExpectNothingLeftOpen(before, w);
    }
    return guest::Finish("poll");
}

int CheckSend()
{
    const auto before = guest::OpenFds();
    {
        Window w;
        w.control.OnOpenClose();
        Expect(w.TickUntilComplete(), "the state did not come in step");
        // Let the connection reports of the first complete state go out.
        for (int i = 0; i < 10; ++i)
            w.Tick();

        const uint8_t address = w.state.segmentAddress[0];
        const uint8_t code = 3;
        const uint16_t level = 300;
        w.send.ComposeRow(address, level, code, 0);
        w.state.rowPending[0] = 1;
        w.state.lastChangedRow = 1;
        const Report first = BuildPatternFirstHalf(w.state.rowCommand[0]);
        const Report second = BuildPatternSecondHalf(w.state.rowCommand[0], 0);
        const uint8_t on = OnStateOfRow(w.state, 0);

        const long from = guest::ReceivedLogSize();
        w.send.OnSend();
        Expect(w.view.message == kSendSucceededText, "message line \"%s\"", w.view.message.c_str());

        std::vector<guest::Received> got;
        guest::WaitFor([&] { return (got = guest::ReceivedSince(from)).size() >= 4; }, 2000);
        const Report want[4] = {BuildSwitchReport(address, 0), first, second, BuildSwitchReport(address, on)};
        if (Expect(got.size() == 4, "the gadget received %zu reports for the row, expected 4", got.size())) {
            for (size_t i = 0; i < 4; ++i) {
                std::array<uint8_t, 8> payload{};
                std::copy(want[i].begin() + 1, want[i].end(), payload.begin());
                ExpectSame(("report " + std::to_string(i + 1)).c_str(), got[i].bytes, payload);
                Expect(got[i].length == 9, "report %zu: length %u, expected 9", i + 1, got[i].length);
                Expect(!got[i].refused, "report %zu refused by the tower", i + 1);
            }
            // The pauses: 120 ms after the switch-off, none between the two
            // pattern halves, 120 ms before the switch-back. The times are
            // the gadget's, so each gap may be off by the transfers' jitter
            // on an emulated machine; 20 ms of it still tells a pause from
            // none.
            const auto gapMs = [&](size_t i) { return static_cast<long>((got[i].timeUs - got[i - 1].timeUs) / 1000); };
            constexpr long kJitterMs = 20;
            Expect(gapMs(1) >= long{kPauseAfterSwitchOffMs} - kJitterMs, "switch-off to pattern: %ld ms", gapMs(1));
            Expect(gapMs(2) < long{kPauseAfterPatternMs} - kJitterMs, "between the pattern halves: %ld ms", gapMs(2));
            Expect(gapMs(3) >= long{kPauseAfterPatternMs} - kJitterMs, "pattern to switch-back: %ld ms", gapMs(3));
        }
        // The tower took it: its reports show the new pattern and level.
        bool taken = false;
        for (int i = 0; i < 100 && !taken; ++i) {
            w.Tick();
            taken = w.state.patternCode[0] == code && w.state.level[0] == level;
        }
        Expect(taken, "the tower does not report pattern %u at level %u (reports %u, %u)", code, level,
               w.state.patternCode[0], w.state.level[0]);
        w.control.OnOpenClose();
        ExpectNothingLeftOpen(before, w);
    }
    return guest::Finish("send");
}

bool NodeGone(const std::string& node)
{
    return access(node.c_str(), F_OK) != 0;
}

int CheckUnplug()
{
    const std::string tower = guest::Env("KV_TOWER_HIDRAW");
    const auto before = guest::OpenFds();
    {
        Window w;
        w.control.OnOpenClose();
        Expect(w.TickUntilComplete(), "the state did not come in step");
        Expect(guest::GadgetCommand("unplug"), "unplug not sent");
        // The host has seen the unplug once the kernel removed the node.
        Expect(guest::WaitFor([&] { return NodeGone(tower); }, 5000), "the tower's node %s stays", tower.c_str());
        w.Tick();
        Expect(w.link.IsOpen() == 0, "still open one tick after the unplug");
        Expect(w.view.status == kStatusOffline, "status line \"%s\" after the unplug", w.view.status.c_str());
        Expect(!w.view.timerRunning, "the poll timer still runs after the unplug");
        ExpectNothingLeftOpen(before, w);

        // Open while it is away fails cleanly.
        w.control.OnOpenClose();
        Expect(w.view.message == kUnableToOpenText, "Open without a tower: \"%s\"", w.view.message.c_str());

        Expect(guest::GadgetCommand("plug"), "plug not sent");
        // Back (under whichever node the kernel gives it), and handed to this
        // user by the udev rule.
        const bool back = guest::WaitFor([] { return guest::CanOpen(guest::FindHidraw(kTowerHidId)); }, 10000);
        Expect(back, "the tower did not come back (or this user may not open it)");
        w.control.OnOpenClose();
        Expect(w.view.status == kStatusOnline, "Open after the plug: \"%s\"", w.view.message.c_str());
        Expect(w.TickUntilComplete(), "not in step after coming back");
        ExpectInStepWithTower(w);
        w.control.OnOpenClose();
        ExpectNothingLeftOpen(before, w);
    }
    return guest::Finish("unplug");
}

// A tower that stops sending: reads time out (ticks without a report), the
// link stays online, and the state follows again once reports resume.
int CheckQuiet()
{
    const auto before = guest::OpenFds();
    {
        Window w;
        w.control.OnOpenClose();
        Expect(w.TickUntilComplete(), "the state did not come in step");
        Expect(guest::GadgetCommand("stop-reports") && guest::WaitCommandsTaken(1), "stop-reports not taken");
        // Whatever was on its way arrives; then nothing does.
        for (int i = 0; i < 5; ++i)
            w.Tick();
        w.state.reportSeen.fill(0);
        for (int i = 0; i < 20; ++i)
            w.Tick();
        Expect(w.link.IsOpen() == 1 && w.state.lastLinkResult == 1, "a quiet tower took the link offline");
        Expect(w.view.status == kStatusOnline, "status line \"%s\" while the tower is quiet", w.view.status.c_str());
        int seen = 0;
        for (uint8_t v : w.state.reportSeen)
            seen += v != 0 ? 1 : 0;
        Expect(seen == 0, "%d report types arrived from a tower that stopped sending", seen);
        Expect(guest::GadgetCommand("resume-reports") && guest::WaitCommandsTaken(2), "resume-reports not taken");
        Expect(w.TickUntilComplete(), "the state did not come in step after the reports resumed");
        ExpectInStepWithTower(w);
        w.control.OnOpenClose();
        ExpectNothingLeftOpen(before, w);
    }
    return guest::Finish("quiet");
}

// The bootloader report through the real stack: the Base Controller leaves,
// the boot loader 03EB:2FF4 comes on the bus, and the udev rule gives this
// user its device node.
int CheckBootloader()
{
    const std::string tower = guest::Env("KV_TOWER_HIDRAW");
    const auto before = guest::OpenFds();
    {
        Window w;
        w.control.OnOpenClose();
        Expect(w.TickUntilComplete(), "the state did not come in step");
        Expect(w.send.SendFrame(BuildBootloaderReport()) == 0, "the bootloader report was not written");
        Expect(guest::WaitFor([&] { return NodeGone(tower); }, 5000), "the Base Controller stays on the bus");
        w.Tick();
        Expect(w.link.IsOpen() == 0, "still open one tick after the controller left");
        std::string node;
        const bool there = guest::WaitFor(
            [&] { return guest::CanOpen(node = guest::FindUsbDevice(0x03EB, 0x2FF4)); }, 15000);
        Expect(there, "no boot loader this user may open (node \"%s\")", node.c_str());
        Expect(guest::GadgetState()["mode"] == "bootloader", "gadget mode %s",
               guest::GadgetState()["mode"].c_str());
        ExpectNothingLeftOpen(before, w);
    }
    return guest::Finish("bootloader");
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "find")
        return CheckFind();
    if (what == "locked")
        return CheckLocked();
    if (what == "poll")
        return CheckPoll();
    if (what == "send")
        return CheckSend();
    if (what == "unplug")
        return CheckUnplug();
    if (what == "bootloader")
        return CheckBootloader();
    if (what == "quiet")
        return CheckQuiet();
    std::fprintf(stderr, "usage: usb_hid_check find|locked|poll|send|unplug|quiet|bootloader\n");
    return 2;
}
