// kestrivaned's figures on the virtual tower and the real clock (run by hand:
// build/tests/service/service_bench): request to first HID write, report at
// the tower to event at an SSE client, GET status requests per second with 8
// keep-alive clients and the poll tick's lateness meanwhile, and the demo
// program's resident memory and idle CPU.
#include <benchmark/benchmark.h>

#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/clock.h"
#include "service/http_api.h"
#include "service/tower_service.h"
#include "sim/virtual_bootloader.h"
#include "sim/virtual_tower.h"

namespace kv::service {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const std::string kToken(64, 'c');

sim::VirtualBaseController& Tower() { return sim::TheVirtualTower().baseController(0); }

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
    return v[i];
}

// The service with its API on a free loopback port, the tower in step.
struct Running {
    explicit Running(std::function<void(int64_t)> ticks = {})
    {
        sim::TheVirtualTower().Reset();
        sim::TheVirtualUsb().Reset();
        ServiceOptions options;
        options.tickObserver = std::move(ticks);
        service = std::make_unique<TowerService>(options);
        ApiConfig config;
        config.token = kToken;
        config.keepAlive = 30s;
        api = std::make_unique<HttpApi>(*service, config);
        std::string error;
        std::vector<std::string> skipped;
        api->Bind({"127.0.0.1"}, {}, 0, error, skipped);
        service->Start();
        api->Start();
        for (int i = 0; i < 500; ++i) {
            const auto snap = service->snapshot();
            const TowerView* v = snap->Find("1");
            if (v != nullptr && v->condition == TowerCondition::Online && v->status.is_object())
                break;
            std::this_thread::sleep_for(10ms);
        }
    }
    ~Running()
    {
        api->Stop();
        service->Stop();
    }
    std::unique_ptr<TowerService> service;
    std::unique_ptr<HttpApi> api;
};

