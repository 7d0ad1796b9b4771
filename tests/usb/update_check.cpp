// Guest check: a whole firmware update through the program's own progress
// dialog (offscreen), its HID link and its DFU code on the real hidapi and
// libusb, against the tower gadget.
//
//   usb_update_check whole
//       bootloader report, re-enumeration as the boot loader, erase, blank
//       check, program, read back, validate, start, and the Base Controller
//       back with the version of the file; on the wire (the gadget's log of
//       the boot loader's requests) the Atmel commands in that order, every
//       program block followed by GETSTATUS, nothing refused.
//   usb_update_check unplug [REQUESTS]
//       the boot loader leaves the bus after answering REQUESTS requests,
//       while the blocks are programmed: the run ends with the write step's
//       program failure; plugged back in, a second run succeeds.
//   usb_update_check requests
//       the DFU requests one by one through the program's DFU layer: the
//       boot loader's answers, its refusals as stalls on the real bus (an
//       UPLOAD with nothing to read, a zero-length DNLOAD without a start
//       command, a DNLOAD with data in dfuERROR) and the error state they
//       leave, cleared by CLRSTATUS.
//
// The gadget's run folder is $KV_GADGET_RUN (control FIFO "control", log
// "received.log" with a "dfu" line per boot loader request); the HEX files go
// to $TMPDIR or /tmp.
// Prints what it saw; exits 0 when the check passed. After each run no
// descriptor of the process may be left open (hidraw, usbfs or any other).
#include <QApplication>
#include <QLabel>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "assets/demo/demo_assets.h"
#include "device/device_state.h"
#include "device/hid_link.h"
#include "platform/clock.h"
#include "update/fwupdate_process.h"
#include "device/report_protocol.h"
#include "src/dfu.h"
#include "update/update_run.h"

namespace {

int failures = 0;

void Expect(bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what.c_str());
    if (!ok) ++failures;
}

// The process's open descriptors: number -> what it points at.
std::map<int, std::string> OpenDescriptors() {
    std::map<int, std::string> fds;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return fds;
    const int own = dirfd(dir);
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const int fd = std::atoi(e->d_name);
        if (fd == own) continue;
        char target[256] = {};
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        fds[fd] = n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string("?");
    }
    closedir(dir);
    return fds;
}

// The names of the process's threads.
std::vector<std::string> ThreadNames() {
    std::vector<std::string> names;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* e = readdir(dir)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            names.push_back(name);
        }
        closedir(dir);
    }
    return names;
}

// Qt's pooled worker threads (painting starts them, they end after a while
// idle), each with the eventfd of its event dispatcher.
int QtPoolThreads() {
    int n = 0;
    for (const std::string& name : ThreadNames()) n += name == "Thread (pooled)" ? 1 : 0;
    return n;
}

struct Descriptors {
    std::map<int, std::string> fds;
    int qtPoolThreads = 0;
};

Descriptors Snapshot() { return Descriptors{OpenDescriptors(), QtPoolThreads()}; }

// Descriptors are compared by what they point at, counted, as Qt's pooled
// threads come and go with an eventfd each at whatever number is free.
void ExpectNoneLeft(const Descriptors& before, const std::string& when) {
    std::map<std::string, int> count;
    for (const auto& [fd, target] : before.fds) --count[target];
    for (const auto& [fd, target] : OpenDescriptors()) ++count[target];
    count["anon_inode:[eventfd]"] -= std::max(0, QtPoolThreads() - before.qtPoolThreads);
    std::string left;
    for (const auto& [target, more] : count) {
        if (more > 0) left += " " + std::to_string(more) + "x " + target;
    }
    Expect(left.empty(), "no descriptor left open " + when + (left.empty() ? "" : ":" + left));
}

