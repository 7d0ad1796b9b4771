// Cross-check against an independent tool: srec_cat writes Intel HEX files
// from random binary images, and the reader must rebuild exactly the image
// that srec_cat itself reads back from the same file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "platform/update_trace.h"
#include "src/intel_hex.h"

namespace {

bool Shell(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::vector<uint8_t> Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Hex(unsigned long v)
{
    char b[24];
    std::snprintf(b, sizeof b, "0x%lX", v);
    return b;
}

struct Segment {
    uint32_t address;
    std::vector<uint8_t> bytes;
};

TEST(IntelHexSrecCat, RebuildsTheImageSrecCatReadsBack)
{
    if (!Shell("command -v srec_cat"))
        GTEST_SKIP() << "srec_cat is not installed";
    kv::ScopedErrCapture err;  // the reader's trace is not checked here
    const std::string dir = ::testing::TempDir() + "srec_" + std::to_string(getpid()) + "_";
    std::mt19937 rng(20261209u);
    const unsigned recordLengths[] = {1, 7, 16, 32, 100, 255};
    bool sawLinearRecord = false, sawCrLf = false, sawDropped = false;

    for (int trial = 0; trial < 18; ++trial) {
        const uint32_t memory = trial % 3 == 0 ? 0x8000u : 0x20000u;
        const unsigned recordLength = recordLengths[trial % 6];
        const bool crlf = trial % 2 == 1;

        // Up to five segments with gaps between them; the last may reach
        // beyond the memory, whose bytes the reader must drop and count.
        std::vector<Segment> segments;
        std::vector<int> expected(memory, -1);
        unsigned long dropped = 0;
        uint32_t at = std::uniform_int_distribution<uint32_t>(0, 0x200)(rng);
        const int count = std::uniform_int_distribution<int>(1, 5)(rng);
        for (int s = 0; s < count; ++s) {
            size_t length = std::uniform_int_distribution<size_t>(1, 5000)(rng);
            if (s == count - 1 && trial % 3 == 2) {  // straddles the end of the memory
                at = std::max<uint32_t>(at, memory - 100);
                length = 300;
            }
            Segment seg{at, std::vector<uint8_t>(length)};
            for (size_t i = 0; i < seg.bytes.size(); ++i) {
                seg.bytes[i] = static_cast<uint8_t>(rng());
                if (seg.address + i < memory)
                    expected[seg.address + i] = seg.bytes[i];
                else
                    ++dropped;
            }
            at = seg.address + static_cast<uint32_t>(seg.bytes.size())
                 + std::uniform_int_distribution<uint32_t>(1, memory / 4)(rng);
            segments.push_back(std::move(seg));
        }

        std::string command = "srec_cat";
        for (size_t s = 0; s < segments.size(); ++s) {
            const std::string bin = dir + "seg" + std::to_string(s) + ".bin";
            std::ofstream(bin, std::ios::binary)
                .write(reinterpret_cast<const char*>(segments[s].bytes.data()),
                       static_cast<std::streamsize>(segments[s].bytes.size()));
            command += " '" + bin + "' -binary -offset " + Hex(segments[s].address);
        }
        const std::string hex = dir + "image.hex";
        command += " -o '" + hex + "' -intel -obs=" + std::to_string(recordLength);
        if (crlf)
            command += " -crlf";
        if (trial % 4 == 0)
            command += " -execution-start-address=" + Hex(segments[0].address);
        ASSERT_TRUE(Shell(command)) << command;

        // srec_cat's own reading of the file, with the holes filled two
        // different ways: where the fills agree there is data.
        const std::string a = dir + "a.bin", b = dir + "b.bin";
        const std::string back = "srec_cat '" + hex + "' -intel -crop 0 " + Hex(memory) + " -fill ";
        ASSERT_TRUE(Shell(back + "0x00 0 " + Hex(memory) + " -o '" + a + "' -binary"));
        ASSERT_TRUE(Shell(back + "0xFF 0 " + Hex(memory) + " -o '" + b + "' -binary"));
        const std::vector<uint8_t> zeroFill = Slurp(a), oneFill = Slurp(b);
        ASSERT_EQ(zeroFill.size(), memory);
        ASSERT_EQ(oneFill.size(), memory);

        const std::vector<uint8_t> file = Slurp(hex);
        const std::string text(file.begin(), file.end());
        sawLinearRecord |= text.find(":02000004") != std::string::npos;
        sawCrLf |= text.find("\r\n") != std::string::npos;
        sawDropped |= dropped > 0;

        intel_buffer_out bout;
        ASSERT_EQ(intel_init_buffer_out(&bout, memory, 128), 0);
        EXPECT_EQ(intel_hex_to_buffer(hex.c_str(), &bout, 1), static_cast<int>(dropped))
            << "trial " << trial;
        int mismatches = 0;
        for (uint32_t i = 0; i < memory && mismatches < 5; ++i) {
            const int theirs = zeroFill[i] == oneFill[i] ? zeroFill[i] : -1;
            const int ours = intel_cell_has_data(bout.cells[i]) ? bout.cells[i] : -1;
            if (ours != theirs || ours != expected[i]) {
                ADD_FAILURE() << "trial " << trial << " address " << Hex(i) << ": read " << ours
                              << ", srec_cat " << theirs << ", image " << expected[i];
                ++mismatches;
            }
        }
    }
    EXPECT_TRUE(sawLinearRecord);
    EXPECT_TRUE(sawCrLf);
    EXPECT_TRUE(sawDropped);
    for (const char* f : {"image.hex", "a.bin", "b.bin", "seg0.bin", "seg1.bin", "seg2.bin",
                          "seg3.bin", "seg4.bin"})
        std::remove((dir + f).c_str());
}

}  // namespace
