// The broker options and ids: what a command line makes of them, without a broker.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "service/mqtt_config.h"
#include "service/mqtt_messages.h"
#include "service/tower_service.h"

namespace kv::service {
namespace {

TEST(MqttConfigTest, BrokerUrls)
{
    struct Case {
        std::string url;
        bool ok;
        std::string host;
        int port;
        bool tls;
    };
    const Case cases[] = {
        {"mqtt://broker.lan", true, "broker.lan", 1883, false},
        {"mqtts://broker.lan", true, "broker.lan", 8883, true},
        {"mqtt://10.0.0.5:1884/", true, "10.0.0.5", 1884, false},
        {"mqtts://[::1]:8884", true, "::1", 8884, true},
        {"mqtts://[::1]", true, "::1", 8883, true},
        {"http://broker.lan", false, "", 0, false},
        {"mqtt://", false, "", 0, false},
        {"mqtt://broker.lan:", false, "", 0, false},
        {"mqtt://broker.lan:0", false, "", 0, false},
        {"mqtt://broker.lan:65536", false, "", 0, false},
        {"mqtt://broker.lan:12x", false, "", 0, false},
        {"mqtt://user@broker.lan", false, "", 0, false},
        {"mqtt://[::1", false, "", 0, false},
        {"mqtt://[::1]x", false, "", 0, false},
    };
    for (const Case& k : cases) {
        MqttConfig c;
        std::string error;
        ASSERT_EQ(ParseBrokerUrl(k.url, c, error), k.ok) << k.url;
        if (!k.ok) {
            EXPECT_FALSE(error.empty()) << k.url;
            continue;
        }
        EXPECT_EQ(c.host, k.host) << k.url;
        EXPECT_EQ(c.port, k.port) << k.url;
        EXPECT_EQ(c.tls, k.tls) << k.url;
    }
}

TEST(MqttConfigTest, TowerIdsFitTopicsAndStayUnique)
{
    EXPECT_EQ(TopicId("AB12-x_9"), "AB12-x_9");
    EXPECT_EQ(TopicId("a/b+c#d e"), "a_b_c_d_e");
    const std::string longA = TopicId(std::string(80, 'a') + "1");
    const std::string longB = TopicId(std::string(80, 'a') + "2");
    EXPECT_EQ(longA.size(), 64u);
    EXPECT_NE(longA, longB);
    EXPECT_TRUE(IsTopicId(longA));

    MqttConfig c;
    c.name = "lab";
    c.towerIds = {{"/dev/hidraw3", "door"}, {"S-77", "hall"}};
    TowerView v;
    v.path = "/dev/hidraw0";
    EXPECT_EQ(MqttTowerId(c, v), "lab-hidraw0");  // no serial: the service's name and the path
    v.serialNumber = "N 123/4";
    EXPECT_EQ(MqttTowerId(c, v), "N_123_4");  // the serial alone is unique
    v.serialNumber = "S-77";
    EXPECT_EQ(MqttTowerId(c, v), "hall");
    v.serialNumber.clear();
    v.path = "/dev/hidraw3";
    EXPECT_EQ(MqttTowerId(c, v), "door");
}

TEST(MqttConfigTest, ArgumentsThatMakeNoConnectionAreRefusedAndThePasswordIsNeverInAText)
{
    const std::string file = ::testing::TempDir() + "/kv-mqtt-password";
    std::ofstream(file) << "hunter2-secret\r\nsecond line\n";
    MqttArguments ok;
    ok.url = "mqtts://broker.lan";
    ok.user = "site";
    ok.passwordFile = file;
    ok.name = "build/1";
    MqttConfig c;
    bool enabled = false;
    std::string error;
    ASSERT_TRUE(MakeMqttConfig(ok, c, enabled, error)) << error;
    EXPECT_TRUE(enabled);
    EXPECT_EQ(c.password, "hunter2-secret");
    EXPECT_EQ(c.name, "build_1");
    EXPECT_EQ(c.clientId, "kestrivaned-build_1");
    EXPECT_EQ(c.haStatusTopic, "homeassistant/status");
    EXPECT_EQ(c.ServiceAvailabilityTopic(), "kestrivane/services/build_1/availability");

    auto refused = [&](MqttArguments a) {
        MqttConfig r;
        std::string e;
        bool on = false;
        const bool made = MakeMqttConfig(a, r, on, e);
        EXPECT_EQ(e.find("hunter2"), std::string::npos) << e;
        return !made && !e.empty();
    };
    MqttArguments a = ok;
    a.user.clear();
    EXPECT_TRUE(refused(a)) << "a password without a user";
    a = ok;
    a.url = "mqtt://broker.lan";
    a.caFile = "/etc/ssl/ca.pem";
    EXPECT_TRUE(refused(a)) << "a CA file without TLS";
    a = ok;
    a.passwordFile = file + ".missing";
    EXPECT_TRUE(refused(a)) << "no password file";
    for (const std::string prefix : {"", "a/#", "a/+/b", "/a", "a/", "a//b"}) {
        a = ok;
        a.prefix = prefix;
        EXPECT_TRUE(refused(a)) << "prefix '" << prefix << "'";
    }
    a = ok;
    a.towerIds = {"/dev/hidraw0=no/slash"};
    EXPECT_TRUE(refused(a)) << "a tower id with a slash";
    a = MqttArguments{};
    a.user = "site";
    EXPECT_TRUE(refused(a)) << "broker options without --mqtt";
    std::remove(file.c_str());
}

TEST(MqttConfigTest, ARetainedCommandIsNeverCarriedOut)
{
    MqttConfig c;
    c.name = "lab";
    c.haStatusTopic = "homeassistant/status";
    Snapshot snap;
    TowerView v;
    v.id = "1";
    v.path = "/dev/hidraw0";
    v.condition = TowerCondition::Online;
    v.addresses = {8, 13, 18, 23, 28, 33};
    snap.towers.push_back(v);
    const MqttRequest live = CheckMqttMessage(c, snap, "kestrivane/lab-hidraw0/segments/1/on/set", "ON", false);
    EXPECT_EQ(live.kind, MqttRequest::Kind::Write);
    EXPECT_EQ(live.localId, "1");
    // Replayed by the broker at a (re)subscription: stale, so refused.
    const MqttRequest stale = CheckMqttMessage(c, snap, "kestrivane/lab-hidraw0/segments/1/on/set", "ON", true);
    EXPECT_EQ(stale.kind, MqttRequest::Kind::Refuse);
    EXPECT_EQ(stale.code, 400);
    // Its own retained state coming back, and another service's tower: nothing.
    EXPECT_EQ(CheckMqttMessage(c, snap, "kestrivane/lab-hidraw0/state", "{}", true).kind, MqttRequest::Kind::Ignore);
    EXPECT_EQ(CheckMqttMessage(c, snap, "kestrivane/other-hidraw0/segments/1/on/set", "ON", false).kind,
              MqttRequest::Kind::Ignore);
    EXPECT_EQ(CheckMqttMessage(c, snap, "homeassistant/status", "online", true).kind, MqttRequest::Kind::HaOnline);
    EXPECT_EQ(CheckMqttMessage(c, snap, "homeassistant/status", "offline", false).kind, MqttRequest::Kind::Ignore);
}

}  // namespace
}  // namespace kv::service
