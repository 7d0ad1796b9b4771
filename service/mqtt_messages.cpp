#include "service/mqtt_messages.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "device/version.h"
#include "service/http_api.h"

namespace kv::service {

using nlohmann::json;

namespace {

std::string Dump(const json& j)
{
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string Base(const MqttConfig& c, const std::string& id)
{
    return c.prefix + "/" + id;
}

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return s;
}

json Names(const json& patterns)
{
    json names = json::array();
    for (const json& p : patterns)
        names.push_back(p.at("name"));
    return names;
}

bool Present(const json& segment)
{
    return segment.is_object() && segment.value("present", false);
}

// A colour segment's level as Home Assistant's brightness: percent on a
// scale of 100 (a boosted pattern's level above 100 shows as full).
json Brightness(const json& segment)
{
    const json& level = segment.at("level");
    if (!level.is_number_integer())
        return nullptr;
    return std::min(level.get<int>(), 100);
}

json LightState(const json& segment)
{
    json s = {{"state", segment.value("on", false) ? "ON" : "OFF"},
              {"effect", segment.at("pattern")},
              {"color_mode", "brightness"}};
    if (const json b = Brightness(segment); !b.is_null())
        s["brightness"] = b;
    return s;
}

json SirenState(const json& sound)
{
    json s = {{"state", sound.value("on", false) ? "ON" : "OFF"}, {"tone", sound.at("pattern")}};
    if (sound.at("level").is_number_integer())
        s["volume_level"] = std::clamp(sound.at("level").get<int>(), 0, 100) / 100.0;
    return s;
}

std::string PortText(const json& port)
{
    std::string text = port.at("colour").is_string() ? port.at("colour").get<std::string>() : "-";
    if (port.value("acoustic", false))
        text += " + sound";
    return text;
}

// Home Assistant's JSON light command in the service's own words.
int LightBody(const json& j, json& body, std::string& text)
{
    if (j.contains("state")) {
        const json& s = j["state"];
        if (!s.is_string() || (s != "ON" && s != "OFF")) {
            text = "state must be \"ON\" or \"OFF\".";
            return 400;
        }
        body["on"] = s == "ON";
        if (s == "OFF")
            return 0;  // an off carries nothing else
    }
    if (j.contains("effect")) {
        if (!j["effect"].is_string()) {
            text = "effect must be a pattern name (a string).";
            return 400;
        }
        body["pattern"] = j["effect"];
    }
    if (j.contains("brightness")) {
        if (!j["brightness"].is_number_integer()) {
            text = "brightness must be a whole number from 0 to 100.";
            return 400;
        }
        body["level"] = j["brightness"];
    }
    if (body.empty()) {
        text = "Give at least one of state, brightness and effect.";
        return 400;
    }
    return 0;
}

// Home Assistant's siren command: a JSON object, or a plain ON / OFF.
int SirenBody(const std::string& payload, json& body, std::string& text)
{
    if (payload == "ON" || payload == "OFF") {
        body["on"] = payload == "ON";
        return 0;
    }
    const json j = json::parse(payload, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        text = "The message is not a JSON object (or ON / OFF).";
        return 400;
    }
    if (j.contains("state")) {
        const json& s = j["state"];
        if (!s.is_string() || (s != "ON" && s != "OFF")) {
            text = "state must be \"ON\" or \"OFF\".";
            return 400;
        }
        body["on"] = s == "ON";
        if (s == "OFF")
            return 0;
    }
    if (j.contains("tone")) {
        if (!j["tone"].is_string()) {
            text = "tone must be a tone name (a string).";
            return 400;
        }
        body["pattern"] = j["tone"];
    }
    if (j.contains("volume_level")) {
        const json& v = j["volume_level"];
        if (!v.is_number() || !(v.get<double>() >= 0.0 && v.get<double>() <= 1.0)) {
            text = "volume_level must be a number from 0 to 1.";
            return 400;
        }
        body["level"] = static_cast<int>(std::lround(v.get<double>() * 100.0));
    }
    if (body.empty()) {
        text = "Give at least one of state, tone and volume_level.";
        return 400;
    }
    return 0;
}

// One field's own topic: the payload as plain text.
int FieldBody(const std::string& field, const std::string& payload, json& body, std::string& text)
{
    if (field == "pattern") {
        body["pattern"] = payload;
        return 0;
    }
    if (field == "level") {
        if (payload.empty() || payload.size() > 3 ||
            payload.find_first_not_of("0123456789") != std::string::npos) {
            text = "level must be a whole number of percent.";
            return 400;
        }
        body["level"] = std::stoi(payload);
        return 0;
    }
    const std::string v = Lower(payload);
    if (v == "on" || v == "true" || v == "1")
        body["on"] = true;
    else if (v == "off" || v == "false" || v == "0")
        body["on"] = false;
    else {
        text = "on takes ON or OFF.";
        return 400;
    }
    return 0;
}

// What the firmware entity sends to install.
constexpr const char* kInstall = "install";

std::vector<std::string> Split(const std::string& s)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t slash = s.find('/', start);
        parts.push_back(s.substr(start, slash - start));
        if (slash == std::string::npos)
            return parts;
        start = slash + 1;
    }
}

}  // namespace

