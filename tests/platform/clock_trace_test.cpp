#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/progress.h"
#include "platform/update_trace.h"

namespace kv {
namespace {

TEST(VirtualClock, WaitsOnlyMoveTimeAndBusyWaitsRunTheIdleHook)
{
    ScopedVirtualClock vc;
    EXPECT_EQ(NowUs(), 0u);
    const int64_t wall0 = WallSeconds();
    SleepMs(1500);
    EXPECT_EQ(NowMs(), 1500u);
    EXPECT_EQ(WallSeconds(), wall0 + 1);

    int idle = 0;
    SetIdleHook([&idle] { ++idle; });
    BusyWaitUs(25000);
    EXPECT_EQ(NowUs(), 1525000u);
    EXPECT_GE(idle, 3);  // before the wait and after each 10 ms slice
    SetIdleHook({});
    BusyWaitUs(0);
    EXPECT_EQ(NowUs(), 1525000u);
}

TEST(UpdateTrace, WritesPathLineAndMessageToTheCapturedStream)
{
    ScopedErrCapture err;
    update_trace("src/dfu", 42, 100, "State: %s (%d)\n", "dfuIDLE", 2);
    ErrPrintf("%s", "plain\n");
    update_trace("src/dfu", 43, 500, "never\n");
    EXPECT_EQ(err.text(), "src/dfu:42: State: dfuIDLE (2)\nplain\n");
}

struct Seen {
    int calls = 0, step = -1, inStep = -1, percent = -1;
};

void Record(void* context, int step, int inStep, int percent)
{
    auto* seen = static_cast<Seen*>(context);
    ++seen->calls;
    seen->step = step;
    seen->inStep = inStep;
    seen->percent = percent;
}

TEST(Progress, ReportsThroughTheHookOnlyWhileOneIsRegistered)
{
    Seen seen;
    report_progress(10);
    register_progress_hook(&Record, &seen);
    set_progress_step(4, 1);
    report_progress(37);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.step, 4);
    EXPECT_EQ(seen.inStep, 1);
    EXPECT_EQ(seen.percent, 37);
    unregister_progress_hook();
    report_progress(50);
    EXPECT_EQ(seen.calls, 1);

    EXPECT_EQ(progress_percent(0, 1), 100);  // a one-unit range
    EXPECT_EQ(progress_percent(5, 10), 50);
    EXPECT_EQ(progress_percent(12, 10), 100);
}

}  // namespace
}  // namespace kv
