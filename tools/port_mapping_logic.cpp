#include "tools/port_mapping_logic.h"

#include <cstddef>

#include "platform/clock.h"

namespace kv {

const char* const kPortMapHeadings[kMapColumns] = {"RED", "YELLOW", "GREEN", "BLUE", "WHITE"};
const char* const kPortMapNoSegmentItem = "       -      ";
const char* const kPortMapPleaseWait = "Please wait!";
const char* const kPortMapSameAddresses =
    "               Same addresses!               Please try again!";
const char* const kPortMapSuccess = "   Addresses have been     transmitted successfully!";
const char* const kPortMapFailed = "Transmission failed!";

namespace {

// Items 1..5 of each column. The Green list of input port 1 carries one
// leading blank, those of ports 2..5 two.
const char* const kItems[kMapColumns][5] = {
    {"  Red 1", "  Red 2", "  Red 3", "  Red 4", "  Red 5"},
    {" Yellow 1", " Yellow 2", " Yellow 3", " Yellow 4", " Yellow 5"},
    {"  Green 1", "  Green 2", "  Green 3", "  Green 4", "  Green 5"},
    {"  Blue 1", "  Blue 2", "  Blue 3", "  Blue 4", "  Blue 5"},
    {"  White 1", "  White 2", "  White 3", "  White 4", "  White 5"},
};
const char* const kGreenFirstPort[5] = {" Green 1", " Green 2", " Green 3", " Green 4",
                                        " Green 5"};

const char* const kColourNames[kMapColumns] = {"Red", "Yellow", "Green", "Blue", "White"};

bool ValidPort(int port) { return port >= 0 && port < kInputPorts; }
bool ValidColumn(int column) { return column >= 1 && column <= kMapColumns; }

uint8_t& Cell(PortMappingState& m, int port, int column)
{
    return m.cellNumber[static_cast<size_t>(port)][static_cast<size_t>(column - 1)];
}

uint8_t CellAt(const PortMappingState& m, int port, int column)
{
    return m.cellNumber[static_cast<size_t>(port)][static_cast<size_t>(column - 1)];
}

}  // namespace

PortMappingState& ThePortMappingState()
{
    static PortMappingState state;
    return state;
}

void PresetPortCodes(PortMappingState& m)
{
    m.portCode = {8, 13, 18, 23, 28};
}

const char* PortMapItemText(int port, int column, int item)
{
    if (!ValidPort(port) || !ValidColumn(column) || item < 0 || item >= kMapItems)
        return "";
    if (item == 0)
        return kPortMapNoSegmentItem;
    if (column == 3 && port == 0)
        return kGreenFirstPort[item - 1];
    return kItems[column - 1][item - 1];
}

std::string AlreadyAssignedText(int column, int n)
{
    if (!ValidColumn(column) || n < 1 || n > 5)
        return std::string();
    return std::string(kColourNames[column - 1]) + " " + std::to_string(n) +
           " already assigned!  Please choose another colour.";
}

void OpenPortMapping(PortMappingState& m, const DeviceState& s, bool linkOpen)
{
    m.sendEnabled = linkOpen;
    for (auto& row : m.cellNumber)
        row.fill(0);
    for (int p = 0; p < kInputPorts; ++p) {
        const size_t i = static_cast<size_t>(p);
        const uint8_t code = s.portMapColour[i];
        if (IsColourAddress(code))
            Cell(m, p, (code - 8) / 5 + 1) = static_cast<uint8_t>((code - 8) % 5 + 1);
        // The reported code is kept whatever it is, so a port the grid cannot
        // show is sent back as it came unless the user changes it.
        m.portCode[i] = code;
        m.portAcousticBit[i] = s.portMapAcoustic[i] != 0 ? kAcousticFlag : 0;
        m.acousticBaseline[i] = m.portAcousticBit[i];
    }
    m.messageLine.clear();
    m.statusText.clear();
    m.verifyTimerRunning = false;
}

int CountInColumn(const PortMappingState& m, int port, int column)
{
    if (!ValidPort(port) || !ValidColumn(column))
        return 0;
    const uint8_t n = CellAt(m, port, column);
    if (n == 0)
        return 0;
    int count = 0;
    for (int r = 0; r < kInputPorts; ++r)
        if (CellAt(m, r, column) == n)
            ++count;
    return count;
}

bool SelectCell(PortMappingState& m, int port, int column, int item)
{
    if (!ValidPort(port) || !ValidColumn(column) || item < 0 || item >= kMapItems)
        return false;
    const uint8_t previous = Cell(m, port, column);
    const uint8_t n = static_cast<uint8_t>(item);
    Cell(m, port, column) = n;
    if (CountInColumn(m, port, column) >= 2) {
        Cell(m, port, column) = previous;
        m.messageLine = AlreadyAssignedText(column, n);
        return false;
    }
    const size_t i = static_cast<size_t>(port);
    m.portCode[i] = AddressFor(column, n);
    for (int c = 1; c <= kMapColumns; ++c)
        if (m.portCode[i] == 0 || c != column)
            Cell(m, port, c) = 0;
    m.messageLine.clear();
    return true;
}

void ClickAcoustic(PortMappingState& m, int port)
{
    if (!ValidPort(port))
        return;
    const size_t i = static_cast<size_t>(port);
    m.portAcousticBit[i] ^= kAcousticFlag;
    if (m.portAcousticBit[i] != m.acousticBaseline[i])
        m.acousticChanged[i] = 1;
    m.acousticBaseline[i] = m.portAcousticBit[i];
}

bool MappingDiffers(const PortMappingState& m, const DeviceState& s)
{
    for (size_t i = 0; i < kInputPorts; ++i)
        if (m.portCode[i] != s.portMapColour[i])
            return true;
    return false;
}

bool MapConfirmed(const PortMappingState& m, const DeviceState& s)
{
    if (MappingDiffers(m, s))
        return false;
    // A send of the acoustic flags alone leaves the codes as reported, so
    // the codes cannot tell whether it arrived; the flags must.
    for (size_t i = 0; i < kInputPorts; ++i)
        if ((m.portAcousticBit[i] != 0) != (s.portMapAcoustic[i] != 0))
            return false;
    return true;
}

bool AnyAcousticChanged(const PortMappingState& m)
{
    for (uint8_t changed : m.acousticChanged)
        if (changed != 0)
            return true;
    return false;
}

bool SendToBase(PortMappingState& m, const DeviceState& s, const ToolIo& io)
{
    m.statusText.clear();
    const bool differs = MappingDiffers(m, s);
    const bool acoustic = AnyAcousticChanged(m);
    m.statusTone = kToneNeutral;
    m.statusText = kPortMapPleaseWait;
    io.Flush();
    if (differs || acoustic) {
        m.acousticChanged.fill(0);
        std::array<uint8_t, kInputPorts> mapBytes{};
        for (size_t i = 0; i < kInputPorts; ++i)
            mapBytes[i] = MakeMapByte(m.portCode[i], m.portAcousticBit[i] != 0);
        const Report report = BuildPortMappingReport(mapBytes);
        io.Write(report);
        SleepMs(kPortMapSendWaitMs);
        m.verifyTicks = 0;
        m.verifyTimerRunning = true;
        return true;
    }
    SleepMs(kPortMapSendWaitMs);
    m.statusTone = kToneWarning;
    m.statusText = kPortMapSameAddresses;
    m.verifyTimerRunning = false;
    return false;
}

void PortMappingVerifyTick(PortMappingState& m, const DeviceState& s)
{
    if (MapConfirmed(m, s)) {
        m.statusTone = kToneSuccess;
        m.statusText = kPortMapSuccess;
        m.verifyTimerRunning = false;
        return;
    }
    if (m.verifyTicks >= kPortMapVerifyLimit) {
        m.statusTone = kToneFailure;
        m.statusText = kPortMapFailed;
        m.verifyTicks = 0;
        m.verifyTimerRunning = false;
    }
    ++m.verifyTicks;
}

}  // namespace kv