std::string DiscoveryTopic(const MqttConfig& c, const std::string& id)
{
    return c.haPrefix + "/device/kestrivane_" + id + "/config";
}

json DiscoveryConfig(const MqttConfig& c, const std::string& id, const json& status)
{
    const std::string base = Base(c, id);
    // Entity ids take only lower-case letters, digits and '_'.
    std::string entity = Lower("kestrivane_" + id);
    std::replace(entity.begin(), entity.end(), '-', '_');
    const json& controller = status.at("baseController");
    json device = {{"identifiers", json::array({"kestrivane_" + id})},
                   {"name", "Nelo tower " + id},
                   {"model", "Nelo Base Controller"},
                   {"sw_version", controller.at("firmware")},
                   {"hw_version", controller.at("hardware")}};
    if (status.contains("serialNumber") && status["serialNumber"].is_string())
        device["serial_number"] = status["serialNumber"];
    const json patterns = PatternNamesJson();
    json components = json::object();
    for (const json& seg : status.at("segments")) {
        if (!Present(seg))
            continue;
        const std::string n = std::to_string(seg.at("position").get<int>());
        components["light" + n] = {{"platform", "light"},
                                   {"schema", "json"},
                                   {"name", seg.at("name")},
                                   {"unique_id", "kestrivane_" + id + "_light" + n},
                                   {"default_entity_id", "light." + entity + "_" + n},
                                   {"command_topic", base + "/ha/light" + n + "/set"},
                                   {"state_topic", base + "/ha/light" + n + "/state"},
                                   {"supported_color_modes", json::array({"brightness"})},
                                   {"brightness", true},
                                   {"brightness_scale", 100},
                                   {"effect", true},
                                   {"effect_list", Names(patterns.at("colour"))},
                                   {"flash", false},
                                   {"transition", false}};
    }
    if (Present(status.at("sound")))
        components["siren"] = {{"platform", "siren"},
                               {"name", "Sound"},
                               {"unique_id", "kestrivane_" + id + "_siren"},
                               {"default_entity_id", "siren." + entity + "_sound"},
                               {"command_topic", base + "/ha/siren/set"},
                               {"state_topic", base + "/ha/siren/state"},
                               {"available_tones", Names(patterns.at("sound"))},
                               {"support_volume_set", true},
                               {"support_duration", false}};
    // The range the switching threshold tool offers, in the steps its
    // voltage text shows.
    components["threshold"] = {{"platform", "number"},
                               {"name", "Switching threshold"},
                               {"unique_id", "kestrivane_" + id + "_threshold"},
                               {"default_entity_id", "number." + entity + "_threshold"},
                               {"command_topic", base + "/ha/threshold/set"},
                               {"state_topic", base + "/ha/threshold/state"},
                               {"min", ThresholdMinVolts()},
                               {"max", ThresholdMaxVolts()},
                               {"step", 0.1},
                               {"mode", "slider"},
                               {"device_class", "voltage"},
                               {"unit_of_measurement", "V"},
                               {"entity_category", "config"}};
    components["inputs"] = {{"platform", "sensor"},
                            {"name", "Input map"},
                            {"unique_id", "kestrivane_" + id + "_inputs"},
                            {"default_entity_id", "sensor." + entity + "_inputs"},
                            {"state_topic", base + "/ha/inputs/state"},
                            {"json_attributes_topic", base + "/ha/inputs/attributes"},
                            {"entity_category", "diagnostic"}};
    components["firmware"] = {{"platform", "update"},
                              {"name", "Firmware"},
                              {"unique_id", "kestrivane_" + id + "_firmware"},
                              {"default_entity_id", "update." + entity + "_firmware"},
                              {"state_topic", base + "/ha/firmware/state"},
                              {"command_topic", base + "/ha/firmware/set"},
                              {"payload_install", kInstall},
                              {"device_class", "firmware"},
                              {"entity_category", "config"}};
    return {{"device", device},
            {"origin", {{"name", "kestrivaned"}, {"sw_version", kProgramVersionText}}},
            {"availability",
             json::array({{{"topic", c.ServiceAvailabilityTopic()}}, {{"topic", base + "/availability"}}})},
            {"availability_mode", "all"},
            {"qos", 1},
            {"components", components}};
}

