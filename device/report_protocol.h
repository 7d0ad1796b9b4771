// The 9-byte HID reports: parsing input reports into DeviceState and building
// every output report.
#pragma once

#include <array>
#include <cstdint>

#include "device/device_state.h"

namespace kv {

using Report = std::array<uint8_t, 9>;

// Applies inputReport to the state (see the report table).
void ParseInputReport(DeviceState& s);

}  // namespace kv
