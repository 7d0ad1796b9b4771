// Where a Base Controller firmware image keeps what identifies it. The
// virtual boot loader reads the version of the firmware it starts from here,
// and the demo firmware is generated to match.
//
// Flash of the Base Controller: 32 kB; the application owns 0x0000..0x6FFF,
// the boot loader 0x7000..0x7FFF. The last five bytes of the application area
// are the signature "NELO" (0x6FFB..0x6FFE) and the firmware version byte
// (0x6FFF, tens and units digit, 28 for "2.8").
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kv::sim {

constexpr uint32_t kFlashSize = 0x8000;
constexpr uint32_t kApplicationStart = 0x0000;
constexpr uint32_t kApplicationEnd = 0x6FFF;
constexpr uint32_t kBootloaderRegionStart = 0x7000;
constexpr uint32_t kBootloaderRegionEnd = 0x7FFF;
constexpr uint32_t kFlashPageSize = 0x80;

constexpr uint32_t kFirmwareSignatureAddress = 0x6FFB;
constexpr std::array<uint8_t, 4> kFirmwareSignature{'N', 'E', 'L', 'O'};
constexpr uint32_t kFirmwareVersionAddress = 0x6FFF;

// The version of the firmware in a flash image: the byte at 0x6FFF when the
// signature stands right before it, else 0 (no runnable firmware of ours).
constexpr uint8_t FirmwareVersionOf(const uint8_t* flash, size_t size) {
    if (flash == nullptr || size <= kFirmwareVersionAddress) return 0;
    for (size_t i = 0; i < kFirmwareSignature.size(); ++i) {
        if (flash[kFirmwareSignatureAddress + i] != kFirmwareSignature[i]) return 0;
    }
    return flash[kFirmwareVersionAddress];
}

}  // namespace kv::sim
