#include <gtest/gtest.h>

#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/cli_app.h"
#include "device/hid_link.h"
#include "device/report_protocol.h"
#include "service/http_api.h"
#include "service/tower_host.h"
#include "service/tower_service.h"
#include "sim/virtual_bootloader.h"
#include "sim/virtual_tower.h"
#include "tests/platform/lock_holder.h"

namespace kv::service {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const std::string kToken(64, 'a');

sim::VirtualBaseController& Tower() { return sim::TheVirtualTower().baseController(0); }

// The service on the virtual tower, listening on a free loopback port.
class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::TheVirtualTower().Reset();
        sim::TheVirtualUsb().Reset();
        StartService(true);
    }

    void StartService(bool waitOnline)
    {
        ServiceOptions options;
        options.confirmTimeout = 3000ms;
        options.rescanInterval = 100ms;
        options.firmwarePath = KV_DEMO_FIRMWARE;
        service_ = std::make_unique<TowerService>(options);
        ApiConfig config;
        config.token = kToken;
        config.maxBody = 4096;
        config.heartbeat = 200ms;
        config.requestTimeout = 1500ms;
        api_ = std::make_unique<HttpApi>(*service_, config);
        std::string error;
        std::vector<std::string> skipped;
        ASSERT_TRUE(api_->Bind({"127.0.0.1"}, {}, 0, error, skipped)) << error;
        if (!localPath_.empty()) {
            ASSERT_TRUE(api_->BindLocal(localPath_, true, error)) << error;
        }
        service_->Start();
        api_->Start();
        host_ = "127.0.0.1:" + std::to_string(api_->port());
        if (waitOnline) {
            ASSERT_TRUE(WaitFor([this] { return State("1") == "online"; }, 3s));
        }
    }

    void TearDown() override
    {
        api_->Stop();
        service_->Stop();
    }

    std::string State(const std::string& id)
    {
        const auto snap = service_->snapshot();
        const TowerView* v = snap->Find(id);
        return v != nullptr ? ConditionName(v->condition) : "";
    }

    static bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds bound)
    {
        const auto end = std::chrono::steady_clock::now() + bound;
        while (std::chrono::steady_clock::now() < end) {
            if (done())
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return done();
    }

    // Looks at the virtual tower from the poll thread, the only one that
    // may touch it while the service runs.
    template <typename F>
    auto OnTower(F f)
    {
        decltype(f()) result{};
        service_->RunOnPollThread([&] { result = f(); }).get();
        return result;
    }

    httplib::Client Client() const
    {
        httplib::Client c("127.0.0.1", api_->port());
        c.set_read_timeout(10, 0);
        return c;
    }

    httplib::Result Write(const std::string& segment, const std::string& body, const std::string& method = "PUT")
    {
        httplib::Client c = Client();
        const httplib::Headers h{{"Authorization", "Bearer " + kToken}};
        const std::string path = "/api/v1/towers/1/segments/" + segment;
        return method == "PUT" ? c.Put(path, h, body, "application/json") : c.Patch(path, h, body, "application/json");
    }

    std::unique_ptr<TowerService> service_;
    std::unique_ptr<HttpApi> api_;
    std::string host_;
    // The local socket listened on as well (empty: none).
    std::string localPath_;
};

// An event stream read on its own thread until stopped.
class EventReader {
public:
    explicit EventReader(int port)
    {
        thread_ = std::thread([this, port] {
            httplib::Client c("127.0.0.1", port);
            c.set_read_timeout(10, 0);
            c.Get("/api/v1/events", [this](const char* data, size_t n) {
                std::lock_guard<std::mutex> lock(mutex_);
                text_.append(data, n);
                return !stop_.load();
            });
        });
    }
    ~EventReader()
    {
        stop_ = true;
        thread_.join();
    }
    // The events read so far, parsed.
    std::vector<json> Events()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<json> events;
        size_t at = 0;
        while ((at = text_.find("data: ", at)) != std::string::npos) {
            const size_t end = text_.find("\n\n", at);
            if (end == std::string::npos)
                break;
            events.push_back(json::parse(text_.substr(at + 6, end - at - 6)));
            at = end;
        }
        return events;
    }

private:
    std::thread thread_;
    std::mutex mutex_;
    std::string text_;
    std::atomic<bool> stop_{false};
};

