#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "device/device_state.h"
#include "device/hid_link.h"
#include "platform/clock.h"
#include "platform/progress.h"
#include "platform/update_trace.h"
#include "sim/virtual_tower.h"
#include "update/update_run.h"
#include "update_test_support.h"

namespace kv::test {
namespace {

constexpr uint8_t kNewVersion = 29;  // the tower runs 28

size_t Occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Whatever a run did, it gave every libusb object back.
bool AllReleased()
{
    const sim::LibusbUse& use = sim::TheVirtualUsb().libusbUse();
    return use.liveContexts == 0 && use.liveHandles == 0 && use.liveDevices == 0 &&
           use.liveDeviceLists == 0 && use.liveConfigDescriptors == 0;
}

class UpdateRunTest : public ::testing::Test {
protected:
    void SetUp() override { ResetWorld(); }
    void TearDown() override { EXPECT_TRUE(AllReleased()); }

    int Run(const std::string& path, ProgressRecorder& recorder, int product = 0)
    {
        return update_run(product, path.c_str(), &ProgressRecorder::Hook, &recorder);
    }

    ScopedVirtualClock clock_;
    ScopedErrCapture err_;
    std::vector<uint8_t> firmware_ = MakeFirmware(kNewVersion);
    TempHexFile hex_{FirmwareHex(firmware_)};
};

std::string CorruptChecksumOfLine(std::string text, int line);

// The version the Base Controller reports over HID.
int ReportedFirmwareVersion()
{
    DeviceState& s = TheDeviceState();
    s.firmwareVersion[5] = 0;
    HidLink& link = TheHidLink();
    if (link.Open() == nullptr)
        return -1;
    for (int i = 0; i < 40 && s.firmwareVersion[5] == 0; ++i)
        link.ReadReport();
    link.Close();
    return s.firmwareVersion[5];
}

TEST_F(UpdateRunTest, WholeUpdateFromTheBootloaderReportBringsBackTheFlashedVersion)
{
    ASSERT_TRUE(SendBootloaderReportOverHid());
    ProgressRecorder rec;
    ASSERT_EQ(Run(hex_.path(), rec), 0) << err_.text();

    EXPECT_EQ(rec.steps, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(update_current_step(), UPDATE_STEP_DONE);
    EXPECT_STREQ(update_step_text(update_current_step()), "All Done.");
    EXPECT_TRUE(FlashHolds(firmware_));
    EXPECT_EQ(Bootloader().erases(), 1);
    EXPECT_EQ(ReportedFirmwareVersion(), kNewVersion);

    for (const char* failure : {"No device present.", "ERASE FAILED.", "FLASH FAILED.",
                                "LAUNCH FAILED.", "REDISCOVERY FAILED.", "overlap"})
        EXPECT_EQ(err_.text().find(failure), std::string::npos) << failure;

    // The boot loader is taken out of whatever it was doing before its state
    // is asked for, and every request may take the 20 s a block can need.
    const std::vector<sim::LoggedTransfer>& sent = Bootloader().transfers();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front().request, 6);  // DFU_ABORT
    for (const sim::LoggedTransfer& t : sent)
        ASSERT_EQ(t.timeoutMs, 20000u);

    // Each step change comes with percent 0; the module loops report
    // percentages within steps 3 to 5 only, with the in-step flag.
    int previous = -1;
    for (const HookCall& c : rec.calls) {
        EXPECT_EQ(c.inStep, (c.step >= 3 && c.step <= 5) ? 1 : 0) << "step " << c.step;
        if (c.step != previous) {
            EXPECT_EQ(c.percent, 0) << "step " << c.step;
        }
        previous = c.step;
    }
    EXPECT_GT(rec.calls.size(), rec.steps.size());

    // The hook belongs to the run only.
    const size_t calls = rec.calls.size();
    set_progress_step(3, 1);
    report_progress(50);
    EXPECT_EQ(rec.calls.size(), calls);
}

// Pages without data stay erased; bytes beyond the 32 kB image are dropped
// with a warning and the update goes on.
TEST_F(UpdateRunTest, GapsStayErasedAndBytesBeyondTheImageAreDropped)
{
    const std::vector<uint8_t> sparse = MakeFirmware(kNewVersion, 0x0A10);
    const struct {
        std::string hex;
        const std::vector<uint8_t>& flash;
        bool warning;
    } cases[] = {
        {FirmwareHex(sparse), sparse, false},
        {HexText({{0x0000, firmware_}, {0x9000, {1, 2, 3, 4}}}), firmware_, true},
    };
    for (const auto& c : cases) {
        ResetWorld();
        err_.clear();
        TempHexFile hex(c.hex);
        ASSERT_TRUE(SendBootloaderReportOverHid());
        ProgressRecorder rec;
        ASSERT_EQ(Run(hex.path(), rec), 0) << err_.text();
        EXPECT_TRUE(FlashHolds(c.flash));
        EXPECT_EQ(ReportedFirmwareVersion(), kNewVersion);
        EXPECT_EQ(err_.text().find("WARNING: There are bytes outside of target memory.\n") !=
                      std::string::npos,
                  c.warning);
    }
}

// The check before the tower is touched refuses what the run would refuse
// after the erase, and nothing else, without a single libusb call.
TEST_F(UpdateRunTest, FileCheckRefusesWhatTheRunWouldWithoutTouchingTheDevice)
{
    const struct {
        const char* name;
        std::string text;  // empty: no file
        int product;
        int result;
        std::vector<int> steps;
    } rows[] = {
        {"the firmware", FirmwareHex(firmware_), 0, 0, {}},
        {"bytes beyond the image", HexText({{0x0000, firmware_}, {0x9000, {1, 2}}}), 0, 0, {}},
        {"bad checksum", CorruptChecksumOfLine(FirmwareHex(firmware_), 40), 0, 6, {3}},
        {"data over the boot loader", HexText({{0x0000, firmware_}, {0x7FFF, {0x00}}}), 0, 6, {3}},
        {"no file", "", 0, 6, {3}},
        {"another product", FirmwareHex(firmware_), 1, 2, {}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        TempHexFile hex(r.text);
        const std::string path = r.text.empty() ? hex.path() + ".missing" : hex.path();
        const uint64_t calls = sim::TheVirtualUsb().libusbUse().calls;
        ProgressRecorder rec;
        EXPECT_EQ(update_check_file(r.product, path.c_str(), &ProgressRecorder::Hook, &rec),
                  r.result);
        EXPECT_EQ(rec.steps, r.steps);
        EXPECT_EQ(sim::TheVirtualUsb().libusbUse().calls, calls);
    }
}

TEST_F(UpdateRunTest, AnotherProductIsRefusedBeforeAnyDeviceIsTouched)
{
    ProgressRecorder rec;
    EXPECT_EQ(Run(hex_.path(), rec, 1), UPDATE_UNSUPPORTED_PRODUCT);
    EXPECT_EQ(rec.steps, std::vector<int>{0});
    EXPECT_NE(err_.text().find("Unsupported product.\nUNSUPPORTED PRODUCT.\n"), std::string::npos);
    update_target target;
    EXPECT_EQ(select_target(7, &target), UPDATE_UNSUPPORTED_PRODUCT);
    EXPECT_EQ(select_target(0, nullptr), UPDATE_UNSUPPORTED_PRODUCT);
}

struct FailureCase {
    const char* name;
    int step;    // step shown when the run ends
    int result;  // result code
    std::vector<const char*> messages;
    // Makes the fault: the file to use (empty: the good one), faults set
    // before the run, a change at a step change during the run.
    std::function<std::string(const std::vector<uint8_t>& firmware)> file;
    std::function<void()> before;
    std::function<void(int step)> atStep;
    // After failures in steps 1 to 5 the device waits in its boot loader.
    bool retry = true;
};

std::string CorruptChecksumOfLine(std::string text, int line)
{
    size_t at = 0;
    for (int i = 0; i < line; ++i)
        at = text.find('\n', at) + 1;
    const size_t end = text.find('\n', at);
    text[end - 1] = text[end - 1] == '0' ? '1' : '0';
    return text;
}

std::vector<FailureCase> FailureCases()
{
    using sim::BootloaderFaults;
    auto faults = [] { return &Bootloader().faults(); };
    return {
        {"libusb cannot be set up", 0, 3, {"Can't init libusb.\n"}, nullptr,
         [] { sim::TheVirtualUsb().FailCall(1, LIBUSB_ERROR_NO_MEM); }, nullptr, true},
        {"no boot loader within thirty attempts", 1, 3, {"No device present.\n"}, nullptr,
         [] { Bootloader().AttachIn(40000000); }, nullptr, true},
        {"erase refused", 2, 4, {"ERASE FAILED.\n"}, nullptr,
         [faults] { faults()->eraseFails = true; }, nullptr, true},
        {"erase never ends", 2, 4, {"ERASE FAILED.\n"}, nullptr,
         [faults] { faults()->busyForever = true; }, nullptr, true},
        {"a cell that does not erase", 2, 5, {"ERASE FAILED.\n"}, nullptr,
         [faults] { faults()->unerasedAddress = 0x0123; }, nullptr, true},
        {"HEX file with a bad checksum", 3, 6,
         {"Something went wrong with creating the memory image.\n", "FLASH FAILED.\n"},
         [](const std::vector<uint8_t>& fw) { return CorruptChecksumOfLine(FirmwareHex(fw), 40); },
         nullptr, nullptr, true},
        {"HEX file with data in the boot loader region", 3, 6,
         {"Bootloader and code overlap.\n", "FLASH FAILED.\n"},
         [](const std::vector<uint8_t>& fw) {
             return HexText({{0x0000, fw}, {0x7000, {0x0C, 0x94}}});
         },
         nullptr, nullptr, true},
        {"HEX file missing", 3, 6, {"Something went wrong with creating the memory image.\n"},
         [](const std::vector<uint8_t>&) { return std::string(); }, nullptr, nullptr, true},
        {"programming stalls", 3, 7, {"Error writing flash data.\n", "FLASH FAILED.\n"}, nullptr,
         nullptr,
         [faults](int step) {
             if (step == 3) {
                 faults()->stallRequest = 1;  // DNLOAD
                 faults()->stallCount = -1;
             }
         },
         true},
        {"read protected", 4, 9, {"ERROR: could not read memory\n", "FLASH FAILED.\n"}, nullptr,
         [faults] { faults()->readProtected = true; }, nullptr, true},
        {"one byte differs after programming", 5, 10, {"FLASH FAILED.\n"}, nullptr, nullptr,
         [](int step) {
             if (step == 4)
                 Bootloader().flash()[0x3456] ^= 0x10;
         },
         true},
        {"a stray byte above an image that ends low", 5, 10, {"FLASH FAILED.\n"},
         [](const std::vector<uint8_t>& fw) {
             return HexText({{0x0000, std::vector<uint8_t>(fw.begin(), fw.begin() + 0x0400)}});
         },
         nullptr,
         [](int step) {
             if (step == 4)
                 Bootloader().flash()[0x5000] = 0x00;
         },
         true},
        {"the last program block answers errWRITE", 3, 7,
         {"Error writing flash data.\n", "FLASH FAILED.\n"}, nullptr,
         [faults] { faults()->failProgramAddress = 0x6FFF; }, nullptr, true},
        {"a program block outlasts the transfer time-out", 3, 7,
         {"Error writing flash data.\n", "FLASH FAILED.\n"}, nullptr,
         [faults] {
             faults()->slowProgramAddress = 0x0400;
             faults()->slowProgramUs = 25000000;
         },
         nullptr, true},
        {"start command refused", 6, -1, {"LAUNCH FAILED.\n"}, nullptr, nullptr,
         [faults](int step) {
             if (step == 6) {
                 faults()->stallRequest = 1;
                 faults()->stallCount = -1;
             }
         },
         false},
        {"Base Controller never comes back", 6, 12, {"REDISCOVERY FAILED.\n"}, nullptr,
         [faults] { faults()->neverReturns = true; }, nullptr, false},
    };
}

TEST_F(UpdateRunTest, EachFailureEndsWithItsStepAndResultAndTheNextRunSucceeds)
{
    for (const FailureCase& c : FailureCases()) {
        SCOPED_TRACE(c.name);
        ResetWorld();
        err_.clear();

        std::string text = c.file ? c.file(firmware_) : FirmwareHex(firmware_);
        TempHexFile bad(text);
        const std::string path = (c.file && text.empty()) ? bad.path() + ".missing" : bad.path();

        ASSERT_TRUE(SendBootloaderReportOverHid());
        if (c.before)
            c.before();
        ProgressRecorder rec;
        rec.onStep = c.atStep;
        const uint64_t start = NowUs();
        EXPECT_EQ(Run(path, rec), c.result);
        ASSERT_FALSE(rec.steps.empty());
        EXPECT_EQ(rec.steps.back(), c.step);
        EXPECT_EQ(update_current_step(), c.step);
        for (const char* m : c.messages)
            EXPECT_NE(err_.text().find(m), std::string::npos) << m;

        if (c.step == 1) {
            // Thirty searches one second apart.
            EXPECT_EQ(NowUs() - rec.stepTimesUs[1], 29u * UPDATE_SEARCH_INTERVAL_US);
            EXPECT_EQ(Occurrences(err_.text(), "dfu_device_init( "), 30u);
        }
        if (c.step == 3 && c.result == 6) {
            // Nothing was written after the erase.
            EXPECT_EQ(Bootloader().erases(), 1);
            const auto& flash = Bootloader().flash();
            EXPECT_TRUE(std::all_of(flash.begin(), flash.begin() + 0x7000,
                                    [](uint8_t b) { return b == 0xFF; }));
        }
        if (c.result == 12) {
            EXPECT_GE(NowUs() - start, 29u * UPDATE_SEARCH_INTERVAL_US);
        }
        EXPECT_TRUE(AllReleased());

        if (!c.retry)
            continue;
        // The user reads the failure dialog and tries again: the boot loader
        // is there directly, the HID link cannot reach the controller.
        Bootloader().faults() = sim::BootloaderFaults{};
        clock_.clock().Advance(60000000);
        const size_t reports = BootloaderReportsTaken();
        EXPECT_FALSE(SendBootloaderReportOverHid());
        ProgressRecorder again;
        ASSERT_EQ(Run(hex_.path(), again), 0) << err_.text();
        EXPECT_EQ(BootloaderReportsTaken(), reports);
        ASSERT_GE(again.stepTimesUs.size(), 3u);
        EXPECT_LT(again.stepTimesUs[2] - again.stepTimesUs[1], UPDATE_SEARCH_INTERVAL_US);
        EXPECT_TRUE(FlashHolds(firmware_));
        EXPECT_EQ(ReportedFirmwareVersion(), kNewVersion);
    }
}

TEST_F(UpdateRunTest, AFailingLibusbCallNeverPassesAsSuccessAndNeverLeaks)
{
    ASSERT_TRUE(SendBootloaderReportOverHid());
    ProgressRecorder baseline;
    ASSERT_EQ(Run(hex_.path(), baseline), 0);
    const uint64_t calls = sim::TheVirtualUsb().libusbUse().calls;
    ASSERT_GT(calls, 50u);

    const int codes[] = {LIBUSB_ERROR_IO, LIBUSB_ERROR_PIPE, LIBUSB_ERROR_NO_DEVICE,
                         LIBUSB_ERROR_TIMEOUT, LIBUSB_ERROR_OTHER};
    const std::vector<int> defined{0, -1, 3, 4, 5, 6, 7, 8, 9, 10, 12};
    size_t failures = 0;
    for (uint64_t k = 1; k <= calls; ++k) {
        SCOPED_TRACE("libusb call " + std::to_string(k));
        ResetWorld();
        err_.clear();
        ASSERT_TRUE(SendBootloaderReportOverHid());
        sim::TheVirtualUsb().FailCall(k, codes[k % 5]);
        ProgressRecorder rec;
        const int result = Run(hex_.path(), rec);

        EXPECT_NE(std::find(defined.begin(), defined.end(), result), defined.end()) << result;
        if (result == 0) {
            EXPECT_TRUE(FlashHolds(firmware_));
            EXPECT_EQ(ReportedFirmwareVersion(), kNewVersion);
        } else {
            ++failures;
        }
        ASSERT_TRUE(AllReleased());
    }
    // Most single failures end the run; some are retried away.
    EXPECT_GT(failures, 0u);
    std::cout << "[ sweep    ] " << calls << " libusb calls in a successful run, " << failures
              << " single failures ended the run\n";
}

}  // namespace
}  // namespace kv::test
