#include "device/device_state.h"

#include <cstddef>

namespace kv {

const std::array<AddressTable, 6> kColourTables = {{
    {8, 9, 10, 11, 12, 0},
    {13, 14, 15, 16, 17, 0},
    {18, 19, 20, 21, 22, 0},
    {23, 24, 25, 26, 27, 0},
    {28, 29, 30, 31, 32, 0},
    {33, 34, 35, 36, 37, 0},
}};

const char* const kColourWords[6] = {"Red", "Yellow", "Green", "Blue", "White", "Acoustic"};

namespace {

const char* const kAddressLabels[30] = {
    "Red 1",      "Red 2",      "Red 3",      "Red 4",      "Red 5",
    "Yellow 1",   "Yellow 2",   "Yellow 3",   "Yellow 4",   "Yellow 5",
    "Green 1",    "Green 2",    "Green 3",    "Green 4",    "Green 5",
    "Blue 1",     "Blue 2",     "Blue 3",     "Blue 4",     "Blue 5",
    "White 1",    "White 2",    "White 3",    "White 4",    "White 5",
    "Acoustic 1", "Acoustic 2", "Acoustic 3", "Acoustic 4", "Acoustic 5",
};

}  // namespace

DeviceState::DeviceState()
{
    lastSentChecksum.fill(kNeverSent);
}

DeviceState& TheDeviceState()
{
    static DeviceState state;
    return state;
}

uint8_t OnStateOfRow(const DeviceState& s, int position)
{
    if (position < 0 || position >= kRows)
        return 0;
    const uint8_t address = s.segmentAddress[static_cast<std::size_t>(position)];
    return address == 0 ? 0 : s.onState[address];
}

void SetOnStateOfRow(DeviceState& s, uint8_t value, int position)
{
    if (position < 0 || position >= kRows)
        return;
    const uint8_t address = s.segmentAddress[static_cast<std::size_t>(position)];
    if (address != 0)
        s.onState[address] = value;
}

void ResetSwitchState(DeviceState& s)
{
    s.onState.fill(0);
    s.segmentAddress.fill(0);
}

uint8_t FindAddress(uint8_t address, const AddressTable& table)
{
    for (uint8_t a : table)
        if (a == address)
            return address;
    return 0;
}

int ColourIndexOfAddress(uint8_t address)
{
    if (address < 8 || address > 37)
        return -1;
    return (address - 8) / 5;
}

const char* AddressLabel(uint8_t address)
{
    if (address < 8 || address > 37)
        return "";
    return kAddressLabels[address - 8];
}

uint8_t BrightnessPercent(uint16_t v)
{
    return static_cast<uint8_t>(static_cast<uint32_t>(v) * 100U / 255U);
}

uint8_t VolumePercent(uint16_t v)
{
    if (v < 119)
        return 0;
    if (v > 213)
        return 100;
    return static_cast<uint8_t>((v - 119U) * 100U / 94U);
}

bool ReportSeen(const DeviceState& s, int type)
{
    if (type < 1 || type > kReportTypes)
        return false;
    return s.reportSeen[static_cast<size_t>(type - 1)] != 0;
}

uint16_t RowCommandLevel(const RowCommand& command, int row)
{
    if (row == kSoundRow)
        return command.param[2];
    return static_cast<uint16_t>((command.param[2] & 1) * 256 + command.param[3]);
}

}  // namespace kv
