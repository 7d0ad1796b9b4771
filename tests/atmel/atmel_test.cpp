// The Atmel boot loader commands against the virtual boot loader, judged on
// the bytes it received, the codes returned and the trace written.
#include <gtest/gtest.h>

#include <libusb.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/progress.h"
#include "platform/update_trace.h"
#include "sim/virtual_bootloader.h"
#include "sim/virtual_tower.h"
#include "src/atmel.h"
#include "src/dfu.h"
#include "src/intel_hex.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint8_t High(uint32_t v) { return static_cast<uint8_t>((v >> 8) & 0xFF); }
uint8_t Low(uint32_t v) { return static_cast<uint8_t>(v & 0xFF); }
using kv::sim::LoggedTransfer;

std::vector<int> g_percents;
void RecordPercent(void*, int, int, int percent) { g_percents.push_back(percent); }

class AtmelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        kv::sim::TheVirtualTower().Clear();
        kv::sim::TheVirtualUsb().Reset();
        bl_ = &kv::sim::TheVirtualUsb().AddBootloader(0);
        ASSERT_EQ(libusb_init(&ctx_), 0);
        ASSERT_NE(dfu_device_init(ctx_, 0x03EB, 0x2FF4, &dev_, true), nullptr);
        answeredBefore_ = static_cast<int64_t>(bl_->transfers().size());
        bl_->ClearTransfers();
        err_.clear();
        g_percents.clear();
        kv::register_progress_hook(&RecordPercent, nullptr);
    }
    void TearDown() override
    {
        kv::unregister_progress_hook();
        if (dev_.handle != nullptr) {
            libusb_release_interface(dev_.handle, dev_.interface);
            libusb_close(dev_.handle);
        }
        libusb_exit(ctx_);
    }

    // Atmel commands: the DNLOAD transfers that carried data.
    std::vector<Bytes> Commands() const
    {
        std::vector<Bytes> out;
        for (const LoggedTransfer& t : bl_->transfers())
            if (t.request == DFU_DNLOAD && !t.data.empty())
                out.push_back(t.data);
        return out;
    }
    // The boot loader leaves the list after answering n more transfers.
    void VanishAfter(int64_t n)
    {
        bl_->faults().vanishAfterTransfers =
            answeredBefore_ + static_cast<int64_t>(bl_->transfers().size()) + n;
    }
    bool Traced(const std::string& line) const
    {
        return err_.text().find(": " + line) != std::string::npos;
    }
    // A fresh 32 kB image whose valid region is the application area.
    static void MakeImage(intel_buffer_out& bout, uint32_t pageSize = 128)
    {
        ASSERT_EQ(intel_init_buffer_out(&bout, 0x8000, pageSize), 0);
        bout.valid_start = 0;
        bout.valid_end = 0x6FFF;
    }

    kv::ScopedVirtualClock clock_;
    kv::ScopedErrCapture err_;
    kv::sim::VirtualBootloader* bl_ = nullptr;
    libusb_context* ctx_ = nullptr;
    dfu_device dev_;
    int64_t answeredBefore_ = 0;
};

TEST_F(AtmelTest, ErasePollsEvery100msUntilTheBootLoaderIsDone)
{
    bl_->LoadFirmware(28);
    bl_->config().eraseBusyUs = 1200000;
    EXPECT_EQ(atmel_erase_flash(&dev_, true), 0);

    ASSERT_EQ(Commands(), (std::vector<Bytes>{{0x04, 0x00, 0xFF}}));
    std::vector<uint64_t> polls;
    for (const LoggedTransfer& t : bl_->transfers())
        if (t.request == DFU_GETSTATUS)
            polls.push_back(t.timeUs);
    ASSERT_GE(polls.size(), 12U);
    ASSERT_LE(polls.size(), 14U);
    for (size_t i = 1; i < polls.size(); ++i)
        EXPECT_EQ(polls[i] - polls[i - 1], 100000U);
    EXPECT_EQ(bl_->erases(), 1);
    for (uint32_t a = 0; a <= 0x6FFF; ++a)
        ASSERT_EQ(bl_->flash()[a], 0xFF) << a;
    EXPECT_TRUE(Traced("CMD_ERASE status: Erase Done.\n"));
}