TEST_F(ServiceTest, AWriteIsAnsweredOnceTheTowerReportsItAndEveryReaderSeesIt)
{
    EventReader events(api_->port());
    ASSERT_TRUE(WaitFor([&] { return events.Events().size() >= 2; }, 2s));

    const auto res = Write("red%201", R"({"pattern": "alarm FLASH", "level": 80, "on": true})");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    // 80 % is brightness 204 of 255, as kestrivane-cli set --level 80.
    EXPECT_EQ(json::parse(res->body),
              json::parse(R"({"tower": "1", "segment": {"position": 1, "present": true, "name": "Red 1",
                 "colour": "Red", "address": 8, "pattern": "Alarm Flash", "patternCode": 5, "level": 80,
                 "levelRaw": 204, "boost": false, "on": true, "firmware": "12", "hardware": "1.0"}})"));
    // The tower took it before the answer left.
    EXPECT_EQ(OnTower([] { return Tower().config().patternCode[0]; }), 5);
    EXPECT_EQ(OnTower([] { return Tower().config().level[0]; }), 204);
    EXPECT_EQ(OnTower([] { return Tower().switchState(8).on; }), 1);

    // The status read afterwards and the event stream agree with it.
    httplib::Client c = Client();
    const auto status = c.Get("/api/v1/towers/1");
    ASSERT_TRUE(status);
    ASSERT_EQ(status->status, 200);
    const json s = json::parse(status->body);
    EXPECT_EQ(s["segments"][0], json::parse(res->body)["segment"]);
    EXPECT_EQ(s["id"], "1");
    EXPECT_EQ(s["state"], "online");
    ASSERT_TRUE(WaitFor(
        [&] {
            const std::vector<json> e = events.Events();
            return !e.empty() && e.back()["event"] == "state" && e.back()["status"] == s;
        },
        2s));
    const std::vector<json> all = events.Events();
    EXPECT_EQ(all.front()["event"], "towers");
    EXPECT_EQ(all.front()["list"]["baseControllers"][0]["id"], "1");

    // A level alone keeps the pattern; PATCH takes the same body; on:false
    // takes the switch back.
    const auto sound = Write("sound", R"({"on": false, "level": 100})", "PATCH");
    ASSERT_TRUE(sound);
    ASSERT_EQ(sound->status, 200) << sound->body;
    EXPECT_EQ(json::parse(sound->body)["segment"]["level"], 100);
    EXPECT_EQ(json::parse(sound->body)["segment"]["on"], false);
    const auto off = Write("1", R"({"on": false})", "PATCH");
    ASSERT_TRUE(off);
    EXPECT_EQ(json::parse(off->body)["segment"]["on"], false);
    EXPECT_EQ(OnTower([] { return Tower().switchState(8).on; }), 0);
    // Level 0 is the slider's first position, sent as any other.
    const auto dark = Write("1", R"({"level": 0})", "PATCH");
    ASSERT_TRUE(dark);
    EXPECT_EQ(json::parse(dark->body)["segment"]["levelRaw"], 0);
    EXPECT_EQ(OnTower([] { return Tower().config().level[0]; }), 0);

    // The switching threshold, at the bottom of the tool's range.
    const auto threshold = Client().Put("/api/v1/towers/1/threshold", {{"Authorization", "Bearer " + kToken}},
                                        R"({"volts": 2.2})", "application/json");
    ASSERT_TRUE(threshold);
    EXPECT_EQ(json::parse(threshold->body),
              json({{"tower", "1"}, {"switchingThreshold", {{"raw", 20}, {"volts", 20 * 0.10875}, {"text", "2.2"}}}}));
    EXPECT_EQ(OnTower([] { return Tower().config().switchingThreshold; }), 20);
    // A Base Controller that keeps reporting the old value gives the tool
    // no result: the write times out.
    OnTower([] { return Tower().mutableConfig().acceptThreshold = false; });
    const auto ignored = Client().Put("/api/v1/towers/1/threshold", {{"Authorization", "Bearer " + kToken}},
                                      R"({"volts": 12})", "application/json");
    ASSERT_TRUE(ignored);
    EXPECT_EQ(json::parse(ignored->body), json::parse(R"({"error": "The tower did not confirm the write in time.", "code": 504})"));
    // A value the tower shows only after the tool's first look (1.5 s after
    // the write) is confirmed at its next look, a second later.
    const auto sent = std::chrono::steady_clock::now();
    std::thread late([this] {
        std::this_thread::sleep_for(1700ms);
        OnTower([] { return Tower().mutableConfig().switchingThreshold = 40; });
    });
    const auto taken = Client().Put("/api/v1/towers/1/threshold", {{"Authorization", "Bearer " + kToken}},
                                    R"({"volts": 4.35})", "application/json");
    late.join();
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 2500ms);
    ASSERT_TRUE(taken);
    EXPECT_EQ(json::parse(taken->body)["switchingThreshold"]["raw"], 40) << taken->body;
}

