// 'kestrivane-cli status --json' against the virtual tower on the virtual
// clock (a report every 10 ms): the time from the start to the first byte of
// the answer, against the time a session needs to come in step (Open until
// the complete state is in the panels). Counters in milliseconds.
#include <benchmark/benchmark.h>

#include <sstream>
#include <string>

#include "cli/cli_app.h"
#include "device/pattern_tables.h"
#include "platform/clock.h"
#include "session/tower_session.h"
#include "sim/virtual_tower.h"

namespace {

class NoInput : public kv::cli::LineSource {
public:
    Read Poll(std::string&) override { return Read::End; }
};

// Notes the clock when the first byte is written.
class TimedBuffer : public std::stringbuf {
public:
    uint64_t firstUs = 0;

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        if (firstUs == 0)
            firstUs = kv::NowUs();
        return std::stringbuf::xsputn(s, n);
    }
};

uint64_t InStepUs()
{
    kv::sim::TheVirtualTower().Reset();
    kv::DeviceState state;
    kv::HidLink link(state);
    kv::PatternTables patterns;
    kv::FillShippedPatterns(patterns);
    kv::TowerSession session(state, link, patterns);
    const uint64_t start = kv::NowUs();
    session.Open();
    session.WaitComplete(5000);
    const uint64_t end = kv::NowUs();
    session.Close();
    return end - start;
}

void StatusStartToAnswer(benchmark::State& state)
{
    kv::ScopedVirtualClock clock;
    double answerMs = 0;
    double endMs = 0;
    const double inStepMs = static_cast<double>(InStepUs()) / 1000.0;
    for (auto _ : state) {
        kv::sim::TheVirtualTower().Reset();
        NoInput in;
        TimedBuffer buffer;
        std::ostream out(&buffer);
        std::ostringstream err;
        kv::cli::CliIo io{out, err, in, false, false};
        const uint64_t start = kv::NowUs();
        const int code = kv::cli::RunCli({"kestrivane-cli", "status", "--json"}, io);
        if (code != 0) {
            state.SkipWithError(err.str().c_str());
            break;
        }
        answerMs = static_cast<double>(buffer.firstUs - start) / 1000.0;
        endMs = static_cast<double>(kv::NowUs() - start) / 1000.0;
        state.SetIterationTime(answerMs / 1000.0);
    }
    state.counters["answer_ms"] = answerMs;
    state.counters["in_step_ms"] = inStepMs;
    state.counters["exit_ms"] = endMs;
    state.counters["answer_per_in_step"] = answerMs / inStepMs;
}
BENCHMARK(StatusStartToAnswer)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace
