#include "service/mqtt_config.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>

#include <CLI/CLI.hpp>

#include "service/tower_service.h"

namespace kv::service {

namespace {

constexpr size_t kTopicIdMax = 64;
constexpr size_t kPasswordMax = 4096;

bool IdChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// A topic prefix: one or more levels, none empty, no wildcards.
bool IsTopicPrefix(const std::string& p)
{
    if (p.empty() || p.size() > 128 || p.front() == '/' || p.back() == '/' ||
        p.find("//") != std::string::npos)
        return false;
    for (char c : p)
        if (c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20)
            return false;
    return true;
}

std::string HostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "kestrivaned";
    return name;
}

}  // namespace

std::string MqttConfig::ServiceAvailabilityTopic() const
{
    return prefix + "/services/" + name + "/availability";
}

std::string MqttConfig::Url() const
{
    const std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return std::string(tls ? "mqtts://" : "mqtt://") + h + ":" + std::to_string(port);
}

void AddMqttOptions(CLI::App& app, MqttArguments& args)
{
    app.add_option("--mqtt", args.url,
                   "publish the towers to this MQTT broker (mqtt://HOST:PORT or mqtts://HOST:PORT)")
        ->type_name("URL");
    app.add_option("--mqtt-user", args.user, "user name at the broker")->type_name("NAME");
    app.add_option("--mqtt-password-file", args.passwordFile, "file whose first line is the broker password")
        ->type_name("FILE");
    app.add_option("--mqtt-client-id", args.clientId, "MQTT client id (default kestrivaned-NAME)")
        ->type_name("ID");
    app.add_option("--mqtt-name", args.name,
                   "this service's name, unique on the site (default the host name)")
        ->type_name("NAME");
    app.add_option("--mqtt-prefix", args.prefix, "topic prefix (default kestrivane)")->type_name("PREFIX");
    app.add_option("--ha-prefix", args.haPrefix, "Home Assistant discovery prefix (default homeassistant)")
        ->type_name("PREFIX");
    app.add_option("--ha-status-topic", args.haStatusTopic,
                   "Home Assistant's status topic (default HA-PREFIX/status)")
        ->type_name("TOPIC");
    app.add_option("--mqtt-ca-file", args.caFile, "CA certificates for mqtts:// (default the system's)")
        ->type_name("FILE");
    app.add_option("--mqtt-tower-id", args.towerIds,
                   "the id of the tower with this serial number or path (repeatable)")
        ->type_name("SERIAL_OR_PATH=ID");
}

bool ParseBrokerUrl(const std::string& url, MqttConfig& config, std::string& error)
{
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        config.tls = false;
        config.port = 1883;
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        config.tls = true;
        config.port = 8883;
        rest = url.substr(8);
    } else {
        error = "--mqtt takes mqtt://HOST:PORT or mqtts://HOST:PORT";
        return false;
    }
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    std::string host = rest;
    std::string port;
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos) {
            error = "--mqtt: an IPv6 address needs its closing ']'";
            return false;
        }
        host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') {
                error = "--mqtt: a port follows the address after ':'";
                return false;
            }
            port = rest.substr(close + 2);
        }
    } else if (const size_t colon = rest.find(':'); colon != std::string::npos) {
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    }
    if (host.empty() || host.size() > 253 || host.find_first_of("/@?# ") != std::string::npos) {
        error = "--mqtt: no broker host in '" + url + "'";
        return false;
    }
    if (rest.find('[') == std::string::npos && rest.find(':') != std::string::npos && port.empty()) {
        error = "--mqtt: no port after ':'";
        return false;
    }
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(port) < 1 || std::stoi(port) > 65535) {
            error = "--mqtt: the port must be 1 to 65535, not '" + port + "'";
            return false;
        }
        config.port = std::stoi(port);
    }
    config.host = host;
    return true;
}

bool MakeMqttConfig(const MqttArguments& args, MqttConfig& config, bool& enabled, std::string& error)
{
    enabled = !args.url.empty();
    if (!enabled) {
        if (!args.user.empty() || !args.passwordFile.empty() || !args.caFile.empty()) {
            error = "the broker options need --mqtt";
            return false;
        }
        return true;
    }
    if (!ParseBrokerUrl(args.url, config, error))
        return false;
    if (!IsTopicPrefix(args.prefix) || !IsTopicPrefix(args.haPrefix)) {
        error = "a topic prefix is one or more topic levels without '+', '#' or empty levels";
        return false;
    }
    config.prefix = args.prefix;
    config.haPrefix = args.haPrefix;
    config.haStatusTopic = args.haStatusTopic.empty() ? args.haPrefix + "/status" : args.haStatusTopic;
    if (!IsTopicPrefix(config.haStatusTopic)) {
        error = "--ha-status-topic must be a topic without '+' or '#'";
        return false;
    }
    config.name = TopicId(args.name.empty() ? HostName() : args.name);
    config.clientId = args.clientId.empty() ? "kestrivaned-" + config.name : args.clientId;
    if (config.clientId.size() > 128) {
        error = "--mqtt-client-id is too long";
        return false;
    }
    config.user = args.user;
    if (!args.caFile.empty() && !config.tls) {
        error = "--mqtt-ca-file is for mqtts://";
        return false;
    }
    if (!args.caFile.empty() && !std::ifstream(args.caFile)) {
        error = "cannot read the CA file " + args.caFile;
        return false;
    }
    config.caFile = args.caFile;
    for (const std::string& t : args.towerIds) {
        const size_t eq = t.rfind('=');
        if (eq == std::string::npos || eq == 0 || !IsTopicId(t.substr(eq + 1))) {
            error = "--mqtt-tower-id takes SERIAL_OR_PATH=ID, the id of letters, digits, '_' and '-'";
            return false;
        }
        config.towerIds.emplace_back(t.substr(0, eq), t.substr(eq + 1));
    }
    if (!args.passwordFile.empty()) {
        // Only whether it could be read is said, never what it holds.
        std::ifstream in(args.passwordFile, std::ios::binary);
        std::string line;
        if (!in || !std::getline(in, line)) {
            error = "cannot read the password file " + args.passwordFile;
            return false;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() > kPasswordMax) {
            error = "the password in " + args.passwordFile + " is too long";
            return false;
        }
        if (config.user.empty()) {
            error = "--mqtt-password-file needs --mqtt-user";
            return false;
        }
        config.password = line;
    }
    return true;
}

std::string TopicId(const std::string& text)
{
    std::string id;
    for (char c : text)
        id += IdChar(c) ? c : '_';
    if (id.empty())
        id = "_";
    if (id.size() <= kTopicIdMax)
        return id;
    uint32_t h = 2166136261u;  // FNV-1a of the whole text
    for (unsigned char c : text)
        h = (h ^ c) * 16777619u;
    char tail[10];
    std::snprintf(tail, sizeof tail, "-%08x", h);
    return id.substr(0, kTopicIdMax - 9) + tail;
}

bool IsTopicId(const std::string& text)
{
    if (text.empty() || text.size() > kTopicIdMax)
        return false;
    for (char c : text)
        if (!IdChar(c))
            return false;
    return true;
}

std::string MqttTowerId(const MqttConfig& config, const TowerView& tower)
{
    for (const auto& [key, id] : config.towerIds)
        if ((!tower.serialNumber.empty() && key == tower.serialNumber) || key == tower.path)
            return id;
    if (!tower.serialNumber.empty())
        return TopicId(tower.serialNumber);
    std::string path = tower.path;
    if (path.rfind("/dev/", 0) == 0)
        path = path.substr(5);
    return TopicId(config.name + "-" + path);
}

}  // namespace kv::service