TEST_F(ServiceTest, AStatusReadRightAfterAWritesAnswerShowsTheWrite)
{
    // The answer leaves once the snapshot has the write: however soon the
    // client reads, it never sees the state from before. (The read races the
    // poll thread, so an answer sent too early shows in some of the rounds.)
    httplib::Client c = Client();
    for (int i = 0; i < 12; ++i) {
        const bool on = i % 2 == 0;
        const auto res = Write("sound", on ? R"({"on": true})" : R"({"on": false})");
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200) << res->body;
        const auto status = c.Get("/api/v1/towers/1");
        ASSERT_TRUE(status);
        ASSERT_EQ(status->status, 200);
        EXPECT_EQ(json::parse(status->body)["sound"], json::parse(res->body)["segment"]) << "write " << i;
    }
}

TEST(TowerHostLists, EveryListedDeviceAndEveryRowOfAStack)
{
    EXPECT_EQ(DeviceListJson({{"/dev/a", "S1", 0x1C, true, ""}, {"/dev/b", "", -1, false, "kestrivane"}}, {"usb:1-2"}),
              json::parse(R"({"baseControllers": [
                  {"path": "/dev/a", "serialNumber": "S1", "accessible": true, "firmware": "2.8"},
                  {"path": "/dev/b", "serialNumber": null, "accessible": false, "firmware": null,
                   "heldBy": "kestrivane"}],
                  "bootloaders": [{"path": "usb:1-2"}]})"));
    // Rows -1 to 6, one past each end: a colour row counts at any address,
    // the sound row only at its own.
    for (const auto& [addresses, present] :
         std::vector<std::pair<RowBytes, std::vector<bool>>>{
             {{8, 0, 14, 15, 16, 33}, {false, true, false, true, true, true, true, false}},
             {{0, 8, 0, 0, 0, 34}, {false, false, true, false, false, false, false, false}}}) {
        std::vector<bool> shown;
        for (int row = -1; row <= kRows; ++row)
            shown.push_back(RowPresent(row, addresses));
        EXPECT_EQ(shown, present);
    }
}

TEST_F(ServiceTest, ListAndStatusAreTheCliJsonWithIdAndState)
{
    httplib::Client c = Client();
    const auto list = c.Get("/api/v1/towers");
    ASSERT_TRUE(list);
    EXPECT_EQ(list->status, 200);
    EXPECT_EQ(list->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(json::parse(list->body), json::parse(R"({"baseControllers": [{"path": "/dev/hidraw-virtual0",
        "serialNumber": null, "accessible": true, "firmware": "2.8", "id": "1", "state": "online"}],
        "bootloaders": []})"));
    const auto status = c.Get("/api/v1/towers/1");
    ASSERT_TRUE(status);
    const json s = json::parse(status->body);
    EXPECT_EQ(s["baseController"], json::parse(R"({"firmware": "2.8", "hardware": "1.1", "programFirmware": "2.8"})"));
    EXPECT_EQ(s["segments"].size(), 5u);
    EXPECT_EQ(s["sound"]["name"], "Acoustic 1");
    const auto doc = c.Get("/api/v1/openapi.json");
    ASSERT_TRUE(doc);
    const json d = json::parse(doc->body);
    EXPECT_EQ(d["openapi"], "3.0.3");
    EXPECT_TRUE(d["paths"].contains("/api/v1/towers/{id}/segments/{segment}"));
    const auto page = c.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("<script src=\"/app.js\""), std::string::npos);
    EXPECT_EQ(page->body.find("http"), page->body.find("http-equiv"));  // nothing loaded from elsewhere
    EXPECT_EQ(page->get_header_value("X-Frame-Options"), "DENY");
}

