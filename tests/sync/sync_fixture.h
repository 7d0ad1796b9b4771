// The sync layer wired to the virtual tower on a virtual clock, with a
// recording view: the world the sync tests and the benchmark run in.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <vector>

#include "device/device_state.h"
#include "device/hid_link.h"
#include "device/pattern_tables.h"
#include "fake_main_view.h"
#include "platform/clock.h"
#include "sim/virtual_tower.h"
#include "sync/connection_control.h"
#include "sync/poll_cycle.h"
#include "sync/send_path.h"

namespace kv::test {

constexpr uint64_t kTickUs = 30000;

// A virtual clock that can run an action after each sleep: lets a test place a
// fault between two writes of a paced sequence.
class HookClock : public VirtualClock {
public:
    void SleepUs(uint64_t us) override
    {
        VirtualClock::SleepUs(us);
        if (onSleep)
            onSleep(us);
    }
    std::function<void(uint64_t)> onSleep;
};

struct InstalledClock {
    InstalledClock() { InstallClock(&clock_); }
    ~InstalledClock() { InstallClock(nullptr); }
    HookClock& clock() { return clock_; }
    HookClock clock_;
};

struct SyncWorld {
    explicit SyncWorld(const sim::BaseControllerConfig& config = {}, bool withTower = true)
    {
        sim::TheVirtualTower().Clear();
        if (withTower)
            tower = &sim::TheVirtualTower().AddBaseController(config);
        FillShippedPatterns(patterns);
        InitPatternMemories(state, patterns);
        view.openClose = [this] { control.OnOpenClose(); };
    }
    ~SyncWorld() { link.Close(); }

    // One firing of timer 101, if it runs.
    void Tick()
    {
        clock.clock().Advance(kTickUs);
        if (view.timerRunning)
            poll.Tick();
    }
    void Ticks(int n)
    {
        for (int i = 0; i < n; ++i)
            Tick();
    }
    bool InStep() const
    {
        for (int type : {1, 2, 3, 4, 5, 6, 8})
            if (state.reportSeen[static_cast<size_t>(type - 1)] == 0)
                return false;
        return true;
    }
    // Ticks until the state is complete; the number of ticks, or -1.
    int TickUntilInStep(int limit = 200)
    {
        for (int n = 1; n <= limit; ++n) {
            Tick();
            if (InStep())
                return n;
        }
        return -1;
    }
    // Opens and runs until the first complete state has been applied.
    void OpenInStep()
    {
        control.OnOpenClose();
        TickUntilInStep();
    }
    uint64_t NowUs() { return clock.clock().NowUs(); }
    std::vector<sim::LoggedReport> Log() const { return tower->outputLog(); }

    InstalledClock clock;
    DeviceState state;
    PatternTables patterns;
    HidLink link{state};
    FakeMainView view;
    SendPath send{state, link, view, patterns};
    PollCycle poll{state, link, view, send, patterns};
    ConnectionControl control{state, link, view, send, poll};
    sim::VirtualBaseController* tower = nullptr;
};

inline sim::Frame F(std::initializer_list<int> bytes)
{
    sim::Frame f{};
    size_t i = 0;
    for (int b : bytes)
        f[i++] = static_cast<uint8_t>(b);
    return f;
}

}  // namespace kv::test
