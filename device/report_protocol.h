// The 9-byte HID reports: parsing input reports into DeviceState and building
// every output report.
//
// Frame, both directions: byte 0 is the report ID (always 0), bytes 1..7 the
// payload, byte 8 the report type. Every sender builds its frame with one of
// the builders below so the layouts live in one place.
#pragma once

#include <array>
#include <cstdint>

#include "device/device_state.h"

namespace kv {

using Report = std::array<uint8_t, 9>;

constexpr int kReportSize = 9;
constexpr int kReportTypeByte = 8;

// Output report types.
constexpr uint8_t kOutPatternFirst = 1;
constexpr uint8_t kOutPatternSecond = 2;
constexpr uint8_t kOutPortMapping = 3;
constexpr uint8_t kOutSwitch = 4;
constexpr uint8_t kOutAddressChange = 5;
constexpr uint8_t kOutHost = 6;
constexpr uint8_t kOutThreshold = 7;
constexpr uint8_t kOutBootloader = 0x7F;

// Markers in byte 7 of a type-4 report.
constexpr uint8_t kMarkerSwitch = 0xFF;
constexpr uint8_t kMarkerConnection = 0xAA;
constexpr uint8_t kMarkerState = 0x55;

// Map byte of an input port: bits 0..5 colour address, bit 7 acoustic.
constexpr uint8_t kMapColourMask = 0x3F;
constexpr uint8_t kMapAcousticBit = 0x80;

// Applies inputReport to the state. Types outside 1..8 change nothing, not
// even the reception bookkeeping. A type-3/4 report with a level high byte
// above 1 leaves all levels of that report unchanged.
void ParseInputReport(DeviceState& s);

// 0, b1..b8: the general frame.
Report MakeReport(uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5, uint8_t b6,
                  uint8_t b7, uint8_t b8);

// Type 1: address, param[0], param[1], pattern code, param[2..4].
Report BuildPatternFirstHalf(const RowCommand& c);
// Type 2. Colour row (row 0..4): param[5..10], c.row. Sound row (row 5):
// param[5..9], 0xFF, 0xFF. `row` is the position the command belongs to.
Report BuildPatternSecondHalf(const RowCommand& c, int row);

// Map byte from a colour address (0 = none, only bits 0..5 are kept) and the
// acoustic flag.
uint8_t MakeMapByte(uint8_t colourAddress, bool acoustic);
// Type 3: map bytes of input ports 1..5, 0, 0.
Report BuildPortMappingReport(const std::array<uint8_t, 5>& mapBytes);

// Type 4 variants: address, on/off, 0xFF x4, marker.
Report BuildSwitchReport(uint8_t address, uint8_t on);  // marker 0xFF
Report BuildConnectionReport(uint8_t address);          // marker 0xAA, off
Report BuildStateReport(uint8_t address, uint8_t on);   // marker 0x55

// Type 5: current address, new address, 0xFF x5.
Report BuildAddressChangeReport(uint8_t currentAddress, uint8_t newAddress);
// Type 6: 1 when the host connects, 0 when it disconnects; 0xFF x6.
Report BuildHostReport(bool connected);
// Type 7: raw threshold, 0xFF x6.
Report BuildThresholdReport(uint8_t raw);
// Type 0x7F: 0xFF x7; the Base Controller restarts into its boot loader.
Report BuildBootloaderReport();

}  // namespace kv