TEST_F(ServiceTest, RefusedRequestsGetTheirStatusAsJsonAndNothingReachesTheTower)
{
    struct Case {
        const char* what;
        std::string method;
        std::string path;
        std::string body;
        httplib::Headers headers;
        int status;
    };
    const std::string seg = "/api/v1/towers/1/segments/1";
    const std::string thr = "/api/v1/towers/1/threshold";
    const httplib::Headers ok{{"Authorization", "Bearer " + kToken}, {"Content-Type", "application/json"}};
    auto with = [&](httplib::Headers h, const std::string& k, const std::string& v) {
        h.erase(k);
        h.emplace(k, v);
        return h;
    };
    httplib::Headers noToken = ok;
    noToken.erase("Authorization");
    httplib::Headers noType = ok;
    noType.erase("Content-Type");
    const std::vector<Case> cases = {
        {"bad JSON", "PUT", seg, R"({"on": tru)", ok, 400},
        {"not an object", "PUT", seg, R"([{"on": true}])", ok, 400},
        {"empty object", "PUT", seg, "{}", ok, 400},
        {"unknown field", "PUT", seg, R"({"on": true, "colour": "red"})", ok, 400},
        {"pattern a number", "PUT", seg, R"({"pattern": 4})", ok, 400},
        {"level a string", "PUT", seg, R"({"level": "80"})", ok, 400},
        {"level a fraction", "PUT", seg, R"({"level": 80.5})", ok, 400},
        {"level negative", "PUT", seg, R"({"level": -1})", ok, 400},
        {"level huge", "PUT", seg, R"({"level": 18446744073709551615})", ok, 400},
        {"level beyond the scale", "PUT", seg, R"({"pattern": "Flash", "level": 101})", ok, 400},
        {"on a string", "PUT", seg, R"({"on": "yes"})", ok, 400},
        {"unknown pattern", "PUT", seg, R"({"pattern": "Disco"})", ok, 400},
        {"a tone on a colour row", "PUT", seg, R"({"pattern": "Siren"})", ok, 400},
        {"invalid UTF-8", "PUT", seg, "{\"pattern\": \"\xff\xfe\"}", ok, 400},
        {"deep nesting", "PUT", seg, std::string(2000, '[') + std::string(2000, ']'), ok, 400},
        {"huge body", "PUT", seg, R"({"pattern": ")" + std::string(8000, 'x') + "\"}", ok, 413},
        {"no such tower", "PUT", "/api/v1/towers/9/segments/1", R"({"on": true})", ok, 404},
        {"id too long", "PUT", "/api/v1/towers/" + std::string(65, '1') + "/segments/1", R"({"on": true})", ok, 404},
        {"no such segment", "PUT", "/api/v1/towers/1/segments/6", R"({"on": true})", ok, 404},
        {"segment by another colour", "PUT", "/api/v1/towers/1/segments/Red%202", R"({"on": true})", ok, 404},
        {"path climbing", "PUT", "/api/v1/towers/1/segments/..%2F..%2F1", R"({"on": true})", ok, 404},
        {"path with dots", "PUT", "/api/v1/towers/1/../1/segments/1", R"({"on": true})", ok, 404},
        {"NUL in the path", "PUT", "/api/v1/towers/1/segments/1%00", R"({"on": true})", ok, 404},
        {"no route", "POST", "/api/v1/towers/1/segments/1", R"({"on": true})", ok, 404},
        {"wrong Host", "PUT", seg, R"({"on": true})", with(ok, "Host", "attacker.example:" + std::to_string(api_->port())), 403},
        {"Host without the port", "PUT", seg, R"({"on": true})", with(ok, "Host", "127.0.0.1"), 403},
        {"foreign Origin", "PUT", seg, R"({"on": true})", with(ok, "Origin", "http://attacker.example"), 403},
        {"null Origin", "PUT", seg, R"({"on": true})", with(ok, "Origin", "null"), 403},
        {"cross-site fetch", "PUT", seg, R"({"on": true})", with(ok, "Sec-Fetch-Site", "cross-site"), 403},
        {"no token", "PUT", seg, R"({"on": true})", noToken, 401},
        {"wrong token", "PUT", seg, R"({"on": true})", with(ok, "Authorization", "Bearer " + std::string(64, 'b')), 401},
        {"token cut short", "PATCH", seg, R"({"on": true})", with(ok, "Authorization", "Bearer " + kToken.substr(1)), 401},
        {"other scheme", "PUT", seg, R"({"on": true})", with(ok, "Authorization", "Basic " + kToken), 401},
        {"form content type", "PUT", seg, R"({"on": true})", with(ok, "Content-Type", "application/x-www-form-urlencoded"), 415},
        {"text content type", "PATCH", seg, R"({"on": true})", with(ok, "Content-Type", "text/plain"), 415},
        {"no content type", "PUT", seg, R"({"on": true})", noType, 415},
        {"threshold as text", "PUT", thr, R"({"volts": "12"})", ok, 400},
        {"threshold below the range", "PUT", thr, R"({"volts": 2.1})", ok, 400},
        {"threshold above the range", "PUT", thr, R"({"volts": 24})", ok, 400},
        {"threshold without volts", "PUT", thr, R"({"raw": 110})", ok, 400},
        {"threshold with another field", "PUT", thr, R"({"volts": 12, "raw": 110})", ok, 400},
        {"threshold of no tower", "PUT", "/api/v1/towers/9/threshold", R"({"volts": 12})", ok, 404},
        {"threshold without the token", "PUT", thr, R"({"volts": 12})", noToken, 401},
    };

    const size_t logBefore = OnTower([] { return Tower().outputLog().size(); });
    for (const Case& k : cases) {
        httplib::Client c = Client();
        httplib::Request req;
        req.method = k.method;
        req.path = k.path;
        req.headers = k.headers;
        req.body = k.body;
        const auto res = c.send(req);
        ASSERT_TRUE(res) << k.what;
        EXPECT_EQ(res->status, k.status) << k.what << ": " << res->body;
        const json body = json::parse(res->body, nullptr, false);
        ASSERT_TRUE(body.is_object()) << k.what << ": " << res->body;
        EXPECT_EQ(body["code"], k.status) << k.what;
        EXPECT_TRUE(body["error"].is_string()) << k.what;
        EXPECT_FALSE(res->has_header("Access-Control-Allow-Origin")) << k.what;
    }
    // A client that sends its request one byte a second is cut off at the
    // request's bound (1.5 s here) with 408, while another is answered at
    // once.
    const int slow = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(slow, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(api_->port()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(slow, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const std::string head = "PUT " + seg + " HTTP/1.1\r\nHost: " + host_ + "\r\n";
    const std::string rest = "Authorization: Bearer " + kToken +
                             "\r\nContent-Type: application/json\r\nContent-Length: 12\r\n\r\n{\"on\": true}";
    const auto slowStart = std::chrono::steady_clock::now();
    std::thread trickle([&] {
        send(slow, head.data(), head.size(), MSG_NOSIGNAL);
        for (char ch : rest) {
            if (send(slow, &ch, 1, MSG_NOSIGNAL) != 1)
                break;
            std::this_thread::sleep_for(1s);
            if (std::chrono::steady_clock::now() - slowStart > 5s)
                break;
        }
    });
    std::this_thread::sleep_for(300ms);
    const auto otherStart = std::chrono::steady_clock::now();
    const auto other = Client().Get("/api/v1/towers/1");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - otherStart, 200ms);
    std::string answer;
    char buffer[512];
    for (ssize_t n; (n = recv(slow, buffer, sizeof buffer, 0)) > 0;)
        answer.append(buffer, static_cast<size_t>(n));
    const auto cutAfter = std::chrono::steady_clock::now() - slowStart;
    trickle.join();
    close(slow);
    EXPECT_GE(cutAfter, 1400ms);
    EXPECT_LT(cutAfter, 2500ms);
    EXPECT_EQ(answer.substr(0, answer.find("\r\n")), "HTTP/1.1 408 Request Timeout");
    EXPECT_EQ(answer.substr(answer.find("\r\n\r\n") + 4),
              R"({"code":408,"error":"The request did not arrive in time."})");

    // Not one report went to the tower for any of them.
    EXPECT_EQ(OnTower([] { return Tower().outputLog().size(); }), logBefore);
    EXPECT_EQ(OnTower([] { return Tower().switchState(8).on; }), 0);

    // A read on loopback needs no token, but a foreign page still cannot read.
    httplib::Client c = Client();
    const auto read = c.Get("/api/v1/towers/1", {{"Origin", "http://attacker.example"}});
    ASSERT_TRUE(read);
    EXPECT_EQ(read->status, 403);
    const auto own = c.Get("/api/v1/towers/1", {{"Origin", "http://" + host_}});
    ASSERT_TRUE(own);
    EXPECT_EQ(own->status, 200);
    EXPECT_EQ(c.Get("/api/v1/towers/x")->status, 404);
}

TEST_F(ServiceTest, ALostTowerAnswers503AndWhatClientsSetIsBackSoonAfterItReturns)
{
    ASSERT_EQ(Write("1", R"({"pattern": "Flash", "on": true})")->status, 200);
    ASSERT_EQ(Write("sound", R"({"on": true})")->status, 200);

    OnTower([] {
        Tower().Unplug();
        return 0;
    });
    ASSERT_TRUE(WaitFor([this] { return State("1") == "lost"; }, 2s));
    const auto lost = Write("1", R"({"on": false})");
    ASSERT_TRUE(lost);
    EXPECT_EQ(lost->status, 503);
    EXPECT_EQ(json::parse(lost->body),
              json::parse(R"({"error": "The tower was lost (unplugged, or a read failed).", "code": 503})"));
    EXPECT_EQ(Client().Get("/api/v1/towers/1")->status, 503);
    EXPECT_EQ(json::parse(Client().Get("/api/v1/towers")->body)["baseControllers"][0]["state"], "lost");

    // Meanwhile someone else put the first row back to Permanent On.
    const auto back = std::chrono::steady_clock::now();
    OnTower([] {
        Tower().mutableConfig().patternCode[0] = 0;
        Tower().PlugIn();
        return 0;
    });
    ASSERT_TRUE(WaitFor(
        [this] {
            return OnTower([] {
                return Tower().config().patternCode[0] == 4 && Tower().switchState(8).on == 1 &&
                       Tower().switchState(33).on == 1;
            });
        },
        2s));
    EXPECT_LT(std::chrono::steady_clock::now() - back, 2s);
    // Taken again under the same id.
    EXPECT_EQ(State("1"), "online");
    EXPECT_EQ(service_->snapshot()->towers.size(), 1u);
}

TEST_F(ServiceTest, AnUpdateRunsOnThePollThreadWithItsProgressAsEventsAndTheTowerComesBack)
{
    EventReader events(api_->port());
    ASSERT_TRUE(WaitFor([&] { return events.Events().size() >= 2; }, 2s));
    ASSERT_EQ(Write("1", R"({"on": true})")->status, 200);
    httplib::Client c = Client();
    const httplib::Headers token{{"Authorization", "Bearer " + kToken}};
    // Refused before anything starts: no token, a body with fields, no tower.
    EXPECT_EQ(c.Post("/api/v1/towers/1/update", "{}", "application/json")->status, 401);
    EXPECT_EQ(c.Post("/api/v1/towers/1/update", token, R"({"file": "/etc/passwd"})", "application/json")->status, 400);
    EXPECT_EQ(c.Post("/api/v1/towers/9/update", token, "{}", "application/json")->status, 404);

    const auto started = c.Post("/api/v1/towers/1/update", token, "{}", "application/json");
    ASSERT_TRUE(started);
    ASSERT_EQ(started->status, 202) << started->body;
    EXPECT_EQ(json::parse(started->body)["update"], "started");
    // While it runs: a second update and writes are busy.
    const auto again = c.Post("/api/v1/towers/1/update", token, "", "application/json");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 409) << again->body;
    EXPECT_EQ(json::parse(again->body)["code"], 409);

    auto finished = [&] {
        for (const json& e : events.Events())
            if (e["event"] == "update" && e["state"] == "done")
                return true;
        return false;
    };
    ASSERT_TRUE(WaitFor(finished, 60s));
    std::vector<json> update;
    for (const json& e : events.Events())
        if (e["event"] == "update")
            update.push_back(e);
    ASSERT_GE(update.size(), 3u);
    EXPECT_EQ(update.front()["state"], "started");
    EXPECT_EQ(update.back()["succeeded"], true) << update.back();
    EXPECT_EQ(update.back()["result"], 0);
    // Progress in step order, each with its text.
    int step = -1;
    for (size_t i = 1; i + 1 < update.size(); ++i) {
        EXPECT_EQ(update[i]["state"], "progress");
        EXPECT_GE(update[i]["step"].get<int>(), step);
        step = update[i]["step"];
        EXPECT_FALSE(update[i]["text"].get<std::string>().empty());
    }
    EXPECT_EQ(step, 7);

    // Back in step on the flashed firmware, with what the client had set.
    ASSERT_TRUE(WaitFor([this] { return State("1") == "online"; }, 5s));
    ASSERT_TRUE(WaitFor([this] { return OnTower([] { return Tower().switchState(8).on == 1; }); }, 3s));
    const auto status = c.Get("/api/v1/towers/1");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->status, 200);
}

