// The service on a real mosquitto broker: the bridge in process on the
// virtual tower (so the test can look at what reached the tower), and a
// client of the test's own on a connection of its own.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "mqtt_test_support.h"
#include "service/mqtt_bridge.h"
#include "service/tower_service.h"
#include "sim/virtual_bootloader.h"
#include "sim/virtual_tower.h"

namespace kv::service {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using test::ReceivedMessage;

sim::VirtualBaseController& Tower() { return sim::TheVirtualTower().baseController(0); }

// The log the bridge writes to, read by the test once the bridge stopped.
class MqttTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::TheVirtualTower().Reset();
        sim::TheVirtualUsb().Reset();
        ASSERT_TRUE(broker_.Start());
        ServiceOptions options;
        options.confirmTimeout = 3000ms;
        options.rescanInterval = 100ms;
        options.firmwarePath = KV_DEMO_FIRMWARE;
        service_ = std::make_unique<TowerService>(options);
        config_.host = "127.0.0.1";
        config_.port = broker_.port();
        config_.name = "lab";
        config_.clientId = "kestrivaned-lab";
        config_.haStatusTopic = "homeassistant/status";
        bridge_ = std::make_unique<MqttBridge>(*service_, config_, log_);
        service_->Start();
        std::string error;
        ASSERT_TRUE(bridge_->Start(error)) << error;
        ASSERT_TRUE(client_.Connect(broker_.port()));
        ASSERT_TRUE(client_.Subscribe("kestrivane/#"));
        ASSERT_TRUE(client_.Subscribe("homeassistant/#"));
        // In step: the tower's whole state is on the broker.
        ReceivedMessage m;
        ASSERT_TRUE(client_.Next(base_ + "/ha/firmware/state", 0, m, 5s));
    }

    void TearDown() override
    {
        bridge_->Stop();
        service_->Stop();
    }

    template <typename F>
    auto OnTower(F f)
    {
        decltype(f()) result{};
        service_->RunOnPollThread([&] { result = f(); }).get();
        return result;
    }

    json Status()
    {
        json s = service_->snapshot()->Find("1")->status;
        s.erase("id");
        s.erase("state");
        return s;
    }

    // The last message on `topic` (or null when none came).
    static json LastIn(const std::vector<ReceivedMessage>& all, const std::string& topic)
    {
        json last;
        for (const ReceivedMessage& m : all)
            if (m.topic == topic)
                last = json::parse(m.payload, nullptr, false);
        return last;
    }
    json Last(const std::string& topic) { return LastIn(client_.messages(), topic); }

    // Publishes a command and waits for its answer on the result topic.
    json Command(const std::string& topic, const std::string& payload)
    {
        const size_t from = client_.count();
        EXPECT_TRUE(client_.Publish(topic, payload));
        ReceivedMessage m;
        EXPECT_TRUE(client_.Next(base_ + "/result", from, m, 5s)) << topic;
        return json::parse(m.payload, nullptr, false);
    }

    test::TestBroker broker_;
    std::ostringstream log_;
    MqttConfig config_;
    std::unique_ptr<TowerService> service_;
    std::unique_ptr<MqttBridge> bridge_;
    test::TestClient client_;
    const std::string base_ = "kestrivane/lab-hidraw-virtual0";
};

