// Time for the whole program: every wait goes through here.
//
// The product runs on the real clock. Tests install a VirtualClock, in which
// waiting only moves time forward, so long waits cost nothing; the virtual
// tower reads the same clock, so it keeps pace with whatever waits on it.
#pragma once

#include <cstdint>
#include <functional>

namespace kv {

class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic time in microseconds since an arbitrary start.
    virtual uint64_t NowUs() = 0;
    // Blocks for the given time.
    virtual void SleepUs(uint64_t us) = 0;
    // Wall clock in whole seconds.
    virtual int64_t WallSeconds() = 0;
};

// The real clock (steady clock for NowUs, system time for WallSeconds).
Clock& RealClock();

// Waiting only advances time. Starts at 0 us and at a fixed wall time.
class VirtualClock : public Clock {
public:
    explicit VirtualClock(int64_t wallStartSeconds = 1700000000) : wallStart_(wallStartSeconds) {}
    uint64_t NowUs() override { return now_; }
    void SleepUs(uint64_t us) override { now_ += us; }
    int64_t WallSeconds() override { return wallStart_ + static_cast<int64_t>(now_ / 1000000); }
    void Advance(uint64_t us) { now_ += us; }

private:
    uint64_t now_ = 0;
    int64_t wallStart_;
};

// The clock in use; InstallClock(nullptr) goes back to the real one.
Clock& CurrentClock();
void InstallClock(Clock* clock);

// Installs a virtual clock for the lifetime of the object (for tests).
class ScopedVirtualClock {
public:
    ScopedVirtualClock() { InstallClock(&clock_); }
    ~ScopedVirtualClock() { InstallClock(nullptr); }
    ScopedVirtualClock(const ScopedVirtualClock&) = delete;
    ScopedVirtualClock& operator=(const ScopedVirtualClock&) = delete;
    VirtualClock& clock() { return clock_; }

private:
    VirtualClock clock_;
};

uint64_t NowUs();
uint64_t NowMs();
void SleepMs(uint32_t ms);
void SleepUs(uint64_t us);
int64_t WallSeconds();

// Busy wait: spins on the clock and calls the idle hook between slices, so a
// window can repaint while the user-interface thread waits here.
void BusyWaitUs(uint64_t us);

// The idle hook is called by BusyWaitUs (at least once per call). An empty
// function removes it.
void SetIdleHook(std::function<void()> hook);
void RunIdleHook();

}  // namespace kv