// Another program holds the tower before the service starts.
class HeldTowerTest : public ServiceTest {
protected:
    void SetUp() override
    {
        sim::TheVirtualTower().Reset();
        sim::TheVirtualUsb().Reset();
        path_ = sim::TheVirtualTower().hidDevices().front().path;
        const std::string path = path_;
        holder_ = std::make_unique<test::LockHolder>("kestrivane", [path] {
            static DeviceState state;
            static HidLink link(state);
            link.SetDevicePath(path);
            return link.Open() != nullptr;
        });
        ASSERT_TRUE(holder_->holds());
        StartService(false);
    }

    test::LockFolder folder_;
    std::string path_;
    std::unique_ptr<test::LockHolder> holder_;
};

TEST_F(HeldTowerTest, ATowerAnotherProgramHoldsIsListedAsHeldAndTakenWhenItLetsGo)
{
    ASSERT_TRUE(WaitFor([this] { return State("1") == "held"; }, 3s));
    const std::string holder = "kestrivane (pid " + std::to_string(holder_->pid()) + ")";
    httplib::Client c = Client();
    const auto list = c.Get("/api/v1/towers");
    ASSERT_TRUE(list);
    const json entry = json::parse(list->body)["baseControllers"][0];
    EXPECT_EQ(entry["state"], "held");
    EXPECT_EQ(entry["heldBy"], holder);
    EXPECT_EQ(entry["accessible"], false);
    EXPECT_EQ(entry["path"], path_);
    const auto status = c.Get("/api/v1/towers/1");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->status, 409);
    EXPECT_NE(json::parse(status->body)["error"].get<std::string>().find("held by " + holder),
              std::string::npos);
    const auto write = Write("1", R"({"on": true})");
    ASSERT_TRUE(write);
    EXPECT_EQ(write->status, 409) << write->body;
    // Searched again and again, never opened under its holder.
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(OnTower([] { return Tower().outputLog().empty(); }));
    EXPECT_EQ(OnTower([] { return sim::TheVirtualTower().hidApi().openCalls; }), 0);

    holder_->Release();
    ASSERT_TRUE(WaitFor([this] { return State("1") == "online"; }, 3s));
    const auto on = Write("1", R"({"on": true})");
    ASSERT_TRUE(on);
    EXPECT_EQ(on->status, 200) << on->body;
}

