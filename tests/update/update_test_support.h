#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/virtual_bootloader.h"

namespace kv::test {

// A firmware for the Base Controller's application flash (0x0000..0x6FFF):
// `codeBytes` bytes of code from address 0, 0xFF up to the signature, then
// "NELO" and the version byte at the end. 0x7000 code bytes fill the area.
std::vector<uint8_t> MakeFirmware(uint8_t version, uint32_t codeBytes = 0x7000);

// One run of bytes at an address.
struct HexSegment {
    uint32_t address = 0;
    std::vector<uint8_t> bytes;
};

// Intel HEX text of the segments (below 64 kB): data records of up to 16
// bytes and the end record.
std::string HexText(const std::vector<HexSegment>& segments);

// The firmware as HEX: only the bytes that are not 0xFF, as a linker would
// leave gaps.
std::string FirmwareHex(const std::vector<uint8_t>& firmware);

// Writes text to a new file in the temporary directory; removed on destruction.
class TempHexFile {
public:
    explicit TempHexFile(const std::string& text);
    ~TempHexFile();
    TempHexFile(const TempHexFile&) = delete;
    TempHexFile& operator=(const TempHexFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The default tower, its boot loader side fresh (counters restarted).
void ResetWorld();

// What the progress dialog does before the run: opens the HID link if it is
// not open, writes the bootloader report and closes the link. True when the
// report was sent.
bool SendBootloaderReportOverHid();

// The Base Controller's boot loader.
sim::VirtualBootloader& Bootloader();

// True when the application flash holds exactly the firmware.
bool FlashHolds(const std::vector<uint8_t>& firmware);

// A progress hook that records every call and the clock at every step change.
struct HookCall {
    int step;
    int inStep;
    int percent;
};
struct ProgressRecorder {
    std::vector<HookCall> calls;
    std::vector<int> steps;             // step changes in order
    std::vector<uint64_t> stepTimesUs;  // clock at each step change
    std::function<void(int step)> onStep;

    static void Hook(void* context, int step, int inStep, int percent);
};

// Bootloader reports the Base Controller has taken.
size_t BootloaderReportsTaken();

}  // namespace kv::test