TEST_F(AtmelTest, EraseGivesUpAfterTwentySecondsOfBusy)
{
    bl_->faults().busyForever = true;
    const int64_t started = kv::WallSeconds();
    EXPECT_EQ(atmel_erase_flash(&dev_, true), -3);
    const int64_t waited = kv::WallSeconds() - started;
    EXPECT_GE(waited, 20);
    EXPECT_LT(waited, 21);
    EXPECT_GE(bl_->CountRequests(DFU_GETSTATUS), 199U);
    EXPECT_TRUE(Traced("CMD_ERASE time limit 20s exceeded.\n"));
}

TEST_F(AtmelTest, EraseGivesUpAfterTenFailedStatusRequests)
{
    bl_->faults().shortStatusLength = 3;
    bl_->faults().shortStatusCount = -1;
    EXPECT_EQ(atmel_erase_flash(&dev_, true), -3);
    EXPECT_EQ(bl_->CountRequests(DFU_GETSTATUS), 10U);
    EXPECT_EQ(bl_->CountRequests(DFU_CLRSTATUS), 10U);
    EXPECT_LT(kv::NowUs(), 1000000U);  // long before the time limit
    EXPECT_TRUE(Traced("CMD_ERASE status check 10 returned nonzero.\n"));
}

TEST_F(AtmelTest, EraseReportsTheStatusThatEndedIt)
{
    bl_->faults().eraseFails = true;
    EXPECT_EQ(atmel_erase_flash(&dev_, true), DFU_STATUS_ERROR_ERASE);
}

TEST_F(AtmelTest, BlankCheckNamesTheFirstNonBlankAddress)
{
    bl_->flash().fill(0xFF);
    EXPECT_EQ(atmel_blank_check(&dev_, 0, 0x6FFF, true), 0);
    EXPECT_TRUE(Traced("atmel_blank_check( 0x"));
    EXPECT_TRUE(Traced("Flash blank from 0x0 to 0x6FFF.\n"));

    bl_->flash()[0x1234] = 0x00;
    bl_->ClearTransfers();
    EXPECT_EQ(atmel_blank_check(&dev_, 0, 0x6FFF, true), 0x1235);
    EXPECT_EQ(Commands(), (std::vector<Bytes>{{0x03, 0x01, 0x00, 0x00, 0x6F, 0xFF}}));
    EXPECT_TRUE(Traced(" First non-blank address in region is 0x1234.\n"));
    // The address that says where cannot be read.
    bl_->faults().stallRequest = DFU_UPLOAD;
    bl_->faults().stallCount = 1;
    EXPECT_EQ(__atmel_blank_page_check(&dev_, 0, 0x6FFF), -4);
    EXPECT_TRUE(Traced("__atmel_blank_page_check DFU_UPLOAD failed.\n"));
    ASSERT_EQ(dfu_make_idle(&dev_, true), 0);
    // A range turned round is refused, not called blank.
    EXPECT_EQ(atmel_blank_check(&dev_, 0x10, 0x0F, true), -1);
    EXPECT_TRUE(Traced("Flash NOT blank beginning at 0x1234.\n"));
}

TEST_F(AtmelTest, StatusThatIsNotOkIsClearedAndRefused)
{
    // A stalled status request reads as errUNKNOWN in dfuERROR.
    bl_->faults().stallRequest = DFU_GETSTATUS;
    bl_->faults().stallCount = 1;
    EXPECT_EQ(__atmel_blank_page_check(&dev_, 0, 0x6FFF), -4);
    EXPECT_TRUE(Traced("Error: status (errUNKNOWN) was not OK.\n"));
    EXPECT_EQ(bl_->CountRequests(DFU_CLRSTATUS), 1U);

    EXPECT_EQ(__atmel_blank_page_check(&dev_, 0, 0x10000), -1);
    EXPECT_EQ(__atmel_blank_page_check(&dev_, 2, 1), -1);
    EXPECT_EQ(bl_->CountRequests(DFU_DNLOAD), 1U);  // the bad ranges sent nothing
}

