#include "platform/clock.h"

#include <chrono>
#include <thread>
#include <utility>

namespace kv {
namespace {

class SteadyClock : public Clock {
public:
    uint64_t NowUs() override
    {
        using namespace std::chrono;
        return static_cast<uint64_t>(
            duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
    }
    void SleepUs(uint64_t us) override { std::this_thread::sleep_for(std::chrono::microseconds(us)); }
    int64_t WallSeconds() override
    {
        using namespace std::chrono;
        return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
    }
};

Clock* g_clock = nullptr;
std::function<void()> g_idleHook;

// How often a real busy wait lets the idle hook run.
constexpr uint64_t kIdleSliceUs = 10000;

}  // namespace

Clock& RealClock()
{
    static SteadyClock clock;
    return clock;
}

Clock& CurrentClock() { return g_clock ? *g_clock : RealClock(); }
void InstallClock(Clock* clock) { g_clock = clock; }

uint64_t NowUs() { return CurrentClock().NowUs(); }
uint64_t NowMs() { return CurrentClock().NowUs() / 1000; }
void SleepMs(uint32_t ms) { CurrentClock().SleepUs(static_cast<uint64_t>(ms) * 1000); }
void SleepUs(uint64_t us) { CurrentClock().SleepUs(us); }
int64_t WallSeconds() { return CurrentClock().WallSeconds(); }

void SetIdleHook(std::function<void()> hook) { g_idleHook = std::move(hook); }

void RunIdleHook()
{
    if (g_idleHook)
        g_idleHook();
}

void BusyWaitUs(uint64_t us)
{
    Clock& clock = CurrentClock();
    const uint64_t start = clock.NowUs();
    RunIdleHook();
    for (;;) {
        const uint64_t elapsed = clock.NowUs() - start;
        if (elapsed >= us)
            break;
        const uint64_t left = us - elapsed;
        // On the real clock this yields the processor for a slice; on a
        // virtual clock it moves time forward.
        clock.SleepUs(left < kIdleSliceUs ? left : kIdleSliceUs);
        RunIdleHook();
    }
}

}  // namespace kv
