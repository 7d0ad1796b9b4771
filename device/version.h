// The program's version byte and how version bytes are shown.
#pragma once

#include <cstdint>
#include <string>

namespace kv {

// Version of the program and of the firmware file it ships; a connected Base
// Controller running another firmware version is offered an update.
constexpr uint8_t ProgramVersion = 28;
// The same version ready for display.
constexpr const char* kProgramVersionText = "2.8";

// Tens digit, point, units digit: 28 -> "2.8", 7 -> "0.7". Values of 100 and
// above keep every digit before the point: 100 -> "10.0", 255 -> "25.5".
std::string FormatVersion(uint8_t v);

}  // namespace kv
