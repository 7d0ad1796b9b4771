// Latency of the service on a real broker, on the virtual tower (real clock):
//   command published -> first HID write at the tower (the send sequence
//   itself pauses kPauseBeforeRowMs before a row's report: shown without it too);
//   state event (the tick that took the tower's report) -> state message at
//   a subscriber;
//   command published -> state message at a subscriber (the whole round,
//   with the tower's own report cycle in it).
// Prints median and p99 of each. Not a test: run it by hand, as
//   mqtt_bench [ROUNDS [GAP_MS]]   (GAP_MS 400 keeps a round out of the
//   pause after the send before it).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "mqtt_test_support.h"
#include "platform/clock.h"
#include "service/mqtt_bridge.h"
#include "service/tower_service.h"
#include "sim/virtual_tower.h"
#include "sync/send_path.h"

using namespace kv;
using namespace kv::service;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

struct Stamped {
    uint64_t us;
    json status;
};

void Print(const char* what, std::vector<double> ms)
{
    if (ms.empty()) {
        std::printf("%-52s no samples\n", what);
        return;
    }
    std::sort(ms.begin(), ms.end());
    const double median = ms[ms.size() / 2];
    const double p99 = ms[std::min(ms.size() - 1, (ms.size() * 99) / 100)];
    std::printf("%-52s median %7.3f ms   p99 %7.3f ms   (n=%zu)\n", what, median, p99, ms.size());
}

// The first stamped state after `from` whose segment 1 shows the pattern and level.
const Stamped* FirstShowing(const std::vector<Stamped>& all, uint64_t from, const std::string& pattern, int level)
{
    for (const Stamped& s : all) {
        if (s.us < from || !s.status.is_object() || !s.status.contains("segments"))
            continue;
        const json& seg = s.status["segments"][0];
        if (seg.value("pattern", "") == pattern && seg.value("level", -1) == level)
            return &s;
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
    // A pause between rounds, so that a round does not start inside the
    // send path's pause after the one before.
    const int gapMs = argc > 2 ? std::max(0, std::atoi(argv[2])) : 0;
    test::TestBroker broker;
    if (!broker.Start()) {
        std::fprintf(stderr, "mqtt_bench: mosquitto did not start\n");
        return 1;
    }
    ServiceOptions options;
    TowerService service(options);
    MqttConfig config;
    config.host = "127.0.0.1";
    config.port = broker.port();
    config.name = "bench";
    config.clientId = "kestrivaned-bench";
    config.haStatusTopic = "homeassistant/status";
    std::ostringstream log;
    MqttBridge bridge(service, config, log);
    service.Start();
    std::string error;
    if (!bridge.Start(error)) {
        std::fprintf(stderr, "mqtt_bench: %s\n", error.c_str());
        return 1;
    }
    const std::string base = "kestrivane/bench-hidraw-virtual0";

    std::mutex mutex;
    std::vector<Stamped> events;
    std::vector<Stamped> messages;
    test::TestClient client;
    client.onMessage = [&](const test::ReceivedMessage& m) {
        if (m.topic != base + "/state")
            return;
        const uint64_t now = NowUs();
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back({now, json::parse(m.payload, nullptr, false)});
    };
    if (!client.Connect(broker.port()) || !client.Subscribe(base + "/#")) {
        std::fprintf(stderr, "mqtt_bench: the test client could not subscribe\n");
        return 1;
    }
    test::ReceivedMessage m;
    if (!client.Next(base + "/ha/firmware/state", 0, m, 5s)) {
        std::fprintf(stderr, "mqtt_bench: the tower never came online\n");
        return 1;
    }
    std::atomic<bool> done{false};
    std::thread follower([&] {
        uint64_t cursor = service.events().next();
        std::vector<std::string> got;
        while (!done) {
            got.clear();
            if (!service.events().Read(cursor, got, 100ms))
                return;
            const uint64_t now = NowUs();
            std::lock_guard<std::mutex> lock(mutex);
            for (const std::string& e : got) {
                const json j = json::parse(e, nullptr, false);
                if (j.is_object() && j.value("event", "") == "state")
                    events.push_back({now, j["status"]});
            }
        }
    });

    std::vector<double> toWrite, ownShare, eventToMessage, whole;
    for (int i = 0; i < rounds; ++i) {
        const std::string pattern = i % 2 == 0 ? "Flash" : "Permanent On";
        const int level = i % 2 == 0 ? 40 : 60;
        std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
        const size_t from = client.count();
        const uint64_t sent = NowUs();
        client.Publish(base + "/segments/1/set",
                       json({{"pattern", pattern}, {"level", level}, {"on", true}}).dump());
        if (!client.Next(base + "/result", from, m, 5s)) {
            std::fprintf(stderr, "mqtt_bench: no result in round %d\n", i);
            break;
        }
        const uint64_t written = [&] {
            uint64_t t = 0;
            service
                .RunOnPollThread([&] {
                    for (const auto& r : sim::TheVirtualTower().baseController(0).outputLog())
                        if (r.timeUs >= sent) {
                            t = r.timeUs;
                            break;
                        }
                })
                .get();
            return t;
        }();
        if (written != 0) {
            toWrite.push_back(static_cast<double>(written - sent) / 1000.0);
            ownShare.push_back(toWrite.back() - kPauseBeforeRowMs);
        }
        for (int w = 0; w < 200; ++w) {
            std::lock_guard<std::mutex> lock(mutex);
            if (FirstShowing(messages, sent, pattern, level) != nullptr)
                break;
            mutex.unlock();
            std::this_thread::sleep_for(5ms);
            mutex.lock();
        }
        std::lock_guard<std::mutex> lock(mutex);
        const Stamped* e = FirstShowing(events, sent, pattern, level);
        const Stamped* s = FirstShowing(messages, sent, pattern, level);
        if (s != nullptr)
            whole.push_back(static_cast<double>(s->us - sent) / 1000.0);
        if (e != nullptr && s != nullptr && s->us >= e->us)
            eventToMessage.push_back(static_cast<double>(s->us - e->us) / 1000.0);
        events.clear();
        messages.clear();
    }
    done = true;
    follower.join();
    std::printf("kestrivaned on mosquitto, virtual tower, %d rounds (poll tick %u ms)\n", rounds, kPollTickMs);
    Print("command published -> first HID write", toWrite);
    Print("  less the send path's pause before a row report", ownShare);
    Print("state event (tick with the report) -> state message", eventToMessage);
    Print("command published -> state message (whole round)", whole);
    bridge.Stop();
    service.Stop();
    return 0;
}
