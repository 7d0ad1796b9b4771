// Port mapping: which colour segment (and whether the sound segment) each of
// the Base Controller's five input ports switches. The working state lives for
// the whole run; the dialog only shows it and forwards the user's actions.
//
// Ports are numbered 0..4 here (input ports 1..5), columns by colour index
// 1..5 (Red, Yellow, Green, Blue, White), list items 0..5 (0 = no segment).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "device/device_state.h"
#include "tools/tool_common_logic.h"

namespace kv {

constexpr int kInputPorts = 5;
constexpr int kMapColumns = 5;
constexpr int kMapItems = 6;
constexpr uint8_t kAcousticFlag = 0x80;
constexpr uint32_t kPortMapSendWaitMs = 500;
constexpr int kPortMapVerifyPeriodMs = 1000;
// Ticks that may pass unconfirmed; the next one reports the failure.
constexpr uint8_t kPortMapVerifyLimit = 10;

extern const char* const kPortMapHeadings[kMapColumns];  // "RED" ... "WHITE"
extern const char* const kPortMapNoSegmentItem;          // item 0 of every list
extern const char* const kPortMapPleaseWait;
extern const char* const kPortMapSameAddresses;
extern const char* const kPortMapSuccess;
extern const char* const kPortMapFailed;

struct PortMappingState {
    // [port][column - 1]: the item the list shows.
    std::array<std::array<uint8_t, kMapColumns>, kInputPorts> cellNumber{};
    // Address code sent for each port (0 = none).
    std::array<uint8_t, kInputPorts> portCode{8, 13, 18, 23, 28};
    // 0x00 or 0x80 per port, ready to be ORed into the map byte.
    std::array<uint8_t, kInputPorts> portAcousticBit{};
    std::array<uint8_t, kInputPorts> acousticBaseline{};
    // Kept between openings; cleared only when a report goes out.
    std::array<uint8_t, kInputPorts> acousticChanged{};
    uint8_t statusTone = kToneNeutral;  // kept
    uint8_t verifyTicks = 0;            // kept

    // What the dialog shows.
    std::string messageLine;
    std::string statusText;
    bool verifyTimerRunning = false;
    bool sendEnabled = true;
};

// The program's one instance.
PortMappingState& ThePortMappingState();

// Red 1, Yellow 1, Green 1, Blue 1, White 1 on input ports 1..5: the codes
// the main window presets at start.
void PresetPortCodes(PortMappingState& m);

// Text of item 0..5 in the list of a port and column ("" when out of range).
const char* PortMapItemText(int port, int column, int item);
// "Red 2 already assigned!  Please choose another colour." and the like.
std::string AlreadyAssignedText(int column, int n);

// Opening: derives the grid, the codes and the boxes from the reported map.
void OpenPortMapping(PortMappingState& m, const DeviceState& s, bool linkOpen);

// Rows whose cell in this column holds the same non-zero number as this
// port's cell (this port included); 0 when that cell is 0.
int CountInColumn(const PortMappingState& m, int port, int column);

// The user chose an item; false when the choice was refused (the cell keeps
// its previous item and the message line names the address in use).
bool SelectCell(PortMappingState& m, int port, int column, int item);

// The user clicked the Acoustic box of a port.
void ClickAcoustic(PortMappingState& m, int port);

// Any port's code differs from the reported one.
bool MappingDiffers(const PortMappingState& m, const DeviceState& s);
// Any Acoustic box was clicked since the last report went out.
bool AnyAcousticChanged(const PortMappingState& m);
// The reported map holds what the dialog sends: every port's code and its
// acoustic flag.
bool MapConfirmed(const PortMappingState& m, const DeviceState& s);

// "Send to Base": sends the map when something changed (true) or answers
// "Same addresses!" (false). Waits 500 ms either way.
bool SendToBase(PortMappingState& m, const DeviceState& s, const ToolIo& io);

// One tick of the 1000 ms verification timer: success once the reported map
// holds the sent codes and acoustic flags, failure on the 11th tick without.
void PortMappingVerifyTick(PortMappingState& m, const DeviceState& s);

}  // namespace kv