TEST_F(MqttTest, StateAndDiscoveryAreRetainedAndCommandsSetTheTowerWithTheirResultAndState)
{
    // A client that comes later gets both from the broker's retained copies.
    test::TestClient late;
    ASSERT_TRUE(late.Connect(broker_.port()));
    ASSERT_TRUE(late.Subscribe(base_ + "/state"));
    ASSERT_TRUE(late.Subscribe("homeassistant/device/kestrivane_lab-hidraw-virtual0/config"));
    ASSERT_TRUE(late.WaitFor([](const auto& all) { return all.size() == 2; }, 3s));
    for (const ReceivedMessage& m : late.messages()) {
        EXPECT_TRUE(m.retained) << m.topic;
        if (m.topic == base_ + "/state") {
            EXPECT_EQ(json::parse(m.payload), Status());
        }
    }
    const json config = Last("homeassistant/device/kestrivane_lab-hidraw-virtual0/config");
    ASSERT_TRUE(config.is_object());
    EXPECT_EQ(config["device"], json::parse(R"({"identifiers": ["kestrivane_lab-hidraw-virtual0"],
        "name": "Nelo tower lab-hidraw-virtual0", "model": "Nelo Base Controller", "sw_version": "2.8",
        "hw_version": "1.1"})"));
    EXPECT_EQ(config["availability"], json::parse(R"([{"topic": "kestrivane/services/lab/availability"},
        {"topic": "kestrivane/lab-hidraw-virtual0/availability"}])"));
    EXPECT_EQ(config["availability_mode"], "all");
    EXPECT_EQ(config["origin"]["name"], "kestrivaned");
    std::set<std::string> keys;
    std::set<std::string> uniqueIds;
    for (const auto& [key, c] : config["components"].items()) {
        keys.insert(key);
        uniqueIds.insert(c.at("unique_id").get<std::string>());
    }
    EXPECT_EQ(keys, (std::set<std::string>{"light1", "light2", "light3", "light4", "light5", "siren", "threshold",
                                           "inputs", "firmware"}));
    EXPECT_EQ(uniqueIds.size(), keys.size());
    json light = config["components"]["light3"];
    ASSERT_TRUE(light["effect_list"].is_array());
    EXPECT_EQ(light["effect_list"][0], "Permanent On");
    light.erase("effect_list");
    EXPECT_EQ(light, json::parse(R"({"platform": "light", "schema": "json", "name": "Green 1",
        "unique_id": "kestrivane_lab-hidraw-virtual0_light3", "default_entity_id": "light.kestrivane_lab_hidraw_virtual0_3",
        "command_topic": "kestrivane/lab-hidraw-virtual0/ha/light3/set",
        "state_topic": "kestrivane/lab-hidraw-virtual0/ha/light3/state",
        "supported_color_modes": ["brightness"], "brightness": true, "brightness_scale": 100,
        "effect": true, "flash": false, "transition": false})"));
    EXPECT_EQ(config["components"]["siren"]["available_tones"].size(), PatternNamesJson()["sound"].size());
    EXPECT_EQ(config["components"]["threshold"], json::parse(R"({"platform": "number", "name": "Switching threshold",
        "unique_id": "kestrivane_lab-hidraw-virtual0_threshold", "default_entity_id": "number.kestrivane_lab_hidraw_virtual0_threshold",
        "command_topic": "kestrivane/lab-hidraw-virtual0/ha/threshold/set",
        "state_topic": "kestrivane/lab-hidraw-virtual0/ha/threshold/state", "min": 2.2, "max": 23.9, "step": 0.1,
        "mode": "slider", "device_class": "voltage", "unit_of_measurement": "V", "entity_category": "config"})"));
    EXPECT_EQ(config["components"]["firmware"], json::parse(R"({"platform": "update", "name": "Firmware",
        "unique_id": "kestrivane_lab-hidraw-virtual0_firmware", "default_entity_id": "update.kestrivane_lab_hidraw_virtual0_firmware",
        "state_topic": "kestrivane/lab-hidraw-virtual0/ha/firmware/state",
        "command_topic": "kestrivane/lab-hidraw-virtual0/ha/firmware/set", "payload_install": "install",
        "device_class": "firmware", "entity_category": "config"})"));
    EXPECT_EQ(Last(base_ + "/ha/threshold/state"), json(10.0));

    // Home Assistant's light, the service's own JSON, one field's topic.
    json r = Command(base_ + "/ha/light3/set", R"({"state": "ON", "brightness": 40, "effect": "Flash"})");
    EXPECT_EQ(r["code"], 200) << r;
    EXPECT_EQ(r["tower"], "lab-hidraw-virtual0");
    EXPECT_EQ(r["topic"], base_ + "/ha/light3/set");
    ReceivedMessage m;
    ASSERT_TRUE(client_.WaitFor([&](const auto& all) { return LastIn(all, base_ + "/ha/light3/state")["state"] == "ON"; }, 2s));
    EXPECT_EQ(Last(base_ + "/ha/light3/state"),
              json::parse(R"({"state": "ON", "brightness": 40, "effect": "Flash", "color_mode": "brightness"})"));
    r = Command(base_ + "/segments/sound/set", R"({"pattern": "Car Alarm", "on": true})");
    EXPECT_EQ(r["code"], 200) << r;
    r = Command(base_ + "/segments/Red 1/on/set", "ON");
    EXPECT_EQ(r["code"], 200) << r;
    EXPECT_TRUE(OnTower([] { return Tower().switchState(8).on != 0; }));
    EXPECT_TRUE(OnTower([] { return Tower().switchState(18).on != 0; }));
    // The retained state follows the tower.
    ASSERT_TRUE(client_.WaitFor([&](const auto& all) { return LastIn(all, base_ + "/state") == Status(); }, 2s));
    const json state = Last(base_ + "/state");
    EXPECT_EQ(state["segments"][2]["pattern"], "Flash");
    EXPECT_EQ(state["segments"][2]["level"], 40);
    EXPECT_EQ(state["segments"][0]["on"], true);
    EXPECT_EQ(state["sound"]["on"], true);
    EXPECT_EQ(Last(base_ + "/ha/siren/state")["state"], "ON");

    // Home Assistant's number: the threshold tool's report, answered once
    // the tower reports the value back; the top of the range is raw 220.
    r = Command(base_ + "/ha/threshold/set", "23.9");
    EXPECT_EQ(r, json({{"topic", base_ + "/ha/threshold/set"},
                       {"code", 200},
                       {"tower", "lab-hidraw-virtual0"},
                       {"switchingThreshold", {{"raw", 220}, {"volts", 220 * 0.10875}, {"text", "23.9"}}}}));
    EXPECT_EQ(OnTower([] { return Tower().config().switchingThreshold; }), 220);
    ASSERT_TRUE(client_.WaitFor([&](const auto& all) { return LastIn(all, base_ + "/ha/threshold/state") == json(23.9); }, 2s));
    // A value the tower reports already is answered without a report.
    const size_t sent = OnTower([] { return Tower().outputLog().size(); });
    r = Command(base_ + "/ha/threshold/set", "23.9");
    EXPECT_EQ(r["code"], 200) << r;
    EXPECT_EQ(OnTower([] { return Tower().outputLog().size(); }), sent);
}