TEST_F(AtmelTest, PartialPageIsProgrammedAsOneWholePageMessage)
{
    intel_buffer_out bout;
    MakeImage(bout);
    const Bytes data{0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    for (uint32_t i = 0; i < data.size(); ++i)
        bout.cells[0x0100 + i] = data[i];
    bl_->flash().fill(0xFF);

    ASSERT_EQ(atmel_flash(&dev_, &bout, true), 0);

    const std::vector<Bytes> commands = Commands();
    ASSERT_EQ(commands.size(), 1U);
    const Bytes& m = commands[0];
    ASSERT_EQ(m.size(), 176U);
    Bytes expected(176, 0x00);
    const Bytes header{0x01, 0x00, 0x01, 0x00, 0x01, 0x7F};
    std::copy(header.begin(), header.end(), expected.begin());
    std::fill(expected.begin() + 32, expected.begin() + 160, 0xFF);
    std::copy(data.begin(), data.end(), expected.begin() + 32);
    const Bytes footer{0x00, 0x00, 0x00, 0x00, 0x10, 0x44, 0x46, 0x55,
                       0x01, 0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::copy(footer.begin(), footer.end(), expected.begin() + 160);
    EXPECT_EQ(m, expected);
    EXPECT_EQ(bl_->flash()[0x0103], 0x44);
    EXPECT_EQ(bout.data_start, 0x0100U);
    EXPECT_EQ(bout.data_end, 0x017FU);
    EXPECT_TRUE(Traced("Flash available from 0x0 to 0x6FFF (64kB p. 0 to 0), 0x7000 bytes.\n"));
}

TEST_F(AtmelTest, PageGapSplitsTheBlocks)
{
    intel_buffer_out bout;
    MakeImage(bout);
    bout.cells[0x0000] = 0x01;
    bout.cells[0x0100] = 0x02;  // 0x0080..0x00FF stays empty
    ASSERT_EQ(atmel_flash(&dev_, &bout, true), 0);
    const std::vector<Bytes> commands = Commands();
    ASSERT_EQ(commands.size(), 2U);
    EXPECT_EQ(Bytes(commands[0].begin(), commands[0].begin() + 6),
              (Bytes{0x01, 0x00, 0x00, 0x00, 0x00, 0x7F}));
    EXPECT_EQ(Bytes(commands[1].begin(), commands[1].begin() + 6),
              (Bytes{0x01, 0x00, 0x01, 0x00, 0x01, 0x7F}));
}

TEST_F(AtmelTest, BadImagesAreRefusedBeforeAnythingIsSent)
{
    struct Case {
        uint32_t address;  // UINT32_MAX: no data at all
        uint32_t validStart;
        const char* trace;
    };
    const char* outside = "ERROR: Data exists outside of the valid target flash region.\n";
    for (const Case& c : {Case{UINT32_MAX, 0, "ERROR: No valid data to flash.\n"}, Case{0x7000, 0, outside},
                          Case{0x00FF, 0x0100, outside}}) {
        SCOPED_TRACE(c.address);
        intel_buffer_out bout;
        MakeImage(bout);
        bout.valid_start = c.validStart;
        if (c.address != UINT32_MAX)
            bout.cells[c.address] = 0x00;
        bl_->ClearTransfers();
        err_.clear();
        EXPECT_EQ(atmel_flash(&dev_, &bout, true), -1);
        EXPECT_TRUE(Traced(c.trace));
        EXPECT_TRUE(bl_->transfers().empty());
    }
    EXPECT_TRUE(Traced("Flash available from 0x100 to 0x6FFF (64kB p. 0 to 0), 0x6F00 bytes.\n"));
}

TEST_F(AtmelTest, FailedBlockStopsProgramming)
{
    intel_buffer_out bout;
    MakeImage(bout);
    for (uint32_t a = 0; a < 0x0800; ++a)
        bout.cells[a] = 0x5A;
    bl_->faults().stallRequest = DFU_DNLOAD;
    bl_->faults().stallCount = 1;
    EXPECT_EQ(atmel_flash(&dev_, &bout, false), -4);
    EXPECT_TRUE(Traced("Error flashing the block: err -2.\n"));
    EXPECT_NE(err_.text().find("Memory write error, use debug for more info.\n"), std::string::npos);
    EXPECT_EQ(bl_->CountRequests(DFU_DNLOAD), 1U);  // the second block was never sent
}

// What a real boot loader refuses, the virtual one refuses too: each row
// drives it over the DFU requests and names the answer.
TEST_F(AtmelTest, BootLoaderRefusesWhatTheClassAndTheFlashForbid)
{
    auto program = [this](uint32_t start, uint32_t end) {
        Bytes m(32 + (end - start + 1) + 16, 0x00);
        const Bytes header{0x01, 0x00, High(start), Low(start), High(end), Low(end)};
        std::copy(header.begin(), header.end(), m.begin());
        const Bytes footer{0x00, 0x00, 0x00, 0x00, 0x10, 'D', 'F', 'U', 0x01, 0x10};
        std::copy(footer.begin(), footer.end(), m.end() - 16);
        return dfu_download(&dev_, m.size(), m.data());
    };
    auto blankCheck = [this] {
        uint8_t c[6] = {0x03, 0x01, 0x00, 0x00, 0x00, 0x7F};
        return dfu_download(&dev_, sizeof c, c);
    };
    struct Row {
        const char* name;
        std::function<int()> act;  // the request that is judged
        int result;
        uint8_t status;            // what the next GETSTATUS answers
        uint8_t state;
    };
    const Row rows[] = {
        {"a whole page", [&] { return program(0x0080, 0x00FF); }, 176, DFU_STATUS_OK,
         STATE_DFU_DOWNLOAD_IDLE},
        {"DNLOAD before the block's GETSTATUS",
         [&] { program(0x0000, 0x007F); return blankCheck(); }, LIBUSB_ERROR_PIPE,
         DFU_STATUS_ERROR_STALLEDPKT, STATE_DFU_ERROR},
        {"CLRSTATUS in dfuIDLE", [&] { return dfu_clear_status(&dev_); }, LIBUSB_ERROR_PIPE,
         DFU_STATUS_ERROR_STALLEDPKT, STATE_DFU_ERROR},
        {"half a page", [&] { return program(0x0000, 0x003F); }, 112, DFU_STATUS_ERROR_ADDRESS,
         STATE_DFU_ERROR},
        {"a page that starts mid-page", [&] { return program(0x0040, 0x00BF); }, 176,
         DFU_STATUS_ERROR_ADDRESS, STATE_DFU_ERROR},
        {"the boot loader's first page", [&] { return program(0x7000, 0x707F); }, 176,
         DFU_STATUS_ERROR_ADDRESS, STATE_DFU_ERROR},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_EQ(dfu_make_idle(&dev_, true), 0);
        EXPECT_EQ(r.act(), r.result);
        dfu_status status;
        ASSERT_EQ(dfu_get_status(&dev_, &status), 0);
        EXPECT_EQ(status.bStatus, r.status);
        EXPECT_EQ(status.bState, r.state);
        // A command's answer asks for a pause before the next status request.
        if (r.state == STATE_DFU_DOWNLOAD_IDLE) {
            EXPECT_EQ(status.bwPollTimeout, 5U);
        }
    }
}

// A program block that fails on the device fails the programming, also the
// last one; a healthy run asks for every block's status, gives every transfer
// 20 s and does not wait for the poll time-outs it is offered.
TEST_F(AtmelTest, ProgramBlockFaultsAndTransferTimeOuts)
{
    struct Row {
        const char* name;
        int64_t failAt;        // block that answers `status`
        uint8_t status;
        uint64_t slowUs;       // the first block takes this long
        int result;
        const char* trace;
    };
    const Row rows[] = {
        {"healthy", -1, 0, 0, 0, "Page write success.\n"},
        {"errWRITE on the last block", 0x07FF, DFU_STATUS_ERROR_WRITE, 0, -4,
         "Page write not unsuccessful (err errWRITE).\n"},
        {"errPROG", 0x0400, DFU_STATUS_ERROR_PROG, 0, -4, "Error flashing the block: err 6.\n"},
        {"errVERIFY on the last block", 0x07FF, DFU_STATUS_ERROR_VERIFY, 0, -4,
         "Error flashing the block: err 7.\n"},
        {"a block just within 20 s", -1, 0, 19999000, 0, "Page write success.\n"},
        {"a block beyond 20 s", -1, 0, 20001000, -4, "Error flashing the block: err -2.\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_EQ(dfu_make_idle(&dev_, true), 0);
        bl_->flash().fill(0xFF);
        bl_->faults().failProgramAddress = r.failAt;
        bl_->faults().programFailStatus = r.status;
        bl_->faults().slowProgramAddress = r.slowUs != 0 ? 0 : -1;
        bl_->faults().slowProgramUs = r.slowUs;
        intel_buffer_out bout;
        MakeImage(bout);
        for (uint32_t a = 0; a < 0x0800; ++a)
            bout.cells[a] = static_cast<uint16_t>(a & 0x7F);
        bl_->ClearTransfers();
        err_.clear();
        const uint64_t t0 = kv::NowUs();

        EXPECT_EQ(atmel_flash(&dev_, &bout, true), r.result);
        EXPECT_TRUE(Traced(r.trace));
        for (const LoggedTransfer& t : bl_->transfers())
            EXPECT_EQ(t.timeoutMs, 20000U);
        if (r.result == 0) {
            // Two blocks of eight pages, each followed by its status.
            EXPECT_EQ(bl_->CountRequests(DFU_GETSTATUS), 3U);  // page selection, two blocks
            EXPECT_EQ(kv::NowUs() - t0, (r.slowUs != 0 ? r.slowUs : 8 * 4000U) + 8 * 4000U);
            for (uint32_t a = 0; a < 0x0800; ++a)
                ASSERT_EQ(bl_->flash()[a], a & 0x7F) << a;
        } else if (r.failAt >= 0) {
            // errVERIFY leaves the block written with one bit wrong; the
            // others leave it as it was.
            const auto at = static_cast<size_t>(r.failAt);
            EXPECT_EQ(bl_->flash()[at], r.status == DFU_STATUS_ERROR_VERIFY ? (at & 0x7F) ^ 0x01 : 0xFF);
        }
    }
    bl_->faults() = kv::sim::BootloaderFaults{};
}

TEST_F(AtmelTest, ReadBackOfTheApplicationTakes28Blocks)
{
    bl_->LoadFirmware(28);
    intel_buffer_in bin;
    ASSERT_EQ(intel_init_buffer_in(&bin, 0x8000, 128), 0);
    bin.data_start = 0;
    bin.data_end = 0x6FFF;
    ASSERT_EQ(atmel_read_flash(&dev_, &bin, true), 0);

    const std::vector<Bytes> commands = Commands();
    ASSERT_EQ(commands.size(), 28U);
    EXPECT_EQ(commands.front(), (Bytes{0x03, 0x00, 0x00, 0x00, 0x03, 0xFF}));
    EXPECT_EQ(commands.back(), (Bytes{0x03, 0x00, 0x6C, 0x00, 0x6F, 0xFF}));
    EXPECT_EQ(std::memcmp(bin.bytes, bl_->flash().data(), 0x7000), 0);
    EXPECT_EQ(bin.bytes[0x7000], 0xFF);  // outside the range: untouched

    ASSERT_EQ(g_percents.size(), 28U);
    EXPECT_EQ(g_percents.front(), 0);
    for (size_t i = 1; i < g_percents.size(); ++i)
        EXPECT_GT(g_percents[i], g_percents[i - 1]);
    EXPECT_LE(g_percents.back(), 100);
}

TEST_F(AtmelTest, ReadProtectedDeviceFailsTheReadBack)
{
    bl_->faults().readProtected = true;
    intel_buffer_in bin;
    ASSERT_EQ(intel_init_buffer_in(&bin, 0x8000, 128), 0);
    EXPECT_EQ(atmel_read_flash(&dev_, &bin, true), -5);
    EXPECT_NE(err_.text().find("The device is read protected.\n"), std::string::npos);

    // A range beyond the buffer is refused before anything is sent.
    bl_->ClearTransfers();
    bin.data_end = 0x8000;
    EXPECT_EQ(atmel_read_flash(&dev_, &bin, true), -1);
    EXPECT_TRUE(bl_->transfers().empty());
    EXPECT_TRUE(Traced("invalid arguments.\n"));
}

TEST_F(AtmelTest, SingleByteRangesReportFullProgress)
{
    intel_buffer_in bin;
    ASSERT_EQ(intel_init_buffer_in(&bin, 0x8000, 128), 0);
    bin.data_start = bin.data_end = 0x0010;
    ASSERT_EQ(atmel_read_flash(&dev_, &bin, true), 0);
    EXPECT_EQ(g_percents, (std::vector<int>{100}));

    g_percents.clear();
    intel_buffer_out bout;
    MakeImage(bout, 1);  // one-byte pages: the data stays a single byte
    bl_->config().flashPageSize = 1;
    bout.cells[0x0020] = 0xAB;
    ASSERT_EQ(atmel_flash(&dev_, &bout, true), 0);
    EXPECT_EQ(g_percents, (std::vector<int>{100}));
}

TEST_F(AtmelTest, StartCommands)
{
    // The boot loader leaves right after the start command, so the closing
    // zero-length DNLOAD fails: expected with a reset, a failure without.
    VanishAfter(1);
    EXPECT_EQ(atmel_start_app_reset(&dev_), 0);
    EXPECT_TRUE(Traced("dfu_download failed (rv=-4).\n"));
    EXPECT_EQ(atmel_start_app_noreset(&dev_), -4);  // gone: the command is not taken
    EXPECT_EQ(Commands(), (std::vector<Bytes>{{0x04, 0x03, 0x00}}));
}

TEST_F(AtmelTest, StartWithoutResetNeedsTheClosingDownload)
{
    VanishAfter(1);
    EXPECT_EQ(atmel_start_app_noreset(&dev_), -5);
    EXPECT_EQ(Commands(), (std::vector<Bytes>{{0x04, 0x03, 0x01, 0x00, 0x00}}));
}

TEST_F(AtmelTest, FamilyFlagsChooseTheSelectionCommands)
{
    struct Case {
        int type;
        std::vector<Bytes> sent;  // select flash, select page 0, select eeprom
        int eepromResult;
    };
    const Case cases[] = {
        {ATMEL_FAMILY_8051, {}, 0},
        {ATMEL_FAMILY_AVR, {{0x06, 0x03, 0x00, 0x00}}, 0},
        {ATMEL_FAMILY_AVR32, {{0x06, 0x03, 0x00, 0x00}, {0x06, 0x03, 0x01, 0x00, 0x00}}, -1},
        {ATMEL_FAMILY_XMEGA,
         {{0x06, 0x03, 0x00, 0x00}, {0x06, 0x03, 0x01, 0x00, 0x00}, {0x06, 0x03, 0x00, 0x01}},
         -4},  // sent, but the virtual boot loader has flash only
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        ASSERT_EQ(dfu_make_idle(&dev_, true), 0);
        bl_->ClearTransfers();
        dev_.type = c.type;
        EXPECT_EQ(atmel_select_memory_unit(&dev_, ATMEL_MEMORY_UNIT_FLASH), 0);
        EXPECT_EQ(atmel_select_page(&dev_, 0), 0);
        EXPECT_EQ(atmel_select_memory_unit(&dev_, ATMEL_MEMORY_UNIT_EEPROM), c.eepromResult);
        EXPECT_EQ(atmel_select_memory_unit(&dev_, 17), (c.type & GRP_AVR32) ? -1 : 0);
        EXPECT_EQ(Commands(), c.sent);
    }
}

TEST_F(AtmelTest, FullCycleLeavesTheImageInFlash)
{
    bl_->LoadFirmware(12);
    const std::array<uint8_t, 0x1000> bootloaderArea = [&] {
        std::array<uint8_t, 0x1000> a{};
        std::copy_n(bl_->flash().begin() + 0x7000, a.size(), a.begin());
        return a;
    }();

    intel_buffer_out bout;
    MakeImage(bout);
    uint32_t x = 12345;
    for (uint32_t a = 0; a <= 0x6FFF; ++a) {
        x = x * 1103515245U + 12345U;
        bout.cells[a] = static_cast<uint16_t>((x >> 16) & 0xFF);
    }

    ASSERT_EQ(atmel_erase_flash(&dev_, true), 0);
    ASSERT_EQ(atmel_blank_check(&dev_, 0, 0x6FFF, true), 0);
    bl_->ClearTransfers();
    ASSERT_EQ(atmel_flash(&dev_, &bout, true), 0);
    const std::vector<Bytes> programs = Commands();
    ASSERT_EQ(programs.size(), 28U);
    for (const Bytes& m : programs)
        EXPECT_EQ(m.size(), 32U + 1024U + 16U);

    intel_buffer_in bin;
    ASSERT_EQ(intel_init_buffer_in(&bin, 0x8000, 128), 0);
    bin.data_start = bout.valid_start;
    bin.data_end = bout.valid_end;
    ASSERT_EQ(atmel_read_flash(&dev_, &bin, true), 0);
    EXPECT_EQ(intel_validate_buffer(&bin, &bout, 1), 0);

    for (uint32_t a = 0; a <= 0x6FFF; ++a)
        ASSERT_EQ(bl_->flash()[a], bout.cells[a]) << a;
    EXPECT_TRUE(std::equal(bootloaderArea.begin(), bootloaderArea.end(),
                           bl_->flash().begin() + 0x7000));
}

}  // namespace
