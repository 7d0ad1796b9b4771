// Host CPU time of a whole update on the virtual clock: the bootloader report
// over HID, the search, erase, program, read back, validation, start and
// rediscovery, with the boot loader's waits costing nothing.
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
    const std::vector<uint8_t> firmware = kv::test::MakeFirmware(29);
    kv::test::TempHexFile hex(kv::test::FirmwareHex(firmware));
    size_t transfers = 0;
    for (auto _ : state) {
        state.PauseTiming();
        kv::test::ResetWorld();
        quiet.clear();
        state.ResumeTiming();
        kv::test::SendBootloaderReportOverHid();
        const int result = update_run(0, hex.path().c_str(), nullptr, nullptr);
        if (result != 0) {
            state.SkipWithError("update failed");
            break;
        }
        transfers = kv::test::Bootloader().transfers().size();
    }
    state.counters["control_transfers"] = static_cast<double>(transfers);
}
BENCHMARK(BM_WholeUpdateOnTheVirtualTower)->Unit(benchmark::kMillisecond);

}  // namespace
