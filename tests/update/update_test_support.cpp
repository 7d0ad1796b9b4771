#include "update_test_support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "device/hid_link.h"
#include "device/report_protocol.h"
#include "platform/clock.h"
#include "sim/firmware_image.h"
#include "sim/virtual_tower.h"

namespace kv::test {

std::vector<uint8_t> MakeFirmware(uint8_t version, uint32_t codeBytes)
{
    std::vector<uint8_t> fw(sim::kApplicationEnd + 1, 0xFF);
    for (uint32_t a = 0; a < codeBytes && a < sim::kFirmwareSignatureAddress; ++a)
        fw[a] = static_cast<uint8_t>((a * 13 + version) % 255);  // never 0xFF
    for (size_t i = 0; i < sim::kFirmwareSignature.size(); ++i)
        fw[sim::kFirmwareSignatureAddress + i] = sim::kFirmwareSignature[i];
    fw[sim::kFirmwareVersionAddress] = version;
    return fw;
}

namespace {

void AppendRecord(std::string& out, uint8_t type, uint16_t address, const uint8_t* data, size_t n)
{
    char field[16];
    uint8_t sum = static_cast<uint8_t>(n + (address >> 8) + (address & 0xFF) + type);
    std::snprintf(field, sizeof field, ":%02X%04X%02X", static_cast<unsigned>(n), address, type);
    out += field;
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(field, sizeof field, "%02X", data[i]);
        out += field;
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    std::snprintf(field, sizeof field, "%02X\n", static_cast<uint8_t>(0x100 - sum) & 0xFF);
    out += field;
}

}  // namespace

std::string HexText(const std::vector<HexSegment>& segments)
{
    std::string out;
    for (const HexSegment& seg : segments) {
        for (size_t i = 0; i < seg.bytes.size(); i += 16) {
            const size_t n = std::min<size_t>(16, seg.bytes.size() - i);
            AppendRecord(out, 0, static_cast<uint16_t>(seg.address + i), seg.bytes.data() + i, n);
        }
    }
    AppendRecord(out, 1, 0, nullptr, 0);
    return out;
}

std::string FirmwareHex(const std::vector<uint8_t>& firmware)
{
    std::vector<HexSegment> segments;
    for (uint32_t a = 0; a < firmware.size(); ++a) {
        if (firmware[a] == 0xFF)
            continue;
        if (segments.empty() || segments.back().address + segments.back().bytes.size() != a)
            segments.push_back({a, {}});
        segments.back().bytes.push_back(firmware[a]);
    }
    return HexText(segments);
}

TempHexFile::TempHexFile(const std::string& text)
{
    static int counter = 0;
    path_ = (std::filesystem::temp_directory_path() /
             ("kv_update_" + std::to_string(getpid()) + "_" + std::to_string(++counter) + ".hex"))
                .string();
    std::ofstream(path_, std::ios::binary) << text;
}

TempHexFile::~TempHexFile()
{
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
}

void ResetWorld()
{
    if (TheHidLink().IsOpen())
        TheHidLink().Close();
    sim::TheVirtualTower().Reset();
    sim::TheVirtualUsb().Reset();
}

bool SendBootloaderReportOverHid()
{
    HidLink& link = TheHidLink();
    if (!link.IsOpen())
        link.Open();
    if (!link.IsOpen())
        return false;
    const Report report = BuildBootloaderReport();
    link.WriteReport(report.data(), report.size());
    link.Close();
    return true;
}

sim::VirtualBootloader& Bootloader() { return sim::TheVirtualUsb().bootloaderOf(0); }

bool FlashHolds(const std::vector<uint8_t>& firmware)
{
    const auto& flash = Bootloader().flash();
    return std::equal(firmware.begin(), firmware.end(), flash.begin());
}

void ProgressRecorder::Hook(void* context, int step, int inStep, int percent)
{
    auto* r = static_cast<ProgressRecorder*>(context);
    r->calls.push_back({step, inStep, percent});
    if (r->steps.empty() || r->steps.back() != step) {
        r->steps.push_back(step);
        r->stepTimesUs.push_back(NowUs());
        if (r->onStep)
            r->onStep(step);
    }
}

size_t BootloaderReportsTaken()
{
    size_t n = 0;
    for (const sim::LoggedReport& r : sim::TheVirtualTower().baseController(0).outputLog())
        n += r.type() == 0x7F ? 1 : 0;
    return n;
}

}  // namespace kv::test
