#include "assets/demo/demo_assets.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace kv::demo {
namespace {

// Where the generated code bytes end; erased flash follows.
constexpr uint32_t kDemoCodeEnd = 0x6000;
constexpr uint32_t kSignatureAddress = 0x6FFB;
constexpr uint32_t kVersionAddress = 0x6FFF;
constexpr uint32_t kRecordBytes = 16;

void AppendHexByte(std::string& out, uint8_t b)
{
    static const char kDigits[] = "0123456789ABCDEF";
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
}

void AppendRecord(std::string& out, uint8_t type, uint16_t address, const uint8_t* data,
                  size_t length)
{
    out.push_back(':');
    uint8_t sum = 0;
    const uint8_t head[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(address >> 8),
                             static_cast<uint8_t>(address & 0xFF), type};
    for (uint8_t b : head) {
        AppendHexByte(out, b);
        sum = static_cast<uint8_t>(sum + b);
    }
    for (size_t i = 0; i < length; ++i) {
        AppendHexByte(out, data[i]);
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    AppendHexByte(out, static_cast<uint8_t>(0x100 - sum));
    out += "\r\n";
}

std::string PdfText(const std::string& text)
{
    std::string out;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '(' || c == ')' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (u < 0x20 || u > 0x7E) {
            out.push_back('?');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace

std::vector<uint8_t> MakeDemoFirmwareImage(uint8_t version)
{
    std::vector<uint8_t> image(kDemoImageSize, 0xFF);
    // Code: a reset vector jumping past the vector table, then bytes from a
    // fixed generator, so every build makes the same file.
    const uint8_t vector[4] = {0x0C, 0x94, 0x34, 0x00};
    for (uint32_t a = 0; a < 0x68; a += 4)
        for (uint32_t i = 0; i < 4; ++i)
            image[a + i] = vector[i];
    uint32_t x = 0x2F4B1D0Bu;
    for (uint32_t a = 0x68; a < kDemoCodeEnd; ++a) {
        x = x * 1664525u + 1013904223u;
        image[a] = static_cast<uint8_t>(x >> 24);
    }
    const char signature[4] = {'N', 'E', 'L', 'O'};
    for (uint32_t i = 0; i < 4; ++i)
        image[kSignatureAddress + i] = static_cast<uint8_t>(signature[i]);
    image[kVersionAddress] = version;
    return image;
}

std::string IntelHexText(const std::vector<uint8_t>& image)
{
    std::string out;
    out.reserve(image.size() * 3);
    uint32_t upper = 0;
    for (size_t a = 0; a < image.size(); a += kRecordBytes) {
        const uint32_t address = static_cast<uint32_t>(a);
        if ((address >> 16) != upper) {
            upper = address >> 16;
            const uint8_t ext[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
            AppendRecord(out, 0x04, 0, ext, 2);
        }
        const size_t length = std::min<size_t>(kRecordBytes, image.size() - a);
        AppendRecord(out, 0x00, static_cast<uint16_t>(address & 0xFFFF), image.data() + a, length);
    }
    AppendRecord(out, 0x01, 0, nullptr, 0);
    return out;
}

std::string ReleaseNotesPdf(const std::string& title, const std::vector<std::string>& lines)
{
    std::string content = "BT\n/F1 18 Tf\n56 780 Td\n(" + PdfText(title) + ") Tj\n/F2 11 Tf\n0 -30 Td\n";
    for (const std::string& line : lines)
        content += "(" + PdfText(line) + ") Tj\n0 -16 Td\n";
    content += "ET\n";

    const std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] "
        "/Resources << /Font << /F1 4 0 R /F2 5 0 R >> >> /Contents 6 0 R >>",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Bold >>",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "endstream",
    };

    std::string pdf = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    std::vector<size_t> offsets;
    for (size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n";
    pdf += "0000000000 65535 f \n";
    for (size_t offset : offsets) {
        char entry[21];
        std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
        pdf += entry;
    }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\n";
    pdf += "startxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return pdf;
}

std::string DemoReleaseNotesPdf(const std::string& versionText)
{
    return ReleaseNotesPdf(
        "Kestrivane - Release Notes",
        {
            "Base Controller firmware " + versionText + " (demo).",
            "",
            "This copy of Kestrivane runs on the virtual tower: a simulated Base",
            "Controller with five colour segments and a sound segment, and its",
            "simulated boot loader. The firmware file beside the demo was made by",
            "the build for the virtual tower only; it is not a firmware for a real",
            "Base Controller and is never installed beside the product.",
            "",
            "What the update does: the Base Controller restarts into its boot",
            "loader, the flash is erased, programmed, read back and compared, and",
            "the Base Controller comes back running firmware " + versionText + ".",
        });
}

bool WriteFileCreatingFolders(const std::string& path, const std::string& content)
{
    std::error_code ec;
    const std::filesystem::path p(path);
    if (p.has_parent_path())
        std::filesystem::create_directories(p.parent_path(), ec);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    return static_cast<bool>(out);
}

}  // namespace kv::demo