TEST_F(MqttTest, BadMessagesGetTheirErrorAndALogLineAndNoneReachesTheTower)
{
    struct Case {
        std::string topic;  // under the tower's base
        std::string payload;
        int code;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"/segments/1/set", "{not json", 400, "The body is not JSON."},
        {"/segments/1/set", "[1]", 400, "The body must be a JSON object."},
        {"/segments/1/set", R"({"pattern": "Sparkle"})", 400, "No pattern 'Sparkle' for this segment: see /api/v1/patterns."},
        {"/segments/1/set", R"({"level": 300})", 400, "Level 300 % is beyond this pattern's scale."},
        {"/segments/1/set", R"({"level": -1})", 400, "Level -1 % is beyond this pattern's scale."},
        {"/segments/1/set", R"({"on": "yes"})", 400, "on must be true or false."},
        {"/segments/1/set", R"({"colour": "red"})", 400, "Unknown field 'colour': give pattern, level or on."},
        {"/segments/7/set", R"({"on": true})", 404, "No segment '7': give 1-5, sound, or a colour name the tower shows."},
        {"/segments/1/level/set", "-5", 400, "level must be a whole number of percent."},
        {"/segments/1/level/set", "1e2", 400, "level must be a whole number of percent."},
        {"/segments/1/on/set", "maybe", 400, "on takes ON or OFF."},
        {"/ha/light1/set", R"({"state": "BLINK"})", 400, "state must be \"ON\" or \"OFF\"."},
        {"/ha/light1/set", R"({"brightness": 101})", 400, "Level 101 % is beyond this pattern's scale."},
        {"/ha/light1/set", R"({"brightness": "high"})", 400, "brightness must be a whole number from 0 to 100."},
        {"/ha/light1/set", R"({"effect": "Disco"})", 400, "No pattern 'Disco' for this segment: see /api/v1/patterns."},
        {"/ha/light1/set", R"({"transition": 2})", 400, "Give at least one of state, brightness and effect."},
        {"/ha/siren/set", R"({"state": "ON", "volume_level": 2})", 400, "volume_level must be a number from 0 to 1."},
        {"/ha/siren/set", R"({"tone": "Kazoo"})", 400, "No pattern 'Kazoo' for this segment: see /api/v1/patterns."},
        {"/ha/siren/set", "LOUD", 400, "The message is not a JSON object (or ON / OFF)."},
        {"/segments/1/set", std::string(20000, ' '), 413, "The message is too large."},
        {"/ha/light6/set", R"({"state": "ON"})", 404, "Unknown topic 'kestrivane/lab-hidraw-virtual0/ha/light6/set'."},
        {"/ha/threshold/set", "twelve", 400, "The switching threshold must be a number of volts from 2.2 to 23.9."},
        {"/ha/threshold/set", "nan", 400, "The switching threshold must be a number of volts from 2.2 to 23.9."},
        {"/ha/threshold/set", "1e400", 400, "The switching threshold must be a number of volts from 2.2 to 23.9."},
        {"/ha/threshold/set", "2.1", 400, "The switching threshold must be a number of volts from 2.2 to 23.9."},
        {"/ha/threshold/set", "24", 400, "The switching threshold must be a number of volts from 2.2 to 23.9."},
        {"/ha/firmware/set", "INSTALL", 400, "The firmware takes only \"install\"."},
        {"/ha/inputs/set", "12.5", 404, "Unknown topic 'kestrivane/lab-hidraw-virtual0/ha/inputs/set'."},
        {"/segments/1", R"({"on": true})", 404, "Unknown topic 'kestrivane/lab-hidraw-virtual0/segments/1'."},
    };
    const size_t logBefore = OnTower([] { return Tower().outputLog().size(); });
    for (const Case& k : cases) {
        const json r = Command(base_ + k.topic, k.payload);
        EXPECT_EQ(r, json({{"topic", base_ + k.topic}, {"code", k.code}, {"error", k.error}})) << k.topic;
    }
    // A command for a tower this service does not hold is another's: no answer.
    const size_t from = client_.count();
    ASSERT_TRUE(client_.Publish("kestrivane/elsewhere-1/segments/1/set", R"({"on": true})"));
    ReceivedMessage m;
    EXPECT_FALSE(client_.Next("kestrivane/elsewhere-1/result", from, m, 300ms));
    EXPECT_EQ(OnTower([] { return Tower().outputLog().size(); }), logBefore);

    bridge_->Stop();
    const std::string log = log_.str();
    for (const Case& k : cases)
        EXPECT_NE(log.find("kestrivaned: mqtt: refused " + base_ + k.topic + ": " + k.error + "\n"), std::string::npos)
            << k.topic;
}