std::vector<MqttMessage> TowerMessages(const MqttConfig& c, const std::string& id, const TowerView& tower,
                                       const json& status)
{
    const std::string base = Base(c, id);
    std::vector<MqttMessage> out;
    json shown = status;
    if (shown.is_object()) {
        shown.erase("id");
        shown.erase("state");
        json withSerial = shown;
        if (!tower.serialNumber.empty())
            withSerial["serialNumber"] = tower.serialNumber;
        out.push_back({DiscoveryTopic(c, id), Dump(DiscoveryConfig(c, id, withSerial))});
    }
    // While its firmware update runs the tower stays available, so that
    // Home Assistant shows the update in progress.
    const bool updating = tower.condition == TowerCondition::Updating;
    out.push_back({base + "/availability",
                   tower.condition == TowerCondition::Online || updating ? "online" : "offline"});
    if (!shown.is_object())
        return out;
    out.push_back({base + "/state", Dump(shown)});
    for (const json& seg : shown.at("segments"))
        if (Present(seg))
            out.push_back({base + "/ha/light" + std::to_string(seg.at("position").get<int>()) + "/state",
                           Dump(LightState(seg))});
    if (Present(shown.at("sound")))
        out.push_back({base + "/ha/siren/state", Dump(SirenState(shown.at("sound")))});
    const json& threshold = shown.at("switchingThreshold");
    if (threshold.is_object())
        out.push_back({base + "/ha/threshold/state", threshold.at("text").get<std::string>()});
    std::string summary;
    json attributes = json::object();
    for (const json& p : shown.at("ports")) {
        const std::string n = std::to_string(p.at("port").get<int>());
        summary += (summary.empty() ? "" : ", ") + n + ": " + PortText(p);
        attributes["input_" + n] = PortText(p);
    }
    out.push_back({base + "/ha/inputs/state", summary});
    out.push_back({base + "/ha/inputs/attributes", Dump(attributes)});
    const json& controller = shown.at("baseController");
    out.push_back({base + "/ha/firmware/state", Dump({{"installed_version", controller.at("firmware")},
                                                      {"latest_version", controller.at("programFirmware")},
                                                      {"title", "Base Controller firmware"},
                                                      {"in_progress", updating}})});
    return out;
}

