#include "device/report_protocol.h"

#include <cstddef>

namespace kv {

namespace {

uint16_t Level(uint8_t high, uint8_t low)
{
    return static_cast<uint16_t>(high * 256U + low);
}

Report Type4(uint8_t address, uint8_t on, uint8_t marker)
{
    return MakeReport(address, on, 0xFF, 0xFF, 0xFF, 0xFF, marker, kOutSwitch);
}

}  // namespace

void ParseInputReport(DeviceState& s)
{
    const Report& r = s.inputReport;
    const uint8_t type = r[kReportTypeByte];
    if (type < 1 || type > kReportTypes)
        return;

    switch (type) {
    case 1:
        for (std::size_t i = 0; i < 6; ++i)
            s.segmentAddress[i] = r[i + 1];
        break;
    case 2:
        for (std::size_t i = 0; i < 6; ++i)
            s.patternCode[i] = r[i + 1];
        break;
    case 3:
        if (r[1] <= 1 && r[3] <= 1 && r[5] <= 1) {
            s.level[0] = Level(r[1], r[2]);
            s.level[1] = Level(r[3], r[4]);
            s.level[2] = Level(r[5], r[6]);
        }
        break;
    case 4:
        if (r[1] <= 1 && r[3] <= 1) {
            s.level[3] = Level(r[1], r[2]);
            s.level[4] = Level(r[3], r[4]);
            s.level[5] = r[5];
        }
        break;
    case 5:
        for (std::size_t i = 0; i < kVersionSlots; ++i)
            s.firmwareVersion[i] = r[i + 1];
        break;
    case 6:
        for (std::size_t i = 0; i < kVersionSlots; ++i)
            s.hardwareVersion[i] = r[i + 1];
        break;
    case 7:
        s.switchingThreshold = r[1];
        break;
    case 8:
        for (std::size_t i = 0; i < 5; ++i) {
            s.portMapColour[i] = r[i + 1] & kMapColourMask;
            s.portMapAcoustic[i] = (r[i + 1] & kMapAcousticBit) ? 1 : 0;
        }
        break;
    default:
        break;
    }

    const std::size_t k = static_cast<std::size_t>(type - 1);
    if (s.receiveCount[k] == kWarmUpCount) {
        s.reportSeen[k] = kWarmUpCount;
        s.reportSeenByTool[k] = kWarmUpCount;
    } else {
        ++s.receiveCount[k];
        s.reportSeen[k] = 0;
        s.reportSeenByTool[k] = 0;
    }
}

Report MakeReport(uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5, uint8_t b6,
                  uint8_t b7, uint8_t b8)
{
    return Report{0, b1, b2, b3, b4, b5, b6, b7, b8};
}

Report BuildPatternFirstHalf(const RowCommand& c)
{
    return MakeReport(c.address, c.param[0], c.param[1], c.patternCode, c.param[2], c.param[3],
                      c.param[4], kOutPatternFirst);
}

Report BuildPatternSecondHalf(const RowCommand& c, int row)
{
    if (row == kSoundRow)
        return MakeReport(c.param[5], c.param[6], c.param[7], c.param[8], c.param[9], 0xFF, 0xFF,
                          kOutPatternSecond);
    return MakeReport(c.param[5], c.param[6], c.param[7], c.param[8], c.param[9], c.param[10], c.row,
                      kOutPatternSecond);
}

uint8_t MakeMapByte(uint8_t colourAddress, bool acoustic)
{
    return static_cast<uint8_t>((colourAddress & kMapColourMask) | (acoustic ? kMapAcousticBit : 0));
}

Report BuildPortMappingReport(const std::array<uint8_t, 5>& m)
{
    return MakeReport(m[0], m[1], m[2], m[3], m[4], 0, 0, kOutPortMapping);
}

Report BuildSwitchReport(uint8_t address, uint8_t on)
{
    return Type4(address, on, kMarkerSwitch);
}

Report BuildConnectionReport(uint8_t address)
{
    return Type4(address, 0, kMarkerConnection);
}

Report BuildStateReport(uint8_t address, uint8_t on)
{
    return Type4(address, on, kMarkerState);
}

Report BuildAddressChangeReport(uint8_t currentAddress, uint8_t newAddress)
{
    return MakeReport(currentAddress, newAddress, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, kOutAddressChange);
}

Report BuildHostReport(bool connected)
{
    return MakeReport(connected ? 1 : 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, kOutHost);
}

Report BuildThresholdReport(uint8_t raw)
{
    return MakeReport(raw, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, kOutThreshold);
}

Report BuildBootloaderReport()
{
    return MakeReport(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, kOutBootloader);
}

}  // namespace kv