TEST_F(MqttTest, TheFirmwareEntitysInstallRunsTheUpdateOnceAndItsProgressShowsInTheFirmwareState)
{
    const std::string topic = base_ + "/ha/firmware/set";
    EXPECT_EQ(Command(topic, "install"),
              json({{"topic", topic}, {"code", 202}, {"tower", "lab-hidraw-virtual0"}, {"update", "started"}, {"events", "/api/v1/events"}}));
    EXPECT_EQ(Command(topic, "install"), json({{"topic", topic}, {"code", 409}, {"error", "A firmware update of the tower runs."}}));
    // In progress with the tower available, then done; the tower comes
    // back in step on the flashed firmware.
    std::string availability;  // as the update showed in progress
    std::vector<bool> progress;
    ASSERT_TRUE(client_.WaitFor(
        [&](const auto& all) {
            progress.clear();
            for (const ReceivedMessage& m : all) {
                if (m.topic == base_ + "/availability" && progress.empty())
                    availability = m.payload;
                if (m.topic == base_ + "/ha/firmware/state") {
                    const bool p = json::parse(m.payload).at("in_progress").get<bool>();
                    if (progress.empty() ? p : progress.back() != p)
                        progress.push_back(p);
                }
            }
            return progress.size() == 2;
        },
        60s));
    EXPECT_EQ(availability, "online");
    ASSERT_TRUE(client_.WaitFor([&](const auto&) { return service_->snapshot()->Find("1")->condition == TowerCondition::Online; }, 5s));
    ASSERT_TRUE(client_.WaitFor([&](const auto& all) { return LastIn(all, base_ + "/state") == Status(); }, 5s));
    EXPECT_EQ(OnTower([] { return sim::TheVirtualUsb().bootloaderOf(0).erases(); }), 1);
}

