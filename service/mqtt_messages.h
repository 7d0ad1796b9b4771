// What the service says on the broker and what it takes from it, as plain
// values: the retained messages that show a tower (Home Assistant's
// discovery configuration, availability, the states), and the check of a
// message that arrived, which turns a command into the same write an HTTP
// request gives, or into its refusal. Pure functions: the bridge only
// moves their results over the connection.
//
// Topics, under the prefix P (default kestrivane) and a tower id T:
//   P/T/state                      retained, as `status --json`
//   P/T/availability               retained, online / offline
//   P/T/result                     the answer to every command
//   P/T/segments/S/set             {"pattern", "level", "on"}, S = 1-5, sound or a name
//   P/T/segments/S/FIELD/set       FIELD pattern (a name), level (percent), on (ON / OFF)
//   P/T/ha/lightN/set, .../state   Home Assistant's JSON light, N = 1-5
//   P/T/ha/siren/set, .../state    Home Assistant's siren (the sound segment)
//   P/T/ha/threshold/set, .../state   the switching threshold in volts
//   P/T/ha/inputs/state, .../attributes   the input port map (read only)
//   P/T/ha/firmware/set            install: the firmware update
//   P/T/ha/firmware/state          installed against the program's firmware
//   P/services/NAME/availability   the service itself, with its last will
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/mqtt_config.h"
#include "service/tower_service.h"

namespace kv::service {

constexpr size_t kMqttPayloadMax = 16 * 1024;
constexpr size_t kMqttTopicMax = 512;

struct MqttMessage {
    std::string topic;
    std::string payload;
    bool retain = true;
    bool operator==(const MqttMessage&) const = default;
};

// The retained messages of one tower in the order they are to be sent:
// its discovery configuration, its availability, its states. `status` is
// the tower's latest `status --json` (null before it was first in step:
// then only its availability).
std::vector<MqttMessage> TowerMessages(const MqttConfig& config, const std::string& id,
                                       const TowerView& tower, const nlohmann::json& status);
// Home Assistant's device configuration of a tower.
nlohmann::json DiscoveryConfig(const MqttConfig& config, const std::string& id, const nlohmann::json& status);
std::string DiscoveryTopic(const MqttConfig& config, const std::string& id);

// What a message that arrived asks for.
struct MqttRequest {
    enum class Kind {
        Ignore,     // not for this service (its own publications, another service's towers)
        HaOnline,   // Home Assistant started: send the configurations again
        Refuse,     // answered with `error` and `code` on the tower's result topic
        Write,      // `write` for the service's tower `localId`
        Threshold,  // the switching threshold `threshold` for it
        Update,     // its firmware update
    };
    Kind kind = Kind::Ignore;
    std::string towerId;  // on the broker; empty when no result can be sent
    std::string localId;  // the service's id of the tower
    SegmentWrite write;
    uint8_t threshold = 0;
    int code = 0;
    std::string error;
};

// Checks one message against the snapshot. Nothing in it is trusted: topic
// and payload are bounded, every field is checked as an HTTP write is.
MqttRequest CheckMqttMessage(const MqttConfig& config, const Snapshot& snapshot, const std::string& topic,
                             const std::string& payload, bool retained);

// The answer to a command, for P/T/result.
MqttMessage ResultMessage(const MqttConfig& config, const std::string& towerId,
                          const std::string& commandTopic, const Answer& answer);

// A topic cut to a printable length for a log line.
std::string LoggedTopic(const std::string& topic);

}  // namespace kv::service