TEST_F(ServiceTest, AFirmwareThatDiffersIsShownAndNeverUpdatedUntilAClientAsks)
{
    api_->Stop();
    service_->Stop();
    sim::TheVirtualTower().Reset();
    Tower().mutableConfig().firmwareVersion[5] = 27;
    ServiceOptions options;
    options.rescanInterval = 100ms;
    options.firmwarePath = KV_DEMO_FIRMWARE;
    service_ = std::make_unique<TowerService>(options);
    ApiConfig config;
    config.token = kToken;
    api_ = std::make_unique<HttpApi>(*service_, config);
    std::string error;
    std::vector<std::string> skipped;
    ASSERT_TRUE(api_->Bind({"127.0.0.1"}, {}, 0, error, skipped));
    service_->Start();
    api_->Start();
    ASSERT_TRUE(WaitFor([this] { return State("1") == "firmwareDiffers"; }, 3s));

    const auto status = Client().Get("/api/v1/towers/1");
    ASSERT_TRUE(status);
    EXPECT_EQ(json::parse(status->body), json::parse(R"({"id": "1", "state": "firmwareDiffers",
        "baseController": {"firmware": "2.7", "programFirmware": "2.8"}})"));
    EXPECT_EQ(Write("1", R"({"on": true})")->status, 409);
    // No bootloader report went out, and the tower is not held again.
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(OnTower([] { return Tower().inBootloader(); }));
    EXPECT_EQ(OnTower([] { return Tower().hostConnected(); }), 0);

    // A client starts the update: the tower is taken for it and comes back
    // on the program's firmware.
    const auto started = Client().Post("/api/v1/towers/1/update", {{"Authorization", "Bearer " + kToken}}, "{}",
                                       "application/json");
    ASSERT_TRUE(started);
    ASSERT_EQ(started->status, 202) << started->body;
    ASSERT_TRUE(WaitFor([this] { return State("1") == "online"; }, 60s)) << State("1");
    const auto after = Client().Get("/api/v1/towers/1");
    ASSERT_TRUE(after);
    EXPECT_EQ(json::parse(after->body)["baseController"]["firmware"], "2.8") << after->body;
}

