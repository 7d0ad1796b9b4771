// One steady-state poll tick: the tower in step, nothing changed. Measured with
// the read (the virtual tower delivering one report) and without it (reads
// suspended). The view calls such a tick makes are counted per tick.
#include <benchmark/benchmark.h>

#include "sync_fixture.h"

namespace kv::test {
namespace {

void RunSteadyTicks(benchmark::State& bench, bool withRead)
{
    SyncWorld w;
    w.OpenInStep();
    // Past the first countdown of the message line (it starts at 0 and wraps).
    w.Ticks(300);
    w.state.suspendRead = withRead ? 0 : 1;
    w.tower->ClearOutputLog();
    w.view.calls.clear();
    double ticks = 0, control = 0, transfers = 0, messages = 0;
    auto collect = [&] {
        control += w.view.ControlCalls();
        transfers += w.view.Count("TransferTexts");
        messages += w.view.Count("SetMessageLine");
        w.view.calls.clear();
    };
    for (auto _ : bench) {
        w.clock.clock().Advance(kTickUs);
        w.poll.Tick();
        ticks += 1;
        if (w.view.calls.size() > 4096) {
            bench.PauseTiming();
            collect();
            bench.ResumeTiming();
        }
    }
    collect();
    if (ticks == 0)
        ticks = 1;
    bench.counters["controlCallsPerTick"] = control / ticks;
    bench.counters["transfersPerTick"] = transfers / ticks;
    bench.counters["messageLinePerTick"] = messages / ticks;
    bench.counters["reportsSent"] = static_cast<double>(w.tower->outputLog().size());
    if (!w.link.IsOpen() || control != 0 || !w.tower->outputLog().empty())
        bench.SkipWithError("the tick was not steady");
}

void BM_SteadyTickWithRead(benchmark::State& bench)
{
    RunSteadyTicks(bench, true);
}
BENCHMARK(BM_SteadyTickWithRead);

void BM_SteadyTickWithoutRead(benchmark::State& bench)
{
    RunSteadyTicks(bench, false);
}
BENCHMARK(BM_SteadyTickWithoutRead);

}  // namespace
}  // namespace kv::test
