#include <functional>

#include "dfu_fixture.h"

namespace kv::test {
namespace {

using Faults = sim::BootloaderFaults;

TEST_F(DfuTest, RefusedArgumentsSendNothing) {
    Open();
    sim::VirtualBootloader& b = Loader();
    const uint16_t counter = dfu_transaction_counter();
    uint8_t byte = 0x04;
    dfu_status status;
    dfu_device noHandle;
    struct Case {
        const char* name;
        std::function<int()> call;
        int expected;
        const char* trace;
    };
    const Case cases[] = {
        {"detach without device", [&] { return dfu_detach(nullptr, kDfuDetachTimeoutMs); }, -1, "Invalid parameter\n"},
        {"abort without handle", [&] { return dfu_abort(&noHandle); }, -1, "Invalid parameter\n"},
        {"clear without handle", [&] { return dfu_clear_status(&noHandle); }, -1, "Invalid parameter\n"},
        {"status without handle", [&] { return dfu_get_status(&noHandle, &status); }, -1, "Invalid parameter\n"},
        {"download without handle", [&] { return dfu_download(&noHandle, 1, &byte); }, -1, "Invalid parameter\n"},
        {"download length, no data", [&] { return dfu_download(&dev_, 1, nullptr); }, -2, "data was NULL, but length != 0\n"},
        {"download data, length 0", [&] { return dfu_download(&dev_, 0, &byte); }, -3, "data was not NULL, but length == 0\n"},
        {"download above 16 bits", [&] { return dfu_download(&dev_, 0x10000, &byte); }, -2, "Invalid parameter\n"},
        {"upload length 0", [&] { return dfu_upload(&dev_, 0, &byte); }, -2, "data was NULL, or length is 0\n"},
        {"upload no buffer", [&] { return dfu_upload(&dev_, 4, nullptr); }, -2, "data was NULL, or length is 0\n"},
    };
    // Each refusal traces its own reason as its last line.
    for (const Case& c : cases) {
        err_.clear();
        EXPECT_EQ(c.call(), c.expected) << c.name;
        const std::string text = err_.text();
        EXPECT_TRUE(text.ends_with(std::string(": ") + c.trace)) << c.name << ": " << text;
    }
    EXPECT_TRUE(b.transfers().empty());
    EXPECT_EQ(dfu_transaction_counter(), counter);
    // Without an answer the caller sees an error to clear.
    EXPECT_EQ(status.bStatus, DFU_STATUS_ERROR_UNKNOWN);
    EXPECT_EQ(status.bState, STATE_DFU_ERROR);
}

TEST_F(DfuTest, ZeroLengthDownloadIsSentAndStartsTheApplication) {
    sim::VirtualBootloader& b = Loader();
    // Before a start command it is refused, also as the first request after
    // the boot loader came up, and the boot loader stays.
    ASSERT_NE(Init(false), nullptr);
    EXPECT_LT(dfu_download(&dev_, 0, nullptr), 0);
    EXPECT_TRUE(b.attached());
    ASSERT_EQ(dfu_clear_status(&dev_), 0);
    b.ClearTransfers();
    const uint8_t start[] = {0x04, 0x03, 0x00};
    ASSERT_EQ(dfu_download(&dev_, sizeof start, start), 3);
    EXPECT_EQ(dfu_download(&dev_, 0, nullptr), 0);
    ASSERT_EQ(b.transfers().size(), 2u);
    const sim::LoggedTransfer& t = b.transfers().back();
    EXPECT_EQ(t.requestType, 0x21);
    EXPECT_EQ(t.request, DFU_DNLOAD);
    EXPECT_EQ(t.length, 0);
    EXPECT_EQ(t.index, dev_.interface);
    EXPECT_FALSE(b.attached());
    // The device has gone: the next request says so and passes it on.
    err_.clear();
    EXPECT_EQ(dfu_abort(&dev_), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_NE(err_.text().find("dfu_abort ERR: LIBUSB_ERROR_NO_DEVICE: No such device (it may have been "
                               "disconnected) 0xfffffffc (-4)\n"),
              std::string::npos);
}

TEST_F(DfuTest, CounterRunsAcrossDownloadAndUploadAndWraps) {
    Open();
    sim::VirtualBootloader& b = Loader();
    const uint8_t read[] = {0x03, 0x00, 0x00, 0x00, 0x00, 0x01};
    while (dfu_transaction_counter() != 0xFFFF) {
        ASSERT_EQ(dfu_download(&dev_, sizeof read, read), 6);
        err_.clear();
    }
    b.ClearTransfers();
    dfu_status status;
    uint8_t buffer[2];
    ASSERT_EQ(dfu_download(&dev_, sizeof read, read), 6);
    ASSERT_EQ(dfu_get_status(&dev_, &status), 0);  // does not count
    ASSERT_EQ(dfu_upload(&dev_, sizeof buffer, buffer), 2);
    ASSERT_EQ(dfu_download(&dev_, sizeof read, read), 6);
    ASSERT_EQ(b.transfers().size(), 4u);
    EXPECT_EQ(b.transfers()[0].value, 0xFFFF);
    EXPECT_EQ(b.transfers()[1].value, 0);
    EXPECT_EQ(b.transfers()[2].value, 0);
    EXPECT_EQ(b.transfers()[3].value, 1);
    EXPECT_EQ(dfu_transaction_counter(), 2);
}

TEST_F(DfuTest, StatusAnswersParsedFailedAndShort) {
    Open();
    const uint8_t erase[] = {0x04, 0x00, 0xFF};
    ASSERT_EQ(dfu_download(&dev_, sizeof erase, erase), 3);
    dfu_status status;
    err_.clear();
    ASSERT_EQ(dfu_get_status(&dev_, &status), 0);
    EXPECT_EQ(status.bStatus, DFU_STATUS_ERROR_NOTDONE);
    EXPECT_EQ(status.bState, STATE_DFU_DOWNLOAD_BUSY);
    EXPECT_EQ(status.bwPollTimeout, 100u);
    EXPECT_NE(err_.text().find("status->bStatus: errNOTDONE (0x09)\n"), std::string::npos);
    EXPECT_NE(err_.text().find("status->bwPollTimeout: 0x0064 ms\n"), std::string::npos);
    EXPECT_NE(err_.text().find("status->bState: dfuDNBUSY (0x04)\n"), std::string::npos);

    sim::VirtualBootloader& b = Loader();
    // Failed at USB level: 0, and the caller sees an error to clear.
    b.faults().stallRequest = DFU_GETSTATUS;
    b.faults().stallCount = 1;
    EXPECT_EQ(dfu_get_status(&dev_, &status), 0);
    EXPECT_EQ(status.bStatus, DFU_STATUS_ERROR_UNKNOWN);
    EXPECT_EQ(status.bState, STATE_DFU_ERROR);
    EXPECT_NE(err_.text().find("dfu_get_status ERR: LIBUSB_ERROR_PIPE: Pipe error."), std::string::npos);
    // Four bytes: -2.
    b.faults().shortStatusLength = 4;
    b.faults().shortStatusCount = 1;
    err_.clear();
    EXPECT_EQ(dfu_get_status(&dev_, &status), -2);
    EXPECT_NE(err_.text().find("result: 4\n"), std::string::npos);
    // An empty answer is a failure like a failed transfer.
    b.faults().shortStatusLength = 0;
    b.faults().shortStatusCount = 1;
    EXPECT_EQ(dfu_get_status(&dev_, &status), 0);
    EXPECT_EQ(status.bState, STATE_DFU_ERROR);
}

TEST_F(DfuTest, MakeIdleClearsTwoErrorsInThreePasses) {
    Open();
    sim::VirtualBootloader& b = Loader();
    ASSERT_LT(dfu_download(&dev_, 0, nullptr), 0);  // stalled: dfuERROR
    b.faults().stallRequest = DFU_CLRSTATUS;       // the first clear does not help
    b.faults().stallCount = 1;
    b.ClearTransfers();
    err_.clear();
    EXPECT_EQ(dfu_make_idle(&dev_, false), 0);
    const std::vector<uint8_t> expected{DFU_GETSTATUS, DFU_CLRSTATUS, DFU_GETSTATUS, DFU_CLRSTATUS, DFU_GETSTATUS};
    EXPECT_EQ(Requests(b), expected);
    EXPECT_NE(err_.text().find("State: dfuERROR (10)\n"), std::string::npos);
    EXPECT_NE(err_.text().find("dfu_clear_status ERR: LIBUSB_ERROR_PIPE: Pipe error."), std::string::npos);
    EXPECT_NE(err_.text().find("State: dfuIDLE (2)\n"), std::string::npos);
}

TEST_F(DfuTest, MakeIdleAbortsADownload) {
    Open();
    sim::VirtualBootloader& b = Loader();
    const uint8_t unit[] = {0x06, 0x03, 0x00, 0x00};
    dfu_status status;
    ASSERT_EQ(dfu_download(&dev_, sizeof unit, unit), 4);
    ASSERT_EQ(dfu_get_status(&dev_, &status), 0);
    ASSERT_EQ(status.bState, STATE_DFU_DOWNLOAD_IDLE);
    b.ClearTransfers();
    EXPECT_EQ(dfu_make_idle(&dev_, false), 0);
    const std::vector<uint8_t> expected{DFU_GETSTATUS, DFU_ABORT, DFU_GETSTATUS};
    EXPECT_EQ(Requests(b), expected);
    EXPECT_EQ(b.state(), STATE_DFU_IDLE);
}

TEST_F(DfuTest, MakeIdleGivesUpAfterFourPasses) {
    Open();
    sim::VirtualBootloader& b = Loader();
    // Every request stalls; each status answer is a failed transfer, which
    // reads as dfuERROR and counts as a pass.
    b.faults().stallRequest = Faults::kAnyRequest;
    b.faults().stallCount = -1;
    err_.clear();
    EXPECT_EQ(dfu_make_idle(&dev_, true), -2);
    EXPECT_EQ(b.CountRequests(DFU_GETSTATUS), static_cast<size_t>(kDfuIdlePasses));
    EXPECT_NE(err_.text().find("Not able to transition the device into the dfuIDLE state.\n"), std::string::npos);
}

TEST_F(DfuTest, ShortStatusAnswersDoNotUseUpPassesButAreBounded) {
    Open();
    sim::VirtualBootloader& b = Loader();
    // More short answers than passes, then a healthy device: still idle.
    b.faults().shortStatusLength = 3;
    b.faults().shortStatusCount = kDfuIdlePasses + 1;
    EXPECT_EQ(dfu_make_idle(&dev_, false), 0);

    // Short answers for ever: given up after a bounded number of requests.
    b.ClearTransfers();
    b.faults().shortStatusCount = -1;
    EXPECT_EQ(dfu_make_idle(&dev_, false), -2);
    EXPECT_EQ(b.CountRequests(DFU_GETSTATUS), static_cast<size_t>(kDfuIdleMaxFailedStatus));
    EXPECT_EQ(b.CountRequests(DFU_CLRSTATUS), static_cast<size_t>(kDfuIdleMaxFailedStatus - 1));

    // No handle at all: the same bound, no traffic.
    dfu_device none;
    EXPECT_EQ(dfu_make_idle(&none, true), -2);
}

TEST_F(DfuTest, MakeIdleResetsADetachedDevice) {
    sim::VirtualBootloader& b = Loader();
    b.faults().stuckState = STATE_DFU_MANIFEST_WAIT_RESET;
    // dfu_device_init is bounded; open by hand to see one pass.
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx_, &list);
    ASSERT_GT(n, 0);
    ASSERT_EQ(libusb_open(list[0], &dev_.handle), 0);
    libusb_free_device_list(list, 1);
    err_.clear();
    EXPECT_EQ(dfu_make_idle(&dev_, false), 1);
    EXPECT_EQ(b.resets(), 1);
    EXPECT_NE(err_.text().find("State: dfuMANIFEST-WAIT-RESET (8)\nsrc/dfu:"), std::string::npos);
    EXPECT_NE(err_.text().find("Resetting the device\n"), std::string::npos);
}

TEST(DfuNames, CodesOutsideTheTablesAndErrorLines) {
    // Codes come from the device: anything outside the tables has a name.
    for (int code : {-1, 11, 255, 1000}) EXPECT_STREQ(dfu_state_name(code), "unknown state") << code;
    for (int code : {-3, 16, 255}) EXPECT_STREQ(dfu_status_name(code), "unknown status") << code;

    ScopedErrCapture err;
    dfu_msg_response_output("x", 0);
    dfu_msg_response_output("x", 7);
    EXPECT_EQ(err.text(), "");
    dfu_msg_response_output("r", LIBUSB_ERROR_OTHER);
    dfu_msg_response_output("r", -13);
    EXPECT_NE(err.text().find("r ERR: LIBUSB_ERROR_OTHER: Other error. 0xffffff9d (-99)\n"), std::string::npos);
    EXPECT_NE(err.text().find("r ERR: Unknown error 0xfffffff3 (-13)\n"), std::string::npos);
}

}  // namespace
}  // namespace kv::test
