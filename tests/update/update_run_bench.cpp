// Host CPU time of a whole update on the virtual clock (the bootloader report
// over HID, search, erase, program, read back, validation, start and
// rediscovery; the device's waits cost nothing), and the control transfers it
// takes from the boot loader's log against the least the commands need.
#include <benchmark/benchmark.h>

#include "platform/clock.h"
#include "platform/update_trace.h"
#include "update/update_run.h"
#include "update_test_support.h"

namespace {

void BM_WholeUpdateOnTheVirtualTower(benchmark::State& state)
{
    kv::ScopedVirtualClock clock;
    kv::ScopedErrCapture quiet;
    kv::test::TempHexFile hex(kv::test::FirmwareHex(kv::test::MakeFirmware(29)));
    // Transfers in the log when each step began.
    std::vector<size_t> atStep(UPDATE_STEP_COUNT, 0);
    kv::test::ProgressRecorder rec;
    rec.onStep = [&atStep](int step) {
        if (step >= 0 && step < UPDATE_STEP_COUNT && kv::test::Bootloader().attached())
            atStep[step] = kv::test::Bootloader().transfers().size();
    };
    for (auto _ : state) {
        state.PauseTiming();
        kv::test::ResetWorld();
        quiet.clear();
        rec.steps.clear();
        rec.calls.clear();
        state.ResumeTiming();
        kv::test::SendBootloaderReportOverHid();
        if (update_run(0, hex.path().c_str(), &kv::test::ProgressRecorder::Hook, &rec) != 0) {
            state.SkipWithError("update failed");
            return;
        }
    }
    const kv::sim::VirtualBootloader& b = kv::test::Bootloader();
    const size_t total = b.transfers().size();
    const size_t blocks = 0x7000 / 0x400;  // 28 blocks of 1 kB
    state.counters["transfers"] = static_cast<double>(total);
    state.counters["dnload"] = static_cast<double>(b.CountRequests(1));
    state.counters["upload"] = static_cast<double>(b.CountRequests(2));
    state.counters["getstatus"] = static_cast<double>(b.CountRequests(3));
    state.counters["before_program"] = static_cast<double>(atStep[3]);
    state.counters["program"] = static_cast<double>(atStep[4] - atStep[3]);
    state.counters["read_back"] = static_cast<double>(atStep[5] - atStep[4]);
    state.counters["start"] = static_cast<double>(total - atStep[6]);
    // Program: DNLOAD + GETSTATUS per block; read: DNLOAD + UPLOAD per block.
    state.counters["least_for_blocks"] = static_cast<double>(blocks * 2 * 2);
}
BENCHMARK(BM_WholeUpdateOnTheVirtualTower)->Unit(benchmark::kMillisecond);

}  // namespace
