// Time to read a full application image (0x0000..0x6FFF, 28 kB) from a HEX
// file into a 32 kB memory image.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/update_trace.h"
#include "src/intel_hex.h"

namespace {

// Writes the image as records of `recordLength` bytes with LF line ends.
std::string WriteImage(unsigned recordLength)
{
    const char* tmp = std::getenv("TMPDIR");
    const std::string path = std::string(tmp ? tmp : "/tmp") + "/intel_hex_bench_"
                             + std::to_string(getpid()) + "_" + std::to_string(recordLength) + ".hex";
    FILE* fp = std::fopen(path.c_str(), "w");
    if (fp == nullptr)
        return {};
    unsigned seed = 12345;
    for (unsigned address = 0; address < 0x7000; address += recordLength) {
        unsigned sum = recordLength + (address >> 8) + (address & 0xFF);
        std::fprintf(fp, ":%02X%04X00", recordLength, address);
        for (unsigned i = 0; i < recordLength; ++i) {
            seed = seed * 1103515245u + 12345u;
            const unsigned byte = (seed >> 16) & 0xFF;
            sum += byte;
            std::fprintf(fp, "%02X", byte);
        }
        std::fprintf(fp, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    }
    std::fputs(":00000001FF\n", fp);
    std::fclose(fp);
    return path;
}

void BM_ReadApplicationImage(benchmark::State& state)
{
    const std::string path = WriteImage(static_cast<unsigned>(state.range(0)));
    if (path.empty()) {
        state.SkipWithError("cannot write the image file");
        return;
    }
    kv::SetErrSink([](const std::string&) {});  // the trace is not what is measured
    intel_buffer_out bout;
    intel_init_buffer_out(&bout, 0x8000, 128);
    for (auto _ : state) {
        const int rc = intel_hex_to_buffer(path.c_str(), &bout, 1);
        if (rc != 0) {
            state.SkipWithError("the image did not read");
            break;
        }
        benchmark::DoNotOptimize(bout.cells[0x6FFF]);
    }
    kv::SetErrSink({});
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 0x7000);
    std::remove(path.c_str());
}

BENCHMARK(BM_ReadApplicationImage)->Arg(16)->Arg(32)->Unit(benchmark::kMicrosecond);

}  // namespace
