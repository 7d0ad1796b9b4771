#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/progress.h"
#include "platform/update_trace.h"
#include "src/intel_hex.h"

namespace {

// Encodes one record line with a correct checksum.
std::string Rec(int type, unsigned address, std::vector<int> data, const char* eol = "\n")
{
    char buf[16];
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(buf, sizeof buf, ":%02X%04X%02X", static_cast<unsigned>(data.size()), address, type);
    std::string line = buf;
    for (int d : data) {
        std::snprintf(buf, sizeof buf, "%02X", d);
        line += buf;
        sum += static_cast<unsigned>(d);
    }
    std::snprintf(buf, sizeof buf, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + buf + eol;
}

const std::string kEof = ":00000001FF\n";

class IntelHex : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(intel_init_buffer_out(&bout, 0x8000, 128), 0); }

    std::string Path(const char* name)
    {
        return ::testing::TempDir() + "intel_hex_" + std::to_string(getpid()) + "_" + name;
    }

    int Read(const std::string& text, int quiet = 0)
    {
        const std::string path = Path("in.hex");
        std::ofstream(path, std::ios::binary) << text;
        err.clear();
        const int rc = intel_hex_to_buffer(path.c_str(), &bout, quiet);
        std::remove(path.c_str());
        return rc;
    }

    bool Has(const std::string& piece) const { return err.text().find(piece) != std::string::npos; }

    intel_buffer_out bout;
    kv::ScopedErrCapture err;
};

TEST_F(IntelHex, LineEndingsLfAndCrLfOnlyAndTheLastLineNeedsItsLineFeed)
{
    const std::string data = Rec(0, 0x10, {0xAB});
    struct Case { std::string text; int rc; };
    const Case cases[] = {
        {data + kEof, 0},
        {Rec(0, 0x10, {0xAB}, "\r\n") + ":00000001FF\r\n", 0},
        {data + Rec(0, 0x20, {1}, "\r") + kEof, -4},
        {data + ":00000001FF", -4},
        {data + ":00000001FF\r", -4},
        {data + ":00000001FF \n", -4},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(intel_init_buffer_out(&bout, 0x8000, 128), 0);
        EXPECT_EQ(Read(c.text), c.rc) << c.text;
        EXPECT_EQ(bout.cells[0x10], 0xAB) << c.text;  // the first line always stores
        if (c.rc == -4) {
            EXPECT_TRUE(Has("src/intel_hex:")
                        && Has(": Error: end of line != \\n.\nError reading line 2.\n")) << err.text();
        }
    }
}

TEST_F(IntelHex, LowerCaseDigitsAndBlanksInsideAFieldAreAccepted)
{
    EXPECT_EQ(Read(":0400fe00deadbeefc6\n:01000000 5FA\n:00000001ff\n"), 0);
    EXPECT_EQ(bout.cells[0xFE], 0xDE);
    EXPECT_EQ(bout.cells[0x101], 0xEF);
    EXPECT_EQ(bout.cells[0], 0x05);
    EXPECT_EQ(bout.data_start, 0u);
    EXPECT_EQ(bout.data_end, 0x101u);
}