TEST_F(ServiceTest, EventStreamsAreBoundedAndEndWhenTheServiceStops)
{
    std::vector<std::unique_ptr<EventReader>> readers;
    for (int i = 0; i < 8; ++i)
        readers.push_back(std::make_unique<EventReader>(api_->port()));
    // Every one of the eight holds its stream before the ninth asks.
    ASSERT_TRUE(WaitFor(
        [&] {
            return std::all_of(readers.begin(), readers.end(), [](auto& r) { return r->Events().size() >= 2; });
        },
        5s));
    std::this_thread::sleep_for(100ms);
    const auto ninth = Client().Get("/api/v1/events");
    ASSERT_TRUE(ninth);
    EXPECT_EQ(ninth->status, 409);
    const auto start = std::chrono::steady_clock::now();
    api_->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    readers.clear();
}

TEST_F(ServiceTest, ThroughAReverseProxysNameReadsNeedTheTokenToo)
{
    api_->Stop();
    ApiConfig config;
    config.token = kToken;
    config.extraHosts = {"tower.example.org:443"};
    api_ = std::make_unique<HttpApi>(*service_, config);
    std::string error;
    std::vector<std::string> skipped;
    ASSERT_TRUE(api_->Bind({"127.0.0.1"}, {}, 0, error, skipped)) << error;
    api_->Start();
    const httplib::Headers proxied{{"Host", "tower.example.org:443"}};
    const auto without = Client().Get("/api/v1/towers", proxied);
    ASSERT_TRUE(without);
    EXPECT_EQ(without->status, 401);
    httplib::Headers withToken = proxied;
    withToken.emplace("Authorization", "Bearer " + kToken);
    const auto with = Client().Get("/api/v1/towers", withToken);
    ASSERT_TRUE(with);
    EXPECT_EQ(with->status, 200);
}