TEST_F(MqttTest, AfterTheBrokerRestartsAndWhenHomeAssistantStartsEverythingIsSentAgain)
{
    broker_.Stop();
    ASSERT_TRUE(broker_.Start());  // without persistence: nothing retained is left
    test::TestClient after;
    ASSERT_TRUE(after.Connect(broker_.port()));
    ASSERT_TRUE(after.Subscribe("kestrivane/#"));
    ASSERT_TRUE(after.Subscribe("homeassistant/device/#"));
    ReceivedMessage m;
    ASSERT_TRUE(after.Next("kestrivane/services/lab/availability", 0, m, 8s));
    EXPECT_EQ(m.payload, "online");
    ASSERT_TRUE(after.Next(base_ + "/state", 0, m, 3s));
    EXPECT_EQ(json::parse(m.payload), Status());
    // Commands are taken again: the subscriptions came back too.
    const size_t from = after.count();
    ASSERT_TRUE(after.Publish(base_ + "/segments/2/on/set", "ON"));
    ASSERT_TRUE(after.Next(base_ + "/result", from, m, 5s));
    EXPECT_EQ(json::parse(m.payload)["code"], 200) << m.payload;
    ASSERT_TRUE(after.WaitFor([&](const auto& all) { return LastIn(all, base_ + "/state") == Status(); }, 2s));

    // Home Assistant started: the configuration first, then the states.
    const std::string topic = "homeassistant/device/kestrivane_lab-hidraw-virtual0/config";
    ASSERT_TRUE(after.Publish(topic, "", true));
    const size_t before = after.count();
    ASSERT_TRUE(after.Publish("homeassistant/status", "online"));
    ASSERT_TRUE(after.Next(base_ + "/ha/firmware/state", before, m, 3s));
    // The republished configuration (not the test's own empty one), then
    // the tower's availability, then its state.
    const auto all = after.messages();
    std::vector<std::string> seen;
    for (size_t i = before; i < all.size(); ++i) {
        const bool config = all[i].topic == topic && !all[i].payload.empty();
        if (seen.empty() ? config : all[i].topic == base_ + "/availability" || all[i].topic == base_ + "/state")
            seen.push_back(all[i].topic);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{topic, base_ + "/availability", base_ + "/state"}));
    EXPECT_EQ(json::parse(all.back().payload)["installed_version"], "2.8");
}

}  // namespace
}  // namespace kv::service