// Opens the Base Controller (waiting up to timeoutMs for it to be there),
// reads its reports until its own firmware version has come, closes it.
// Returns the version, or 0.
int ReadControllerVersion(uint64_t timeoutMs) {
    kv::DeviceState state;
    kv::HidLink link(state);
    const uint64_t end = kv::NowMs() + timeoutMs;
    while (link.Open() == nullptr) {
        if (kv::NowMs() >= end) return 0;
        kv::SleepMs(100);
    }
    int version = 0;
    while (version == 0 && kv::NowMs() < end) {
        link.ReadReport();
        if (state.lastLinkResult == 0) break;
        version = state.firmwareVersion[5];
    }
    link.Close();
    return version;
}

bool SendControl(const std::string& control, const std::string& line) {
    const int fd = open(control.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const std::string text = line + "\n";
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

std::string WriteFirmware(const std::string& workdir, uint8_t version) {
    const std::string path = workdir + "/firmware_" + std::to_string(version) + ".hex";
    const std::string text = kv::demo::IntelHexText(kv::demo::MakeDemoFirmwareImage(version));
    return kv::demo::WriteFileCreatingFolders(path, text) ? path : std::string();
}

// One line of the gadget's boot loader log.
struct WireRequest {
    unsigned requestType = 0;
    unsigned request = 0;
    unsigned length = 0;
    int result = 0;
    std::string head;
    bool halted = false;
};

std::vector<WireRequest> ReadWireLog(const std::string& path) {
    std::vector<WireRequest> requests;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string tag;
        unsigned long long time = 0;
        unsigned value = 0;
        unsigned index = 0;
        std::string halted;
        WireRequest r;
        if (!(fields >> tag >> time >> std::hex >> r.requestType >> std::dec >> r.request >> value >> index >>
              r.length >> r.result >> r.head) ||
            tag != "dfu") {
            continue;
        }
        r.halted = static_cast<bool>(fields >> halted) && halted == "halted";
        requests.push_back(r);
    }
    return requests;
}

bool IsDownloadOf(const WireRequest& r, const std::string& command) {
    return r.requestType == 0x21 && r.request == 1 && r.head.compare(0, command.size(), command) == 0;
}

// What a healthy update looks like on the wire.
void ExpectWireOrder(const std::vector<WireRequest>& wire) {
    Expect(!wire.empty(), "boot loader log has " + std::to_string(wire.size()) + " requests");
    // erase, blank check, program, read memory, start, the start's empty DNLOAD
    const std::vector<std::string> steps{"0400ff", "0301", "01", "0300", "0403", "-"};
    size_t step = 0;
    size_t blocks = 0;
    size_t blocksWithStatus = 0;
    size_t halted = 0;
    for (size_t i = 0; i < wire.size(); ++i) {
        if (wire[i].halted) ++halted;
        if (step < steps.size() && IsDownloadOf(wire[i], steps[step]) &&
            (steps[step] != "-" || wire[i].length == 0)) {
            ++step;
        }
        if (IsDownloadOf(wire[i], "01")) {
            ++blocks;
            if (i + 1 < wire.size() && wire[i + 1].requestType == 0xA1 && wire[i + 1].request == 3)
                ++blocksWithStatus;
        }
    }
    Expect(step == steps.size(), "erase, blank check, program, read, start in order (" + std::to_string(step) +
                                     " of " + std::to_string(steps.size()) + ")");
    Expect(blocks > 0 && blocksWithStatus == blocks,
           "GETSTATUS after each program block (" + std::to_string(blocksWithStatus) + " of " +
               std::to_string(blocks) + ")");
    Expect(halted == 0, "no request refused (" + std::to_string(halted) + ")");
}

struct RunOutcome {
    int endCode = 0;
    int result = 0;
    int lastStep = 0;
    std::string message;
};

// One run of the program's progress dialog, OK pressed when it is over.
RunOutcome RunUpdate(const std::string& hexPath) {
    kv::DeviceState state;
    kv::HidLink link(state);
    kv::FWUPDATE_PROCESS dialog(link, nullptr);
    dialog.onRunFinished = [](kv::FWUPDATE_PROCESS& d) { d.OnOk(); };
    RunOutcome outcome;
    outcome.endCode = dialog.run(hexPath);
    outcome.result = dialog.updateResult();
    outcome.lastStep = dialog.lastStep();
    outcome.message = dialog.messageLine()->text().toStdString();
    std::printf("run: end code %d, step %d, result %d, \"%s\"\n", outcome.endCode, outcome.lastStep,
                outcome.result, outcome.message.c_str());
    return outcome;
}

// The version the next update writes: another one than the controller runs.
uint8_t OtherVersion(int current) { return current == 28 ? 27 : 28; }

void WholeUpdate(const std::string& workdir, const std::string& wireLog) {
    const Descriptors atStart = Snapshot();
    const int before = ReadControllerVersion(10000);
    ExpectNoneLeft(atStart, "after reading the version");
    Expect(before != 0, "Base Controller reports version " + std::to_string(before));
    const uint8_t target = OtherVersion(before);
    const std::string hex = WriteFirmware(workdir, target);
    Expect(!hex.empty(), "firmware file written");

    const Descriptors fds = Snapshot();
    const RunOutcome run = RunUpdate(hex);
    Expect(run.endCode == kv::FWUPDATE_PROCESS::kUpdated && run.result == UPDATE_SUCCESS &&
               run.lastStep == UPDATE_STEP_DONE,
           "update ends updated after its last step");
    ExpectNoneLeft(fds, "after the update");
    const int after = ReadControllerVersion(10000);
    Expect(after == target, "Base Controller back with version " + std::to_string(after) + ", file has " +
                                std::to_string(target));
    ExpectWireOrder(ReadWireLog(wireLog));
}

void UnplugDuringUpdate(const std::string& workdir, const std::string& control, int64_t requests) {
    const int before = ReadControllerVersion(10000);
    Expect(before != 0, "Base Controller reports version " + std::to_string(before));
    const uint8_t target = OtherVersion(before);
    const std::string hex = WriteFirmware(workdir, target);
    Expect(!hex.empty(), "firmware file written");
    Expect(SendControl(control, "unplug-during-update " + std::to_string(requests)),
           "gadget told to leave the bus during the update");

    const Descriptors fds = Snapshot();
    const RunOutcome failed = RunUpdate(hex);
    Expect(failed.endCode == kv::FWUPDATE_PROCESS::kFailed && failed.lastStep == UPDATE_STEP_WRITE &&
               failed.result == UPDATE_PROGRAM_FAILED,
           "unplugged update fails in the write step with the program failure");
    Expect(failed.message == "Update failed with error code: [3.7].", "failure shown as [3.7]");
    ExpectNoneLeft(fds, "after the failed update");

    Expect(SendControl(control, "clear-faults") && SendControl(control, "plug"), "gadget plugged back in");
    Expect(ReadControllerVersion(15000) != 0, "Base Controller back on the bus");
    const RunOutcome again = RunUpdate(hex);
    Expect(again.endCode == kv::FWUPDATE_PROCESS::kUpdated && again.result == UPDATE_SUCCESS,
           "second attempt succeeds");
    ExpectNoneLeft(fds, "after the second attempt");
    const int after = ReadControllerVersion(10000);
    Expect(after == target, "Base Controller back with version " + std::to_string(after) + ", file has " +
                                std::to_string(target));
}

// The state and status GETSTATUS reports, or {-1, -1} when it fails.
std::pair<int, int> StateAndStatus(dfu_device* device) {
    dfu_status status;
    if (dfu_get_status(device, &status) != 0) return {-1, -1};
    return {status.bState, status.bStatus};
}

void RequestsOnTheBus() {
    const Descriptors atStart = Snapshot();
    {
        // The program's way into the boot loader: the bootloader report.
        kv::DeviceState state;
        kv::HidLink link(state);
        const uint64_t end = kv::NowMs() + 10000;
        while (link.Open() == nullptr && kv::NowMs() < end) kv::SleepMs(100);
        const kv::Report report = kv::BuildBootloaderReport();
        Expect(link.IsOpen() == 1 && link.WriteReport(report.data(), report.size()) == 0,
               "bootloader report sent");
        link.Close();
    }
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0) {
        Expect(false, "libusb set up");
        return;
    }
    dfu_device device;
    const uint64_t end = kv::NowMs() + 15000;
    while (dfu_device_init(ctx, 0x03EB, 0x2FF4, &device, true) == nullptr && kv::NowMs() < end) kv::SleepMs(250);
    Expect(device.handle != nullptr, "boot loader found, claimed and in dfuIDLE");
    if (device.handle != nullptr) {
        using SS = std::pair<int, int>;
        Expect(StateAndStatus(&device) == SS(STATE_DFU_IDLE, DFU_STATUS_OK), "GETSTATUS: dfuIDLE, OK");
        uint8_t buffer[64] = {};
        Expect(dfu_upload(&device, sizeof buffer, buffer) == LIBUSB_ERROR_PIPE,
               "UPLOAD with nothing to read stalls");
        Expect(StateAndStatus(&device) == SS(STATE_DFU_ERROR, DFU_STATUS_ERROR_STALLEDPKT),
               "then GETSTATUS: dfuERROR, errSTALLEDPKT");
        Expect(dfu_clear_status(&device) == 0, "CLRSTATUS taken");
        Expect(StateAndStatus(&device) == SS(STATE_DFU_IDLE, DFU_STATUS_OK), "then GETSTATUS: dfuIDLE, OK");
        Expect(dfu_download(&device, 0, nullptr) == LIBUSB_ERROR_PIPE,
               "zero-length DNLOAD without a start command stalls");
        Expect(StateAndStatus(&device) == SS(STATE_DFU_ERROR, DFU_STATUS_ERROR_STALLEDPKT),
               "then GETSTATUS: dfuERROR, errSTALLEDPKT");
        const uint8_t selectPage[5] = {0x06, 0x03, 0x01, 0x00, 0x00};
        Expect(dfu_download(&device, sizeof selectPage, selectPage) == LIBUSB_ERROR_PIPE,
               "DNLOAD with data in dfuERROR stalls");
        Expect(StateAndStatus(&device) == SS(STATE_DFU_ERROR, DFU_STATUS_ERROR_STALLEDPKT),
               "then GETSTATUS: dfuERROR, errSTALLEDPKT");
        Expect(dfu_clear_status(&device) == 0 && dfu_abort(&device) == 0, "CLRSTATUS and ABORT taken");
        Expect(StateAndStatus(&device) == SS(STATE_DFU_IDLE, DFU_STATUS_OK), "back in dfuIDLE, OK");
        libusb_release_interface(device.handle, device.interface);
        libusb_close(device.handle);
    }
    libusb_exit(ctx);
    ExpectNoneLeft(atStart, "after the requests");
}

}  // namespace

int main(int argc, char** argv) {
    const char* run = std::getenv("KV_GADGET_RUN");
    if (argc < 2 || run == nullptr) {
        std::fprintf(stderr, "usage: KV_GADGET_RUN=FOLDER %s requests|whole|unplug [REQUESTS]\n", argv[0]);
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const std::string mode = argv[1];
    const char* tmp = std::getenv("TMPDIR");
    const std::string workdir = std::string(tmp != nullptr ? tmp : "/tmp") + "/kv-update-check";
    const std::string control = std::string(run) + "/control";
    if (mode == "requests") {
        RequestsOnTheBus();
    } else if (mode == "whole") {
        WholeUpdate(workdir, std::string(run) + "/received.log");
    } else if (mode == "unplug") {
        // Requests the boot loader answers before it leaves: past the search,
        // the erase with its busy polls and the blank check, into the blocks.
        const int64_t requests = argc > 2 ? std::atoll(argv[2]) : 60;
        UnplugDuringUpdate(workdir, control, requests);
    } else {
        std::fprintf(stderr, "unknown check %s\n", mode.c_str());
        return 2;
    }
    return failures == 0 ? 0 : 1;
}
