// DeviceState: the single record through which the program sees the tower.
//
// The report parser writes what the Base Controller reports; the poll cycle,
// the panels and the tool dialogs read it; the output panel and the send path
// keep the row commands in it. One instance exists for the run (TheDeviceState),
// passed by reference to whoever needs it, so a test can start from a fresh one.
#pragma once

#include <array>
#include <cstdint>

namespace kv {

// Positions 0..4 are "Color Segment 1".."Color Segment 5", position 5 is the
// "Sound Segment".
constexpr int kColourRows = 5;
constexpr int kRows = 6;
constexpr int kSoundRow = 5;
constexpr int kReportTypes = 8;

// Version slots: [0..4] colour segments, [5] Base Controller, [6] sound segment.
constexpr int kVersionSlots = 7;
constexpr int kBaseControllerSlot = 5;
constexpr int kSoundSegmentSlot = 6;

// Receptions of each type counted before a type counts as seen.
constexpr uint8_t kWarmUpCount = 3;

// Marks a row as never sent (and the shown copies as stale).
constexpr uint16_t kNeverSent = 0xFFF5;

// The only address at which the sound row is worked.
constexpr uint8_t kSoundAddress = 33;

struct RowCommand {
    uint8_t address = 0;
    uint8_t patternCode = 0;
    uint8_t row = 0;
    std::array<uint8_t, 11> param{};
};

struct DeviceState {
    DeviceState();

    // Filled from input reports.
    std::array<uint8_t, kRows> segmentAddress{};
    std::array<uint8_t, kRows> patternCode{};
    std::array<uint16_t, kRows> level{};
    std::array<uint8_t, kVersionSlots> firmwareVersion{};
    std::array<uint8_t, kVersionSlots> hardwareVersion{};
    uint8_t switchingThreshold = 99;
    std::array<uint8_t, 5> portMapColour{};
    std::array<uint8_t, 5> portMapAcoustic{};

    // Reception bookkeeping, index = type - 1.
    std::array<uint8_t, kReportTypes> receiveCount{};
    std::array<uint8_t, kReportTypes> reportSeen{};
    std::array<uint8_t, kReportTypes> reportSeenByTool{};

    // Host-side switch state by address. Sized for every byte value, so an
    // address the device reports can never index outside the table.
    std::array<uint8_t, 256> onState{};

    // Row commands for the send path.
    std::array<RowCommand, kRows> rowCommand{};
    std::array<uint16_t, kRows> rowChecksum{};
    std::array<uint16_t, kRows> lastSentChecksum{};
    std::array<uint8_t, kRows> rowPending{};
    uint8_t lastChangedRow = 0;

    // Level last used per pattern code and position; sound-slider value last
    // used per beep pattern code.
    std::array<std::array<uint16_t, kRows>, 256> levelMemory{};
    std::array<uint16_t, 256> volumeMemory{};

    // Link and sequencing flags.
    uint8_t suspendRead = 0;
    int32_t lastLinkResult = 0;
    uint16_t lastWriteFailed = 0;
    uint8_t forceClose = 0;
    uint8_t connectionReportPending = 0;
    uint8_t firmwareChecked = 0;
    uint8_t firmwareUpdated = 0;
    uint8_t statusCountdown = 0;
    uint8_t soundLevelWaiting = 1;
    std::array<uint8_t, kColourRows> pictureAddress{};
    std::array<uint8_t, kRows> segmentFound{};

    // Report buffers of the main window.
    std::array<uint8_t, 9> inputReport{};
    std::array<uint8_t, 9> outputReport{};
};

// The program's one instance.
DeviceState& TheDeviceState();

// On/off state of the segment at a position; 0 when the position is empty.
uint8_t OnStateOfRow(const DeviceState& s, int position);
// Stores the on/off state for the segment at a position; nothing when empty.
void SetOnStateOfRow(DeviceState& s, uint8_t value, int position);
// Clears every on/off state and every segment address.
void ResetSwitchState(DeviceState& s);

// The colour address tables: five addresses and a 0 terminator each.
// Index 0..4 Red, Yellow, Green, Blue, White; 5 Acoustic.
using AddressTable = std::array<uint8_t, 6>;
extern const std::array<AddressTable, 6> kColourTables;
extern const char* const kColourWords[6];  // "Red" ... "White", "Acoustic"

// `address` when it is one of the six bytes of the table (0 yields 0), else 0.
uint8_t FindAddress(uint8_t address, const AddressTable& table);

// Colour index 0..5 of an address 8..37, or -1.
int ColourIndexOfAddress(uint8_t address);
// "Red 1" ... "White 5" (and "Acoustic 1".."Acoustic 5"); empty for any other.
const char* AddressLabel(uint8_t address);

// Input report types (the type byte of a report from the Base Controller).
constexpr int kInSegmentAddresses = 1;
constexpr int kInPatternCodes = 2;
constexpr int kInFirmwareVersions = 5;
constexpr int kInHardwareVersions = 6;
constexpr int kInSwitchingThreshold = 7;
constexpr int kInPortMap = 8;

// Whether a report of input type 1..8 has arrived since reportSeen was last
// cleared (the link opened); false for any other type.
bool ReportSeen(const DeviceState& s, int type);

// The level a row command carries: colour rows the 9-bit brightness in
// param[2] (bit 0) and param[3]; the sound row the volume in param[2].
uint16_t RowCommandLevel(const RowCommand& command, int row);

// floor(v * 100 / 255), kept to 8 bits.
uint8_t BrightnessPercent(uint16_t v);
// 0 below 119, 100 above 213, else floor((v - 119) * 100 / 94).
uint8_t VolumePercent(uint16_t v);

}  // namespace kv
