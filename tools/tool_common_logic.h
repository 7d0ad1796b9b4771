// What a tool needs from the outside world besides DeviceState: a way to write
// one 9-byte output report, and a way to put the texts set so far on the
// screen before a blocking wait (so "Please wait!" is visible while the user
// interface stands still).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "device/report_protocol.h"

namespace kv {

struct ToolIo {
    // Returns 0 on success, 1 on failure (the tools ignore the result).
    std::function<int(const uint8_t*, size_t)> write;
    // Optional: shows the texts set so far.
    std::function<void()> flush;

    int Write(const Report& report) const
    {
        return write ? write(report.data(), report.size()) : 1;
    }
    void Flush() const
    {
        if (flush)
            flush();
    }
};

// Colour of a tool's status text.
enum ToolTone : uint8_t {
    kToneNeutral = 0,
    kToneFailure = 1,
    kToneSuccess = 2,
    kToneWarning = 3,
};

// A message box a tool asks its dialog to show (exclamation icon, one OK).
struct ToolMessage {
    std::string text;
    std::string caption;
};

// Address code of colour index c (1 Red .. 5 White, 6 sound) and number n
// (1..5); 0 for n = 0 and for anything out of range.
uint8_t AddressFor(int c, int n);

// True for the colour addresses 8..32.
constexpr bool IsColourAddress(uint8_t address)
{
    return address >= 8 && address <= 32;
}

}  // namespace kv
