#include "session/tower_report.h"

#include <cstdio>
#include <sstream>

#include "device/version.h"
#include "session/info_values.h"
#include "session/tower_session.h"
#include "tools/switching_threshold_logic.h"

namespace kv {

namespace {

using nlohmann::json;

std::size_t Index(int row)
{
    return static_cast<std::size_t>(row);
}

json Version(const std::optional<uint8_t>& version)
{
    return version ? json(FormatVersion(*version)) : json(nullptr);
}

// Segments show their firmware as the plain version byte, as Info does.
json SegmentFirmware(const std::optional<uint8_t>& version)
{
    return version ? json(std::to_string(*version)) : json(nullptr);
}

const char* ColourWordOf(uint8_t address)
{
    const int colour = ColourIndexOfAddress(address);
    return colour >= 0 ? kColourWords[colour] : "";
}

json SegmentJson(const TowerSession& session, const ShownVersions& versions, int row)
{
    const DeviceState& s = session.state();
    const PatternTables& t = session.patterns();
    const std::size_t r = Index(row);
    const uint8_t address = s.segmentAddress[r];
    const bool sound = row == kSoundRow;
    const bool present = session.SegmentPresent(row);
    json j;
    if (!sound)
        j["position"] = row + 1;
    j["present"] = present;
    if (!present)
        return j;
    const uint8_t code = s.patternCode[r];
    j["name"] = AddressLabel(address);
    j["colour"] = ColourWordOf(address);
    j["address"] = address;
    j["patternCode"] = code;
    j["pattern"] = TrimmedName(sound ? BeepPatternName(code) : LightPatternName(code));
    // A colour row's level as the box shows it: a percentage of the 100 %
    // scale, up to 200 on a boosted pattern. The sound row's box is taken as
    // the panel shows it, since tones and melodies count differently.
    const std::optional<int> level =
        sound ? session.LevelPercent(row) : std::optional<int>(BrightnessPercent(s.level[r]));
    j["level"] = level ? json(*level) : json(nullptr);
    j["levelRaw"] = s.level[r];
    if (!sound)
        j["boost"] = t.boost[code][r] != 0;
    j["on"] = OnStateOfRow(s, row) != 0;
    j["firmware"] = SegmentFirmware(versions.firmware[r]);
    j["hardware"] = Version(versions.hardware[r]);
    return j;
}

std::string Or(const json& j, const char* fallback)
{
    if (j.is_null())
        return fallback;
    if (j.is_string())
        return j.get<std::string>();
    return j.dump();
}

}  // namespace

std::string TrimmedName(const std::string& name)
{
    const auto end = name.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : name.substr(0, end + 1);
}

json StatusJson(const TowerSession& session)
{
    const DeviceState& s = session.state();
    const ShownVersions versions = session.Versions();
    json j;
    j["baseController"] = {
        {"firmware", Version(versions.baseFirmware)},
        {"hardware", FormatVersion(s.hardwareVersion[kBaseControllerSlot])},
        {"programFirmware", kProgramVersionText},
    };
    json segments = json::array();
    for (int row = 0; row < kColourRows; ++row)
        segments.push_back(SegmentJson(session, versions, row));
    j["segments"] = segments;
    j["sound"] = SegmentJson(session, versions, kSoundRow);
    json ports = json::array();
    for (int p = 0; p < 5; ++p) {
        const uint8_t colour = s.portMapColour[Index(p)];
        ports.push_back({{"port", p + 1},
                         {"colourAddress", colour},
                         {"colour", colour != 0 ? json(AddressLabel(colour)) : json(nullptr)},
                         {"acoustic", s.portMapAcoustic[Index(p)] != 0}});
    }
    j["ports"] = ports;
    if (const std::optional<uint8_t> raw = session.SwitchingThreshold())
        j["switchingThreshold"] = {
            {"raw", *raw}, {"volts", ThresholdVolts(*raw)}, {"text", FormatThreshold(*raw)}};
    else
        j["switchingThreshold"] = nullptr;
    return j;
}

std::string StatusText(const json& status)
{
    std::ostringstream o;
    const json& base = status["baseController"];
    o << "Base Controller: firmware " << Or(base["firmware"], "n/a") << ", hardware "
      << Or(base["hardware"], "n/a") << "\n";
    o << "Segments (bottom up):\n";
    char line[160];
    auto row = [&](const std::string& where, const json& seg) {
        if (!seg["present"].get<bool>()) {
            std::snprintf(line, sizeof line, "  %-6s -\n", where.c_str());
            o << line;
            return;
        }
        std::snprintf(line, sizeof line,
                      "  %-6s %-11s address %-3d %-26s %4s %%  %-3s  firmware %s, hardware %s\n",
                      where.c_str(), seg["name"].get<std::string>().c_str(), seg["address"].get<int>(),
                      seg["pattern"].get<std::string>().c_str(), Or(seg["level"], "?").c_str(),
                      seg["on"].get<bool>() ? "on" : "off", Or(seg["firmware"], "n/a").c_str(),
                      Or(seg["hardware"], "n/a").c_str());
        o << line;
    };
    for (const json& seg : status["segments"])
        row(std::to_string(seg["position"].get<int>()), seg);
    row("sound", status["sound"]);
    o << "Port map:";
    for (const json& p : status["ports"]) {
        o << "  " << p["port"].get<int>() << ": " << Or(p["colour"], "-");
        if (p["acoustic"].get<bool>())
            o << " + sound";
    }
    o << "\n";
    const json& threshold = status["switchingThreshold"];
    o << "Switching threshold: "
      << (threshold.is_null() ? std::string("not reported") : threshold["text"].get<std::string>() + " V")
      << "\n";
    return o.str();
}

json PatternsJson(const PatternTables& t)
{
    json colour = json::array();
    for (int code = 0; code < kLightPatternCount; ++code) {
        // The positions (1..5) where the pattern runs on the 200 % scale.
        json boost = json::array();
        for (int row = 0; row < kSoundRow; ++row)
            if (t.boost[Index(code)][Index(row)] != 0)
                boost.push_back(row + 1);
        colour.push_back(
            {{"code", code}, {"name", TrimmedName(t.lightPatterns[Index(code)].name)}, {"boost", boost}});
    }
    json sound = json::array();
    for (int code = 0; code < kBeepPatternCount; ++code)
        sound.push_back({{"code", code}, {"name", TrimmedName(t.beepPatterns[Index(code)].name)}});
    return {{"colour", colour}, {"sound", sound}};
}

std::string PatternsText(const json& patterns)
{
    std::ostringstream o;
    o << "Colour segments:\n";
    for (const json& p : patterns["colour"]) {
        o << "  " << p["name"].get<std::string>();
        const json& boost = p["boost"];
        if (boost.size() == static_cast<size_t>(kSoundRow)) {
            o << "  (200 %)";
        } else if (!boost.empty()) {
            o << "  (200 % at";
            for (size_t i = 0; i < boost.size(); ++i)
                o << (i == 0 ? " " : ", ") << boost[i].get<int>();
            o << ")";
        }
        o << "\n";
    }
    o << "Sound segment:\n";
    for (const json& p : patterns["sound"])
        o << "  " << p["name"].get<std::string>() << "\n";
    return o.str();
}

json ListJson(const std::vector<ListedDevice>& devices)
{
    json controllers = json::array();
    json loaders = json::array();
    for (const ListedDevice& d : devices) {
        if (d.bootloader) {
            loaders.push_back({{"path", d.path}});
            continue;
        }
        controllers.push_back(
            {{"path", d.path},
             {"serialNumber", d.serialNumber.empty() ? json(nullptr) : json(d.serialNumber)},
             {"accessible", d.accessible},
             {"firmware",
              d.firmware >= 0 ? json(FormatVersion(static_cast<uint8_t>(d.firmware))) : json(nullptr)}});
        // Only a tower another program holds says by whom.
        if (!d.heldBy.empty())
            controllers.back()["heldBy"] = d.heldBy;
    }
    return {{"baseControllers", controllers}, {"bootloaders", loaders}};
}

std::string ListText(const std::vector<ListedDevice>& devices)
{
    std::ostringstream o;
    for (const ListedDevice& d : devices) {
        if (d.bootloader) {
            o << "boot loader      " << d.path << "\n";
            continue;
        }
        o << "Base Controller  " << d.path;
        if (!d.serialNumber.empty())
            o << "  serial " << d.serialNumber;
        if (!d.heldBy.empty())
            o << "  (held by " << d.heldBy << ")";
        else if (!d.accessible)
            o << "  (not accessible)";
        else if (d.firmware >= 0)
            o << "  firmware " << FormatVersion(static_cast<uint8_t>(d.firmware));
        o << "\n";
    }
    return o.str();
}

}  // namespace kv
