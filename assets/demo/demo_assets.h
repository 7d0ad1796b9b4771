// The files the demo finds beside itself: a Base Controller firmware for the
// virtual tower and the release notes. Made by the build (make_demo_assets),
// never installed beside the product.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kv::demo {

// Size of the application flash the firmware fills (0x0000..0x6FFF).
constexpr uint32_t kDemoImageSize = 0x7000;

// The demo firmware: code bytes from address 0, erased cells (0xFF) after
// them, and at the end the signature "NELO" (0x6FFB..0x6FFE) and the version
// byte (0x6FFF). Always kDemoImageSize bytes.
std::vector<uint8_t> MakeDemoFirmwareImage(uint8_t version);

// Intel HEX text of an image starting at address 0: data records of 16 bytes
// (the last one shorter when the size asks for it), an extended linear
// address record wherever the upper 16 address bits change, the end record.
// Lines end in CR LF.
std::string IntelHexText(const std::vector<uint8_t>& image);

// A one-page PDF with a title and lines of text (Helvetica), with a correct
// cross-reference table. Characters outside printable ASCII become '?'.
std::string ReleaseNotesPdf(const std::string& title, const std::vector<std::string>& lines);

// The release notes of the demo for a version ("2.8").
std::string DemoReleaseNotesPdf(const std::string& versionText);

// Writes text to a file in binary mode, creating the folders above it.
// False when it cannot be written.
bool WriteFileCreatingFolders(const std::string& path, const std::string& content);

}  // namespace kv::demo