TEST_F(IntelHex, BlankLinesStrayTextAndMissingRecordsFailWithTheLineNumber)
{
    const std::string d = Rec(0, 0, {1, 2});
    struct Case { std::string text; const char* message; };
    const Case cases[] = {
        {"", "Error reading line 1.\n"},
        {"\n" + d + kEof, "Error reading line 1.\n"},
        {d + "\n" + kEof, "Error reading line 2.\n"},
        {d + "\r\n" + kEof, "Error reading line 2.\n"},
        {d + " " + kEof, "Error reading line 2.\n"},
        {d + d, "Error reading line 3.\n"},                      // no end-of-file record
        {":0300000001\n" + kEof, "Error reading line 1.\n"},       // fewer data bytes than count
        {":02000000010G00\n" + kEof, "Error reading line 1.\n"},   // not a hex digit
        {":0000", "Error reading line 1.\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Read(c.text), -4) << c.text;
        EXPECT_TRUE(Has(c.message)) << c.text << " -> " << err.text();
        EXPECT_EQ(Read(c.text, 1), -4);
        EXPECT_FALSE(Has("Error reading")) << "quiet";
    }
}

TEST(IntelReadData, EachFieldFailureHasItsOwnCode)
{
    kv::ScopedErrCapture err;
    struct Case { const char* text; int rc; };
    const Case cases[] = {
        {"", -1}, {"x0000000100\n", -2}, {":000000", -2}, {":0000 \n", -2},
        {":01000000", -3}, {":01000000zz00\n", -4}, {":00000001", -5}, {":00000001F", -5},
        {":00000001FG\n", -6}, {":00000001FF", -7}, {":00000001FFFF\n", -7},
        {":0100000042BD\r\n", 0},
    };
    for (const Case& c : cases) {
        FILE* fp = std::tmpfile();
        ASSERT_NE(fp, nullptr);
        std::fputs(c.text, fp);
        std::rewind(fp);
        intel_record r;
        EXPECT_EQ(intel_read_data(fp, &r), c.rc) << c.text;
        std::fclose(fp);
    }
}

TEST_F(IntelHex, ChecksumMustAddUpToZero)
{
    EXPECT_EQ(Read(":10010000214601360121470136007EFE09D2190140\n" + kEof), 0);
    EXPECT_EQ(bout.cells[0x100], 0x21);
    EXPECT_EQ(bout.cells[0x10F], 0x01);
    EXPECT_EQ(Read(":10010000214601360121470136007EFE09D2190141\n" + kEof), -5);
    EXPECT_TRUE(Has(": Checksum error.\nError: Line 1 does not validate.\n")) << err.text();
    EXPECT_EQ(Read(Rec(0, 0, {}) + ":00000001FE\n", 1), -5);
    EXPECT_FALSE(Has("does not validate"));
}

TEST(IntelValidateLine, EachRecordTypeHasItsRules)
{
    struct Case { int type; unsigned address; std::vector<int> data; int rc; const char* trace; };
    const Case cases[] = {
        {0, 0x1234, {1, 2, 3}, 0, ""},
        {1, 0, {}, 0, ""},
        {1, 0, {0}, -2, "EOF record error.\n"},
        {2, 0, {0x12, 0x30}, 0, ""},
        {2, 0, {0x12, 0x38}, 0, ""},
        {2, 0, {0x12, 0x31}, -3, "Intel2 Format Error.\n"},
        {2, 0, {0x12, 0x32}, -3, "Intel2 Format Error.\n"},
        {2, 0, {0x12, 0x34}, -3, "Intel2 Format Error.\n"},
        {2, 1, {0x12, 0x30}, -3, "Intel2 Format Error.\n"},
        {2, 0, {0x12}, -3, "Intel2 Format Error.\n"},
        {3, 0x55, {1, 2, 3, 4, 5}, 0, ""},
        {4, 0, {0, 1}, 0, ""},
        {4, 2, {0, 1}, -4, "Extended Linear Address Record Format Error"},
        {4, 0, {0, 1, 2}, -4, "Extended Linear Address Record Format Error"},
        {5, 0, {0, 0, 1, 0}, 0, ""},
        {5, 0, {0, 0, 1}, -6, ""},
        {5, 4, {0, 0, 1, 0}, -6, ""},
        {255, 0, {}, -5, "Unsupported type. 255\n"},
    };
    for (const Case& c : cases) {
        kv::ScopedErrCapture err;
        intel_record r;
        r.type = static_cast<uint8_t>(c.type);
        r.address = static_cast<uint16_t>(c.address);
        r.count = static_cast<uint8_t>(c.data.size());
        unsigned sum = r.count + (c.address >> 8) + (c.address & 0xFF) + c.type;
        for (size_t i = 0; i < c.data.size(); ++i) {
            r.data[i] = static_cast<uint8_t>(c.data[i]);
            sum += static_cast<unsigned>(c.data[i]);
        }
        r.checksum = static_cast<uint8_t>(0x100 - (sum & 0xFF));
        r.data[c.data.size()] = 0x77;  // a byte past count never counts
        EXPECT_EQ(intel_record_checksum(&r), 0) << c.type;
        EXPECT_EQ(intel_validate_line(&r), c.rc) << c.type;
        const std::string& out = err.text();
        const std::string trace = c.trace;
        if (c.rc == -5)  // standard error, not the trace
            EXPECT_EQ(out, trace);
        else if (!trace.empty())  // exactly one trace line, ending as written
            EXPECT_TRUE(out.rfind("src/intel_hex:", 0) == 0 && out.size() > trace.size()
                        && out.compare(out.size() - trace.size() - 2, std::string::npos, ": " + trace) == 0)
                << out;
        else
            EXPECT_EQ(out, "") << c.type;
    }
}

TEST_F(IntelHex, AddressRecordsMoveTheDataThatFollowsThem)
{
    // Extended segment: offset = value * 16; extended linear: value (15 bits) << 16.
    EXPECT_EQ(Read(Rec(2, 0, {0x01, 0x00}) + Rec(0, 0x10, {0x11}) + Rec(4, 0, {0x80, 0x00})
                   + Rec(0, 0x20, {0x22}) + Rec(3, 0, {0xDE, 0xAD, 0xBE, 0xEF})
                   + Rec(0, 0x30, {0x33}) + kEof),
              0);
    EXPECT_EQ(bout.cells[0x1010], 0x11);
    EXPECT_EQ(bout.cells[0x20], 0x22);  // 0x8000 loses its top bit: offset 0
    EXPECT_EQ(bout.cells[0x30], 0x33);
    EXPECT_TRUE(Has("Address offset set to 0x1000.\n") && Has("Address offset set to 0x0.\n"));

    // A start linear address before the data moves it; at the end it changes nothing.
    EXPECT_EQ(Read(Rec(5, 0, {0x80, 0x00, 0x01, 0x00}) + Rec(0, 0x10, {0x44}) + kEof), 0);
    EXPECT_EQ(bout.cells[0x110], 0x44);
    EXPECT_TRUE(Has("Address offset set to 0x100.\n"));
    ASSERT_EQ(intel_init_buffer_out(&bout, 0x8000, 128), 0);
    EXPECT_EQ(Read(Rec(0, 0x10, {0x55}) + Rec(5, 0, {0, 0, 0x01, 0}) + kEof), 0);
    EXPECT_EQ(bout.cells[0x10], 0x55);
    EXPECT_EQ(bout.cells[0x110], kIntelUnsetCell);
}

TEST_F(IntelHex, OutOfRangeBytesAreDroppedAndCountedNotFatal)
{
    const std::string text = Rec(0, 0, {0x01}) + Rec(0, 0x7FFE, {0xA, 0xB, 0xC, 0xD})
                             + Rec(4, 0, {0, 1}) + Rec(0, 0, {0xE, 0xF}) + kEof;
    EXPECT_EQ(Read(text), 4);
    EXPECT_EQ(bout.cells[0x7FFE], 0x0A);
    EXPECT_EQ(bout.cells[0x7FFF], 0x0B);
    EXPECT_EQ(bout.data_end, 0x7FFFu);
    EXPECT_TRUE(Has("Address 0x8000 is outside valid range 0x0 to 0x7FFF.\n"));
    EXPECT_TRUE(Has("Valid address region from 0x0 to 0x7FFF.\n"));
    EXPECT_TRUE(Has("WARNING (line 2): 0x8000 address outside valid region,\n"
                    " suppressing additional address error messages.\n"));
    EXPECT_EQ(err.text().find("WARNING", err.text().find("WARNING") + 1), std::string::npos);
    EXPECT_TRUE(Has("Total of 0x4 bytes in invalid addressed.\n"));

    EXPECT_EQ(Read(text, 1), 4);
    EXPECT_TRUE(Has("WARNING (line 2)"));  // the warning is not silenced
    EXPECT_FALSE(Has("Total of"));
}

TEST_F(IntelHex, TheLaterByteForAnAddressWins)
{
    EXPECT_EQ(Read(Rec(0, 0x200, {1, 2, 3}) + Rec(0, 0x201, {0xFF}) + Rec(0, 0x1FF, {9}) + kEof), 0);
    EXPECT_EQ(bout.cells[0x200], 1);
    EXPECT_EQ(bout.cells[0x201], 0xFF);  // a stored 0xFF is data, not unset
    EXPECT_EQ(bout.data_start, 0x1FFu);
    EXPECT_EQ(bout.data_end, 0x202u);
}

TEST_F(IntelHex, FileAndBufferFailuresAndTheQuietFlag)
{
    EXPECT_EQ(intel_hex_to_buffer(nullptr, &bout, 0), -2);
    EXPECT_EQ(err.text(), "Invalid filename.\n");
    const std::string missing = Path("missing.hex");
    err.clear();
    EXPECT_EQ(intel_hex_to_buffer(missing.c_str(), &bout, 0), -3);
    EXPECT_EQ(err.text(), "Error opening " + missing + "\n");
    err.clear();
    EXPECT_EQ(intel_hex_to_buffer(missing.c_str(), &bout, 1), -3);
    EXPECT_EQ(intel_hex_to_buffer(nullptr, &bout, 1), -2);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(Read(Rec(6, 0, {}) + kEof, 1), -5);
    EXPECT_EQ(err.text(), "Unsupported type. 6\n");  // written whatever the flag says

    intel_buffer_out empty;
    EXPECT_EQ(intel_hex_to_buffer(missing.c_str(), &empty, 0), -1);
    EXPECT_TRUE(Has("Must provide valid memory size in bout.\n"));
    EXPECT_EQ(intel_hex_stream_to_buffer(nullptr, &empty, 1), -1);
    EXPECT_EQ(intel_hex_stream_to_buffer(nullptr, &bout, 1), -3);
}

TEST_F(IntelHex, StdinIsReadWhenNamed)
{
    const std::string path = Path("stdin.hex");
    std::ofstream(path) << Rec(0, 0x42, {0x99}) + kEof;
    ASSERT_NE(std::freopen(path.c_str(), "r", stdin), nullptr);
    EXPECT_EQ(intel_hex_to_buffer("STDIN", &bout, 0), 0);
    EXPECT_EQ(bout.cells[0x42], 0x99);
    std::remove(path.c_str());
}

TEST(IntelBuffers, CreationValuesAndSizeChecks)
{
    kv::ScopedErrCapture err;
    intel_buffer_out out;
    EXPECT_EQ(intel_init_buffer_out(&out, 0, 128), -1);
    EXPECT_EQ(intel_init_buffer_out(&out, 16, 0), -1);
    EXPECT_NE(err.text().find("What are you thinking... size must be > 0.\n"), std::string::npos);
    EXPECT_EQ(out.cells, nullptr);
    ASSERT_EQ(intel_init_buffer_out(&out, 300, 128), 0);
    ASSERT_EQ(intel_init_buffer_out(&out, 300, 128), 0);  // the first storage is released
    EXPECT_EQ(out.data_start, 0xFFFFFFFFu);
    EXPECT_EQ(out.data_end, 0u);
    EXPECT_EQ(out.valid_end, 299u);
    EXPECT_EQ(out.cells[299], 0xFFFF);
    intel_free_buffer_out(&out);
    EXPECT_EQ(out.cells, nullptr);
    intel_free_buffer_out(nullptr);

    intel_buffer_in in;
    EXPECT_EQ(intel_init_buffer_in(&in, 0, 128), -1);
    ASSERT_EQ(intel_init_buffer_in(&in, 300, 128), 0);
    EXPECT_EQ(in.data_end, 299u);
    EXPECT_EQ(in.bytes[299], 0xFF);
    intel_buffer_in moved = std::move(in);
    EXPECT_EQ(in.bytes, nullptr);
    EXPECT_EQ(moved.memory_size, 300u);
    intel_free_buffer_in(&moved);
    intel_free_buffer_in(&moved);
    EXPECT_EQ(moved.memory_size, 0u);
}

TEST_F(IntelHex, PagePreparationFillsOnlyPagesThatHoldData)
{
    ASSERT_EQ(Read(Rec(0, 0x185, {0x5A}) + Rec(0, 0x7F80, {1}) + kEof), 0);
    bout.valid_end = 0x7F80;  // pages from valid_end on are not walked
    err.clear();
    EXPECT_EQ(intel_flash_prep_buffer(&bout), 0);
    EXPECT_TRUE(Has("src/intel_hex:") && Has(": intel_flash_prep_buffer( 0x")) << err.text();
    for (unsigned a = 0x180; a < 0x200; ++a)
        EXPECT_EQ(bout.cells[a], a == 0x185 ? 0x5A : 0xFF) << a;
    EXPECT_EQ(bout.cells[0x17F], kIntelUnsetCell);
    EXPECT_EQ(bout.cells[0x200], kIntelUnsetCell);
    EXPECT_EQ(bout.cells[0x7F81], kIntelUnsetCell);

    // A memory that ends inside a page: its last page stops at memory_size.
    ASSERT_EQ(intel_init_buffer_out(&bout, 200, 128), 0);
    ASSERT_EQ(intel_process_data(&bout, 130, 7), 0);
    intel_flash_prep_buffer(&bout);
    EXPECT_EQ(bout.cells[199], 0xFF);
}

struct ProgressLog {
    std::vector<int> percents;
    static void Hook(void* ctx, int, int, int percent)
    {
        static_cast<ProgressLog*>(ctx)->percents.push_back(percent);
    }
};

TEST_F(IntelHex, ValidationCountsMismatchesInsideAndOutsideTheProgram)
{
    ASSERT_EQ(Read(Rec(0, 0x100, {1, 2, 3, 4}) + kEof), 0);
    intel_flash_prep_buffer(&bout);
    bout.valid_end = 0x6FFF;
    intel_buffer_in bin;
    ASSERT_EQ(intel_init_buffer_in(&bin, 0x8000, 128), 0);
    for (unsigned a = 0x100; a < 0x180; ++a)
        bin.bytes[a] = static_cast<uint8_t>(bout.cells[a]);
    bin.bytes[0x7800] = 0;  // beyond valid_end: not compared

    err.clear();
    EXPECT_EQ(intel_validate_buffer(&bin, &bout, 0), 0);
    EXPECT_TRUE(Has("Validating image from byte 0x0 to 0x6FFF.\n") && Has("Validating...Success\n"));

    bin.bytes[0x2000] = 0x05;  // a page the file did not touch
    EXPECT_EQ(intel_validate_buffer(&bin, &bout, 0), 1);
    EXPECT_TRUE(Has("Outside program region: byte 0x2000 epected 0xFF.\n"
                    "src/intel_hex:"));
    EXPECT_TRUE(Has("but read 0x05.  supressing additional warnings.\n"));
    EXPECT_TRUE(Has("0 invalid bytes in program region, 1 outside region.\n"));

    bin.bytes[0x101] = 0x22;
    bin.bytes[0x17F] = 0x00;  // a filled 0xFF cell is program data too
    err.clear();
    EXPECT_EQ(intel_validate_buffer(&bin, &bout, 1), -2);
    EXPECT_TRUE(Has("Image did not validate at byte: 0x101 of 0x7000.\n"));
    EXPECT_TRUE(Has("Wanted 0x02 but read 0x22.\n") && Has("suppressing additional warnings.\n"));
    EXPECT_FALSE(Has("Outside program region"));  // found after an in-program mismatch
    EXPECT_FALSE(Has("ERROR\n") || Has("Validating...") || Has("invalid bytes"));
}

TEST_F(IntelHex, ValidationReportsProgressUpToOneHundredAlsoForOneByte)
{
    intel_buffer_in bin;
    ASSERT_EQ(intel_init_buffer_in(&bin, 0x8000, 128), 0);
    ProgressLog log;
    kv::register_progress_hook(&ProgressLog::Hook, &log);
    bout.valid_start = 0x10;
    bout.valid_end = 0x14;
    EXPECT_EQ(intel_validate_buffer(&bin, &bout, 1), 0);
    EXPECT_EQ(log.percents, (std::vector<int>{0, 25, 50, 75, 100, 100}));
    log.percents.clear();
    bout.valid_end = 0x10;
    EXPECT_EQ(intel_validate_buffer(&bin, &bout, 1), 0);
    EXPECT_EQ(log.percents, (std::vector<int>{100, 100}));
    kv::unregister_progress_hook();

    // A range beyond the read-back image is compared only where both exist.
    ASSERT_EQ(intel_init_buffer_in(&bin, 0x100, 128), 0);
    bout.valid_end = 0x7FFF;
    bout.cells[0x50] = 0x12;
    EXPECT_EQ(intel_validate_buffer(&bin, &bout, 1), -1);
    EXPECT_EQ(intel_validate_buffer(nullptr, &bout, 1), -1);
}

}  // namespace
