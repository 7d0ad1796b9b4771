// The values the Info dialog shows, taken from DeviceState when it opens.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "device/device_state.h"

namespace kv {

// The versions the Info dialog shows, as version bytes; none where it shows
// "n/a". Rows 0..4 colour segments 1..5, row 5 the sound segment.
struct ShownVersions {
    std::array<std::optional<uint8_t>, 6> firmware;
    std::array<std::optional<uint8_t>, 6> hardware;
    std::optional<uint8_t> baseFirmware;
};
ShownVersions CollectShownVersions(const DeviceState& s);

struct InfoValues {
    // Rows 0..4 colour segments 1..5, row 5 the sound segment.
    std::array<std::string, 6> firmware;
    std::array<std::string, 6> hardware;
    std::string baseFirmware;
    std::string programVersion;
};

// "n/a" for everything the tower does not show right now (the link closed or
// the last read failed, or a position without a recognised segment).
InfoValues CollectInfoValues(const DeviceState& s);

}  // namespace kv