MqttRequest CheckMqttMessage(const MqttConfig& c, const Snapshot& snapshot, const std::string& topic,
                             const std::string& payload, bool retained)
{
    MqttRequest r;
    if (topic == c.haStatusTopic) {
        if (payload == "online")
            r.kind = MqttRequest::Kind::HaOnline;
        return r;
    }
    const std::string head = c.prefix + "/";
    if (topic.size() > kMqttTopicMax || topic.rfind(head, 0) != 0)
        return r;
    const std::vector<std::string> parts = Split(topic.substr(head.size()));
    const TowerView* tower = nullptr;
    for (const TowerView& v : snapshot.towers)
        if (MqttTowerId(c, v) == parts[0])
            tower = &v;
    if (tower == nullptr)
        return r;  // another service's tower, or none
    r.towerId = parts[0];
    r.localId = tower->id;
    const size_t n = parts.size();
    // What the service publishes under the tower comes back to it.
    if (n == 2 && (parts[1] == "state" || parts[1] == "availability" || parts[1] == "result"))
        return r;
    if (n == 4 && parts[1] == "ha" && (parts[3] == "state" || parts[3] == "attributes"))
        return r;

    r.kind = MqttRequest::Kind::Refuse;
    r.code = 400;
    if (retained) {
        r.error = "A retained command is not carried out: publish commands without retain.";
        return r;
    }
    if (payload.size() > kMqttPayloadMax) {
        r.code = 413;
        r.error = "The message is too large.";
        return r;
    }
    std::string segment;
    std::string body;
    json fields = json::object();
    int refused = 0;
    if (n == 4 && parts[1] == "segments" && parts[3] == "set") {
        segment = parts[2];
        body = payload;
    } else if (n == 5 && parts[1] == "segments" && parts[4] == "set" &&
               (parts[3] == "pattern" || parts[3] == "level" || parts[3] == "on")) {
        segment = parts[2];
        refused = FieldBody(parts[3], payload, fields, r.error);
        body = Dump(fields);
    } else if (n == 4 && parts[1] == "ha" && parts[3] == "set" && parts[2].size() == 6 &&
               parts[2].rfind("light", 0) == 0 && parts[2][5] >= '1' && parts[2][5] <= '5') {
        segment = parts[2].substr(5);
        const json j = json::parse(payload, nullptr, false);
        if (j.is_discarded() || !j.is_object()) {
            r.error = "The message is not a JSON object.";
            return r;
        }
        refused = LightBody(j, fields, r.error);
        body = Dump(fields);
    } else if (n == 4 && parts[1] == "ha" && parts[2] == "siren" && parts[3] == "set") {
        segment = "sound";
        refused = SirenBody(payload, fields, r.error);
        body = Dump(fields);
    } else if (n == 4 && parts[1] == "ha" && parts[2] == "threshold" && parts[3] == "set") {
        // Plain numeric text, as Home Assistant's number sends it.
        r.code = CheckThresholdWrite(*tower, json::parse(payload, nullptr, false), r.threshold, r.error);
        if (r.code == 0)
            r.kind = MqttRequest::Kind::Threshold;
        return r;
    } else if (n == 4 && parts[1] == "ha" && parts[2] == "firmware" && parts[3] == "set") {
        if (payload != kInstall) {
            r.error = std::string("The firmware takes only \"") + kInstall + "\".";
            return r;
        }
        r.kind = MqttRequest::Kind::Update;
        r.code = 0;
        return r;
    } else {
        r.code = 404;
        r.error = "Unknown topic '" + LoggedTopic(topic) + "'.";
        return r;
    }
    if (refused != 0) {
        r.code = refused;
        return r;
    }
    const int status = CheckSegmentWrite(*tower, segment, body, r.write, r.error);
    if (status != 0) {
        r.code = status;
        return r;
    }
    r.kind = MqttRequest::Kind::Write;
    r.code = 0;
    return r;
}

MqttMessage ResultMessage(const MqttConfig& c, const std::string& towerId, const std::string& commandTopic,
                          const Answer& answer)
{
    json body = answer.body;
    if (body.contains("tower"))
        body["tower"] = towerId;
    body["topic"] = commandTopic;
    body["code"] = answer.status;
    return {Base(c, towerId) + "/result", Dump(body), false};
}

std::string LoggedTopic(const std::string& topic)
{
    std::string shown;
    for (char ch : topic.substr(0, 160))
        shown += static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f ? '?' : ch;
    if (topic.size() > 160)
        shown += "...";
    return shown;
}

}  // namespace kv::service