// From a request to the first report it makes the service write. A pattern
// or level starts the row sequence, which waits 50 ms before its first
// report; switching a segment on or off writes at once.
void RequestToFirstHidWrite(benchmark::State& bench, const char* first, const char* second)
{
    Running r;
    httplib::Client c("127.0.0.1", r.api->port());
    c.set_keep_alive(true);
    const httplib::Headers auth{{"Authorization", "Bearer " + kToken}};
    std::vector<double> ms;
    const char* bodies[] = {first, second};
    for (auto _ : bench) {
        for (int i = 0; i < 40; ++i) {
            r.service->RunOnPollThread([] { Tower().ClearOutputLog(); }).get();
            const uint64_t start = NowUs();
            const auto res = c.Put("/api/v1/towers/1/segments/1", auth, bodies[i % 2], "application/json");
            if (!res || res->status != 200) {
                bench.SkipWithError("a write failed");
                return;
            }
            uint64_t at = 0;
            r.service->RunOnPollThread([&] {
                if (!Tower().outputLog().empty())
                    at = Tower().outputLog().front().timeUs;
            }).get();
            ms.push_back(static_cast<double>(at - start) / 1000.0);
        }
    }
    bench.counters["median_ms"] = Percentile(ms, 0.5);
    bench.counters["p99_ms"] = Percentile(ms, 0.99);
}
BENCHMARK_CAPTURE(RequestToFirstHidWrite, pattern, R"({"pattern": "Flash"})", R"({"pattern": "Alarm Flash"})")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(RequestToFirstHidWrite, on_off, R"({"on": true})", R"({"on": false})")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_ReportAtTowerToSseEvent(benchmark::State& bench)
{
    Running r;
    std::mutex mutex;
    std::vector<std::pair<int, uint64_t>> seen;  // pattern code, when the event came
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        httplib::Client c("127.0.0.1", r.api->port());
        std::string buffer;
        c.Get("/api/v1/events", [&](const char* data, size_t n) {
            buffer.append(data, n);
            size_t end;
            while ((end = buffer.find("\n\n")) != std::string::npos) {
                const std::string line = buffer.substr(0, end);
                buffer.erase(0, end + 2);
                if (line.rfind("data: ", 0) != 0)
                    continue;
                const json e = json::parse(line.substr(6), nullptr, false);
                if (e.is_object() && e["event"] == "state") {
                    std::lock_guard<std::mutex> lock(mutex);
                    seen.emplace_back(e["status"]["segments"][0]["patternCode"].get<int>(), NowUs());
                }
            }
            return !stop.load();
        });
    });
    std::this_thread::sleep_for(300ms);
    std::vector<double> ms, fromChange;
    for (auto _ : bench) {
        for (int i = 0; i < 60; ++i) {
            const uint8_t code = static_cast<uint8_t>(i % 2 == 0 ? 3 : 4);
            uint64_t changed = 0;
            uint64_t reported = 0;
            // The tower takes another pattern by itself (as from another
            // host) and carries it in its next pattern report (type 2).
            r.service->RunOnPollThread([&] {
                Tower().mutableConfig().patternCode[0] = code;
                changed = NowUs();
                reported = Tower().NextReportTimeUs(2, changed);
            }).get();
            uint64_t at = 0;
            for (int k = 0; k < 1000 && at == 0; ++k) {
                std::this_thread::sleep_for(1ms);
                std::lock_guard<std::mutex> lock(mutex);
                for (const auto& s : seen)
                    if (s.first == code && s.second >= changed)
                        at = s.second;
            }
            if (at == 0) {
                bench.SkipWithError("no event for a change at the tower");
                break;
            }
            ms.push_back(static_cast<double>(at - reported) / 1000.0);
            fromChange.push_back(static_cast<double>(at - changed) / 1000.0);
            std::lock_guard<std::mutex> lock(mutex);
            seen.clear();
        }
    }
    stop = true;
    r.api->Stop();
    reader.join();
    bench.counters["median_ms"] = Percentile(ms, 0.5);
    bench.counters["p99_ms"] = Percentile(ms, 0.99);
    // With the wait for the tower's next pattern report (one every 80 ms).
    bench.counters["from_change_p99_ms"] = Percentile(fromChange, 0.99);
}
BENCHMARK(BM_ReportAtTowerToSseEvent)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_StatusRequestsWithEightClients(benchmark::State& bench)
{
    std::mutex mutex;
    std::vector<double> lateMs;
    std::atomic<bool> measuring{false};
    Running r([&](int64_t lateUs) {
        if (!measuring)
            return;
        std::lock_guard<std::mutex> lock(mutex);
        lateMs.push_back(static_cast<double>(lateUs) / 1000.0);
    });
    std::atomic<long> answered{0};
    std::atomic<long> failed{0};
    double seconds = 0;
    for (auto _ : bench) {
        std::atomic<bool> stop{false};
        measuring = true;
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> clients;
        for (int c = 0; c < 8; ++c)
            clients.emplace_back([&] {
                httplib::Client client("127.0.0.1", r.api->port());
                client.set_keep_alive(true);
                client.set_tcp_nodelay(true);
                while (!stop) {
                    const auto res = client.Get("/api/v1/towers/1");
                    if (res && res->status == 200)
                        ++answered;
                    else
                        ++failed;
                }
            });
        std::this_thread::sleep_for(5s);
        stop = true;
        for (std::thread& t : clients)
            t.join();
        measuring = false;
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    bench.counters["requests_per_s"] = static_cast<double>(answered) / seconds;
    bench.counters["failed"] = static_cast<double>(failed);
    std::lock_guard<std::mutex> lock(mutex);
    bench.counters["tick_late_median_ms"] = Percentile(lateMs, 0.5);
    bench.counters["tick_late_p99_ms"] = Percentile(lateMs, 0.99);
}
BENCHMARK(BM_StatusRequestsWithEightClients)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The demo program (the service on one virtual tower, ticked every 30 ms)
// left alone: its resident memory and the CPU it takes.
void BM_DemoResidentMemoryAndIdleCpu(benchmark::State& bench)
{
    for (auto _ : bench) {
        const pid_t pid = fork();
        if (pid == 0) {
            const std::string socket = "/tmp/kestrivaned-bench-" + std::to_string(getpid()) + ".sock";
            execl(KV_SERVICE_DEMO, KV_SERVICE_DEMO, "--listen", "127.0.0.1", "--port", "0", "--no-token",
                  "--socket", socket.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(2s);
        auto cpuTicks = [pid] {
            std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            std::istringstream fields(text.substr(text.rfind(')') + 2));
            std::string f;
            long utime = 0, stime = 0;
            for (int i = 3; i <= 15 && fields >> f; ++i) {
                if (i == 14) utime = std::stol(f);
                if (i == 15) stime = std::stol(f);
            }
            return utime + stime;
        };
        const long before = cpuTicks();
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(10s);
        const long after = cpuTicks();
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        double rssMb = 0;
        while (std::getline(status, line))
            if (line.rfind("VmRSS:", 0) == 0)
                rssMb = std::stod(line.substr(6)) / 1024.0;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        bench.counters["rss_MB"] = rssMb;
        bench.counters["idle_cpu_percent"] =
            100.0 * static_cast<double>(after - before) / static_cast<double>(sysconf(_SC_CLK_TCK)) / wall;
    }
}
BENCHMARK(BM_DemoResidentMemoryAndIdleCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace kv::service
