// kestrivaned under load: 32 clients, 300 requests each, reads and writes
// mixed, on the virtual tower and the real clock.
#include <gtest/gtest.h>

#include <httplib.h>

#include <algorithm>
#include <iostream>
#include <array>
#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/report_protocol.h"
#include "service/http_api.h"
#include "service/tower_service.h"
#include "sim/virtual_bootloader.h"
#include "sim/virtual_tower.h"

namespace kv::service {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const std::string kToken(64, 'b');
constexpr int kClients = 32;
constexpr int kRequests = 300;

sim::VirtualBaseController& Tower() { return sim::TheVirtualTower().baseController(0); }

// What a colour row's pattern report carries.
struct RowSetting {
    uint8_t address = 0;
    int code = 0;
    int levelRaw = 0;
    bool operator==(const RowSetting&) const = default;
};

struct Accepted {
    std::chrono::steady_clock::time_point at;
    int row = 0;
    RowSetting setting;
};

TEST(ServiceLoad, ThirtyTwoClientsGetAnswersAndTheTowerGetsExactlyTheAcceptedWritesInOrder)
{
    sim::TheVirtualTower().Reset();
    sim::TheVirtualUsb().Reset();
    ServiceOptions options;
    // Few writes wait, so one accepted is confirmed well within its bound.
    options.queueDepth = 4;
    options.confirmTimeout = 20s;
    TowerService service(options);
    ApiConfig config;
    config.token = kToken;
    config.threads = 40;
    config.waitingConnections = 64;
    config.readTimeout = 30s;
    config.writeTimeout = 30s;
    HttpApi api(service, config);
    std::string error;
    std::vector<std::string> skipped;
    ASSERT_TRUE(api.Bind({"127.0.0.1"}, {}, 0, error, skipped)) << error;
    service.Start();
    api.Start();
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < until) {
        const auto snap = service.snapshot();
        const TowerView* v = snap->Find("1");
        if (v != nullptr && v->condition == TowerCondition::Online && v->status.is_object())
            break;
        std::this_thread::sleep_for(10ms);
    }
    httplib::Client first("127.0.0.1", api.port());
    const auto initial = first.Get("/api/v1/towers/1");
    ASSERT_TRUE(initial);
    ASSERT_EQ(initial->status, 200);
    std::array<RowSetting, 5> start{};
    const json initialStatus = json::parse(initial->body);
    for (int r = 0; r < 5; ++r) {
        const json& s = initialStatus["segments"][static_cast<size_t>(r)];
        start[static_cast<size_t>(r)] = {s["address"].get<uint8_t>(), s["patternCode"], s["levelRaw"]};
    }
    service.RunOnPollThread([] { Tower().ClearOutputLog(); }).get();