// The service listening on a local socket too, as kestrivaned does.
class LocalSocketTest : public ServiceTest {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kestrivaned-socket-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        localPath_ = folder_ + "/api.sock";
        ServiceTest::SetUp();
    }
    void TearDown() override
    {
        ServiceTest::TearDown();
        // Stopped, the service has taken its socket away.
        EXPECT_NE(access(localPath_.c_str(), F_OK), 0);
        rmdir(folder_.c_str());
    }

    // kestrivane-cli in this process, through the socket.
    std::pair<int, std::string> Cli(std::vector<std::string> args)
    {
        struct NoInput : cli::LineSource {
            Read Poll(std::string&) override { return Read::End; }
        } in;
        args.insert(args.begin(), {"kestrivane-cli", "--socket", localPath_});
        std::ostringstream out;
        std::ostringstream err;
        cli::CliIo io{out, err, in, false, false};
        const int code = cli::RunCli(args, io);
        return {code, out.str() + err.str()};
    }
    // The reports the tower got while `f` ran.
    std::vector<sim::LoggedReport> ReportsDuring(const std::function<void()>& f)
    {
        const size_t before = OnTower([] { return Tower().outputLog().size(); });
        f();
        return OnTower([before] {
            const auto& log = Tower().outputLog();
            return std::vector<sim::LoggedReport>(log.begin() + static_cast<std::ptrdiff_t>(before), log.end());
        });
    }

    std::string folder_;
};

std::vector<std::vector<uint8_t>> Frames(const std::vector<sim::LoggedReport>& log)
{
    std::vector<std::vector<uint8_t>> frames;
    for (const sim::LoggedReport& r : log)
        frames.emplace_back(r.frame.begin(), r.frame.end());
    return frames;
}

TEST_F(LocalSocketTest, TheCliOnTheSocketSetsThroughTheServiceAndWhatItSetStays)
{
    const int opens = OnTower([] { return sim::TheVirtualTower().hidApi().openCalls; });
    std::pair<int, std::string> on;
    // Named by its colour, as the service shows the stack.
    const auto byCli = ReportsDuring([&] { on = Cli({"on", "Red 1"}); });
    EXPECT_EQ(on, std::make_pair(0, std::string("On.\n")));
    // The tower was not opened again: what it got is what the service sends
    // for the same write from any client.
    EXPECT_EQ(OnTower([] { return sim::TheVirtualTower().hidApi().openCalls; }), opens);
    ASSERT_EQ(Write("1", R"({"on": false})")->status, 200);
    const auto byHttp = ReportsDuring([&] { ASSERT_EQ(Write("1", R"({"on": true})")->status, 200); });
    EXPECT_FALSE(byCli.empty());
    EXPECT_EQ(Frames(byCli), Frames(byHttp));

    // Still on after the CLI has gone, and its status is the service's.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(OnTower([] { return Tower().switchState(8).on; }), 1);
    const auto status = Cli({"status", "--json"});
    ASSERT_EQ(status.first, 0) << status.second;
    json expected = json::parse(Client().Get("/api/v1/towers/1")->body);
    expected.erase("id");
    expected.erase("state");
    EXPECT_EQ(json::parse(status.second), expected);
    EXPECT_EQ(expected["segments"][0]["on"], true);
    EXPECT_EQ(OnTower([] { return sim::TheVirtualTower().hidApi().openCalls; }), opens);
}

}  // namespace
}  // namespace kv::service
