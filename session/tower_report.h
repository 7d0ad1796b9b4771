// What the front ends report about a tower: the status, the pattern names and
// the device list, each as JSON (the schema the README gives) and as text.
// kestrivane-cli prints them; kestrivaned answers and publishes them. Only
// what the tower reported and the window shows goes in; nothing here talks
// to a device.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/pattern_tables.h"

namespace kv {

class TowerSession;

// A pattern name without the blanks that pad it to its field.
std::string TrimmedName(const std::string& name);

// The whole tower as the session's panels and the Info dialog show it; the
// switching threshold null while none has been reported since open.
nlohmann::json StatusJson(const TowerSession& session);
std::string StatusText(const nlohmann::json& status);

// The names a colour segment and the sound segment accept, with their codes.
nlohmann::json PatternsJson(const PatternTables& t);
std::string PatternsText(const nlohmann::json& patterns);

// One attached device for `list`.
struct ListedDevice {
    bool bootloader = false;
    std::string path;
    std::string serialNumber;  // empty: the device has none
    int firmware = -1;         // Base Controller firmware version byte; -1 unknown
    bool accessible = true;    // false when it could not be opened
    std::string heldBy;        // the program holding it, when that is why
};
nlohmann::json ListJson(const std::vector<ListedDevice>& devices);
std::string ListText(const std::vector<ListedDevice>& devices);

}  // namespace kv