    const std::vector<std::string> patterns{"Flash", "Alarm Flash", "Permanent On", "Breathing"};
    std::mutex mutex;
    std::vector<Accepted> accepted;
    std::vector<std::string> wrong;
    int reads = 0;
    int refused = 0;
    const auto began = std::chrono::steady_clock::now();
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            std::mt19937 random(static_cast<unsigned>(c) * 7919u + 1u);
            httplib::Client client("127.0.0.1", api.port());
            client.set_read_timeout(30, 0);
            client.set_keep_alive(true);
            const httplib::Headers auth{{"Authorization", "Bearer " + kToken}};
            for (int i = 0; i < kRequests; ++i) {
                // One write in 25: the tower takes about two a second, each
                // paced as the window sends it.
                const unsigned kind = random() % 25;
                if (kind != 0) {
                    const auto res = client.Get(kind < 20 ? "/api/v1/towers/1" : "/api/v1/towers");
                    std::lock_guard<std::mutex> lock(mutex);
                    if (!res || res->status != 200)
                        wrong.push_back("read: " + (res ? std::to_string(res->status) + " " + res->body : "no answer"));
                    else
                        ++reads;
                    continue;
                }
                const int row = static_cast<int>(random() % 5);
                const json body{{"pattern", patterns[random() % patterns.size()]},
                                {"level", 20 * static_cast<int>(1 + random() % 5)}};
                const auto res = client.Put("/api/v1/towers/1/segments/" + std::to_string(row + 1), auth,
                                            body.dump(), "application/json");
                const auto at = std::chrono::steady_clock::now();
                std::lock_guard<std::mutex> lock(mutex);
                if (!res) {
                    wrong.push_back("write: no answer");
                    continue;
                }
                const json answer = json::parse(res->body, nullptr, false);
                if (res->status == 200) {
                    const json& s = answer["segment"];
                    accepted.push_back({at, row, {s["address"].get<uint8_t>(), s["patternCode"], s["levelRaw"]}});
                } else if (res->status == 409 && answer.is_object() && answer["code"] == 409 &&
                           answer["error"].is_string()) {
                    ++refused;  // the queue was full: a defined refusal
                } else {
                    wrong.push_back("write: " + std::to_string(res->status) + " " + res->body);
                }
            }
        });
    }
    for (std::thread& t : clients)
        t.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

    EXPECT_TRUE(wrong.empty()) << wrong.size() << " wrong answers, the first: " << wrong.front();
    EXPECT_EQ(reads + refused + static_cast<int>(accepted.size()) + static_cast<int>(wrong.size()),
              kClients * kRequests);
    ASSERT_GE(accepted.size(), 5u);
    std::cout << "[ load ] " << kClients * kRequests << " requests in " << seconds << " s: " << reads
              << " reads, " << accepted.size() << " writes accepted, " << refused << " refused as busy\n";

    // The writes ran one after the other, each answered once the tower had
    // it; the answers' order is the order they ran in.
    std::sort(accepted.begin(), accepted.end(), [](const Accepted& a, const Accepted& b) { return a.at < b.at; });

    // The tower's final state is the last accepted write of each segment.
    std::array<RowSetting, 5> last = start;
    for (const Accepted& a : accepted)
        last[static_cast<size_t>(a.row)] = a.setting;
    const auto final = first.Get("/api/v1/towers/1");
    ASSERT_TRUE(final);
    const json finalStatus = json::parse(final->body);
    for (int r = 0; r < 5; ++r) {
        const json& s = finalStatus["segments"][static_cast<size_t>(r)];
        const RowSetting now{s["address"].get<uint8_t>(), s["patternCode"], s["levelRaw"]};
        EXPECT_EQ(now, last[static_cast<size_t>(r)]) << "segment " << r + 1;
    }

    // The tower received exactly the row sequences of the accepted writes,
    // in order (a write of what the row already has sends nothing), each
    // with the send path's pauses: switch off, 120 ms, the two pattern
    // reports, 120 ms, switch back.
    std::vector<RowSetting> expected;
    std::array<RowSetting, 5> shown = start;
    for (const Accepted& a : accepted) {
        if (a.setting == shown[static_cast<size_t>(a.row)])
            continue;
        shown[static_cast<size_t>(a.row)] = a.setting;
        expected.push_back(a.setting);
    }
    const std::vector<sim::LoggedReport> log =
        [&] {
            std::vector<sim::LoggedReport> copy;
            service.RunOnPollThread([&] { copy = Tower().outputLog(); }).get();
            return copy;
        }();
    ASSERT_EQ(log.size(), expected.size() * 4) << "reports beyond the row sequences";
    for (size_t k = 0; k < expected.size(); ++k) {
        const sim::LoggedReport& off = log[4 * k];
        const sim::LoggedReport& pattern = log[4 * k + 1];
        const sim::LoggedReport& second = log[4 * k + 2];
        const sim::LoggedReport& back = log[4 * k + 3];
        const RowSetting& e = expected[k];
        ASSERT_EQ(off.type(), kOutSwitch) << k;
        EXPECT_EQ(off.frame[1], e.address) << k;
        EXPECT_EQ(off.frame[7], kMarkerSwitch) << k;
        EXPECT_EQ(off.frame[2], 0) << k;
        ASSERT_EQ(pattern.type(), kOutPatternFirst) << k;
        const RowSetting sent{pattern.frame[1], pattern.frame[4], (pattern.frame[5] & 1) * 256 + pattern.frame[6]};
        EXPECT_EQ(sent, e) << "write " << k << " of " << expected.size();
        EXPECT_EQ(second.type(), kOutPatternSecond) << k;
        EXPECT_EQ(back.type(), kOutSwitch) << k;
        EXPECT_EQ(back.frame[1], e.address) << k;
        EXPECT_GE(pattern.timeUs - off.timeUs, 120000u) << k;
        EXPECT_GE(back.timeUs - second.timeUs, 120000u) << k;
    }

    api.Stop();
    service.Stop();
}

}  // namespace
}  // namespace kv::service
