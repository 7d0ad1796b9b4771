// The broker connection as the command line gives it, and the names the
// service goes by on the broker: topic ids made only of [A-Za-z0-9_-], so
// they fit both MQTT topic levels and Home Assistant's discovery topics.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace CLI {
class App;
}

namespace kv::service {

struct TowerView;

struct MqttConfig {
    std::string host;
    int port = 1883;
    bool tls = false;
    std::string caFile;  // empty with TLS: the system's certificates
    std::string user;
    std::string password;  // from the password file; never logged
    std::string clientId;
    std::string name;  // this service, unique on the site
    std::string prefix = "kestrivane";
    std::string haPrefix = "homeassistant";
    std::string haStatusTopic;  // Home Assistant's birth topic
    // A configured id per tower, by serial number or device path.
    std::vector<std::pair<std::string, std::string>> towerIds;
    int keepAliveSeconds = 30;
    int reconnectMinSeconds = 1;
    int reconnectMaxSeconds = 30;

    // The topic of this service's own availability (its last will).
    std::string ServiceAvailabilityTopic() const;
    // "mqtt://host:port" or "mqtts://host:port", for the log.
    std::string Url() const;
};

// What the command line gave, before it is checked.
struct MqttArguments {
    std::string url;
    std::string user;
    std::string passwordFile;
    std::string clientId;
    std::string name;
    std::string prefix = "kestrivane";
    std::string haPrefix = "homeassistant";
    std::string haStatusTopic;
    std::string caFile;
    std::vector<std::string> towerIds;  // SERIAL_OR_PATH=ID
};

void AddMqttOptions(CLI::App& app, MqttArguments& args);
// False with `error` when the arguments do not make a connection (no URL
// given is no connection and no error: `enabled` stays false).
bool MakeMqttConfig(const MqttArguments& args, MqttConfig& config, bool& enabled, std::string& error);

// "mqtt://host[:port]" or "mqtts://host[:port]" into host, port and TLS.
bool ParseBrokerUrl(const std::string& url, MqttConfig& config, std::string& error);
// `text` with every character outside [A-Za-z0-9_-] turned into '_', at
// most 64 characters (a longer text is cut and ends in a hash of the whole).
std::string TopicId(const std::string& text);
// Whether `text` is a topic id as TopicId makes them.
bool IsTopicId(const std::string& text);
// A tower's id on the broker: the configured one, else its serial number,
// else this service's name with its device path.
std::string MqttTowerId(const MqttConfig& config, const TowerView& tower);

}  // namespace kv::service
