#include "gadget/tower_gadget.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "platform/clock.h"
#include "sim/virtual_tower.h"

namespace kv::gadget {
namespace {

constexpr const char* kTowerGadgetName = "kvtower";
constexpr const char* kDecoyGadgetName = "kvdecoy";
constexpr const char* kFunctionFsInstance = "kvdfu";
// The longest the loop sleeps when nothing is due.
constexpr int kIdlePollMs = 100;

GadgetIdentity ControllerIdentity()
{
    GadgetIdentity id;
    id.vendorId = sim::kVirtualVendorId;
    id.productId = sim::kVirtualProductId;
    id.manufacturer = "Nelo";
    id.product = "Nelo Base Controller";
    id.serial = "KV0001";
    return id;
}

GadgetIdentity BootloaderIdentity()
{
    GadgetIdentity id;
    id.vendorId = sim::kBootloaderVendorId;
    id.productId = sim::kBootloaderProductId;
    id.manufacturer = "ATMEL";
    id.product = "DFU";
    id.serial = "1.0.0";
    return id;
}

int Fail(const char* what, int rc)
{
    std::fprintf(stderr, "kestrivane-tower-gadget: %s: %s\n", what, std::strerror(-rc));
    return rc;
}

}  // namespace

TowerGadget::TowerGadget(TowerGadgetOptions options)
    : options_(std::move(options)),
      controller_(options_.controller),
      bootloader_(options_.bootloader),
      bridge_(controller_),
      tower_(options_.configfsRoot, kTowerGadgetName, options_.udc)
{
}

TowerGadget::~TowerGadget() { Shutdown(); }

int TowerGadget::Start()
{
    if (mkdir(options_.runDir.c_str(), 0755) != 0 && errno != EEXIST)
        return Fail("run folder", -errno);

    const std::string log = options_.runDir + "/received.log";
    logFd_ = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (logFd_ < 0)
        return Fail("received log", -errno);

    const std::string fifo = options_.runDir + "/control";
    unlink(fifo.c_str());
    if (mkfifo(fifo.c_str(), 0600) != 0)
        return Fail("control FIFO", -errno);
    // Only the checks' user (and root) may steer the tower.
    if (options_.controlUid >= 0 &&
        chown(fifo.c_str(), static_cast<uid_t>(options_.controlUid), static_cast<gid_t>(options_.controlGid)) != 0)
        return Fail("control FIFO owner", -errno);
    // Read and write, so the FIFO never reports end of file between writers.
    controlFd_ = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (controlFd_ < 0)
        return Fail("control FIFO", -errno);

    bootloader_.LoadFirmware(controller_.config().firmwareVersion[5]);

    if (!options_.decoyUdc.empty()) {
        decoy_ = std::make_unique<ConfigfsGadget>(options_.configfsRoot, kDecoyGadgetName, options_.decoyUdc);
        GadgetIdentity id = ControllerIdentity();
        id.productId = options_.decoyProductId;
        id.product = "Nelo accessory";
        HidFunctionSetup hid;
        hid.reportDescriptor = BaseControllerReportDescriptor();
        int rc = decoy_->CreateHid(id, hid);
        if (rc == 0)
            rc = decoy_->Bind();
        if (rc != 0)
            return Fail("decoy gadget", rc);
    }

    mode_ = Mode::Gone;
    const int rc = Follow();
    WriteState();
    return rc;
}

void TowerGadget::Shutdown()
{
    if (mode_ == Mode::Controller)
        UnplugController();
    if (dfu_ || ffsMounted_)
        LeaveBootloader();
    tower_.Remove();
    if (decoy_)
        decoy_->Remove();
    decoy_.reset();
    if (controlFd_ >= 0)
        close(controlFd_);
    controlFd_ = -1;
    if (logFd_ >= 0)
        close(logFd_);
    logFd_ = -1;
    mode_ = Mode::Gone;
}

int TowerGadget::PlugController()
{
    int rc = 0;
    if (!controllerCreated_) {
        tower_.Remove();
        HidFunctionSetup hid;
        hid.reportDescriptor = BaseControllerReportDescriptor();
        if ((rc = tower_.CreateHid(ControllerIdentity(), hid)) != 0)
            return Fail("Base Controller gadget", rc);
        controllerCreated_ = true;
    }
    if ((rc = tower_.Bind()) != 0)
        return Fail("binding the Base Controller", rc);
    unsigned major = 0;
    unsigned minor = 0;
    if ((rc = tower_.HidDeviceNumber(&major, &minor)) != 0)
        return Fail("HID function device number", rc);
    // A node of our own, so no other gadget's /dev/hidgN can be taken for it.
    const std::string node = options_.runDir + "/hidg";
    unlink(node.c_str());
    if (mknod(node.c_str(), S_IFCHR | 0600, makedev(major, minor)) != 0)
        return Fail("HID function node", -errno);
    hidFd_ = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (hidFd_ < 0)
        return Fail("opening the HID function", -errno);
    bridge_.Attach(hidFd_, logFd_);
    mode_ = Mode::Controller;
    return 0;
}

void TowerGadget::UnplugController()
{
    bridge_.Detach();
    if (hidFd_ >= 0)
        close(hidFd_);
    hidFd_ = -1;
    tower_.Unbind();
    mode_ = Mode::Gone;
}

int TowerGadget::EnterBootloader()
{
    UnplugController();
    tower_.Remove();
    controllerCreated_ = false;
    int rc = tower_.CreateFunctionFs(BootloaderIdentity(), kFunctionFsInstance);
    if (rc != 0)
        return Fail("boot loader gadget", rc);
    const std::string mountPoint = options_.runDir + "/ffs";
    if (mkdir(mountPoint.c_str(), 0700) != 0 && errno != EEXIST)
        return Fail("FunctionFS folder", -errno);
    if (mount(kFunctionFsInstance, mountPoint.c_str(), "functionfs", 0, nullptr) != 0)
        return Fail("mounting FunctionFS", -errno);
    ffsMounted_ = true;
    dfu_ = std::make_unique<DfuFunction>(mountPoint, bootloader_);
    dfu_->SetLog(logFd_);
    if ((rc = dfu_->Start()) != 0)
        return Fail("boot loader function", rc);
    // The boot loader shows on the bus after its start-up time.
    dueUs_ = kv::NowUs() + bootloader_.config().appearDelayUs;
    mode_ = Mode::BootloaderPending;
    return 0;
}

int TowerGadget::BindBootloader()
{
    const int rc = tower_.Bind();
    if (rc != 0)
        return Fail("binding the boot loader", rc);
    mode_ = Mode::Bootloader;
    return 0;
}

void TowerGadget::LeaveBootloader()
{
    tower_.Unbind();
    if (dfu_)
        dfu_->Stop();
    dfu_.reset();
    if (ffsMounted_)
        umount2((options_.runDir + "/ffs").c_str(), MNT_DETACH);
    ffsMounted_ = false;
    tower_.Remove();
    mode_ = Mode::Gone;
}

int TowerGadget::Follow()
{
    const uint64_t now = kv::NowUs();
    switch (mode_) {
    case Mode::Controller:
        if (controller_.inBootloader())
            return EnterBootloader();
        if (!controller_.pluggedIn())
            UnplugController();
        return 0;
    case Mode::Gone:
        if (controller_.pluggedIn())
            return PlugController();
        return 0;
    case Mode::BootloaderPending:
    case Mode::Bootloader:
        // Plugged back in by command: the tower restarts as the controller.
        if (controller_.pluggedIn()) {
            LeaveBootloader();
            return PlugController();
        }
        if (mode_ == Mode::BootloaderPending && now >= dueUs_)
            return BindBootloader();
        return 0;
    case Mode::Returning:
        if (controller_.pluggedIn()) {
            mode_ = Mode::Gone;
            return PlugController();
        }
        if (now >= dueUs_) {
            controller_.ReturnFromBootloader(returnVersion_);
            mode_ = Mode::Gone;
            return PlugController();
        }
        return 0;
    }
    return 0;
}

bool TowerGadget::Command(const std::string& line)
{
    ControlCommand c;
    if (!ParseControlCommand(line, &c)) {
        ++rejected_;
        std::fprintf(stderr, "kestrivane-tower-gadget: unknown command \"%s\"\n", line.c_str());
        return false;
    }
    ApplyControlCommand(c, controller_, bootloader_);
    ++commands_;
    return true;
}

void TowerGadget::ReadControl()
{
    if (controlFd_ < 0)
        return;
    FeedFromFd(controlFd_, &control_);
    for (std::string line; control_.NextLine(&line);)
        Command(line);
}

int TowerGadget::TimeoutMs()
{
    const uint64_t now = kv::NowUs();
    switch (mode_) {
    case Mode::Controller:
        return bridge_.MillisecondsToNextReport();
    case Mode::BootloaderPending:
    case Mode::Returning:
        return dueUs_ <= now ? 0 : static_cast<int>(std::min<uint64_t>((dueUs_ - now + 999) / 1000, kIdlePollMs));
    default:
        return kIdlePollMs;
    }
}

int TowerGadget::Step(int timeoutMs)
{
    pollfd fds[3];
    nfds_t n = 0;
    fds[n++] = pollfd{controlFd_, POLLIN, 0};
    const nfds_t hidSlot = n;
    if (hidFd_ >= 0)
        fds[n++] = pollfd{hidFd_, static_cast<short>(POLLIN | (bridge_.pending() ? POLLOUT : 0)), 0};
    const nfds_t dfuSlot = n;
    const int dfuFd = dfu_ ? dfu_->fd() : -1;
    if (dfuFd >= 0)
        fds[n++] = pollfd{dfuFd, POLLIN, 0};
    if (poll(fds, n, timeoutMs) < 0 && errno != EINTR)
        return -errno;

    if (fds[0].revents & POLLIN)
        ReadControl();
    if (hidFd_ >= 0 && hidSlot < n) {
        if (fds[hidSlot].revents & POLLIN)
            bridge_.TakeOutput();
        bridge_.Pump();
    }
    if (dfuFd >= 0 && dfuSlot < n && dfu_ && (fds[dfuSlot].revents & (POLLIN | POLLERR | POLLHUP))) {
        switch (dfu_->Serve()) {
        case DfuFunction::Event::None:
            break;
        case DfuFunction::Event::StartApplication:
            returnVersion_ = dfu_->startedVersion();
            LeaveBootloader();
            if (!bootloader_.faults().neverReturns) {
                dueUs_ = kv::NowUs() + bootloader_.config().returnDelayUs;
                mode_ = Mode::Returning;
            }
            break;
        case DfuFunction::Event::Unplugged:
            // Gone until plugged back in by command.
            LeaveBootloader();
            break;
        case DfuFunction::Event::Failed:
            LeaveBootloader();
            return Fail("boot loader endpoint 0", -EIO);
        }
    }
    const int rc = Follow();
    WriteState();
    return rc;
}

int TowerGadget::Run(const volatile int* stop)
{
    while (*stop == 0) {
        const int rc = Step(TimeoutMs());
        if (rc != 0)
            return rc;
    }
    return 0;
}

const char* TowerGadget::ModeName(Mode mode)
{
    switch (mode) {
    case Mode::Controller:
        return "controller";
    case Mode::BootloaderPending:
        return "bootloader-pending";
    case Mode::Bootloader:
        return "bootloader";
    case Mode::Returning:
        return "returning";
    case Mode::Gone:
        return "gone";
    }
    return "?";
}

void TowerGadget::WriteState()
{
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "mode=%s\nbound=%d\nfirmware=%u\ncommands=%llu\nrejected=%llu\nreceived=%llu\n"
                  "dfu_requests=%zu\nflashed=%u\n",
                  ModeName(mode_), tower_.bound() ? 1 : 0, controller_.config().firmwareVersion[5],
                  static_cast<unsigned long long>(commands_), static_cast<unsigned long long>(rejected_),
                  static_cast<unsigned long long>(bridge_.reportsReceived()),
                  dfu_ ? dfu_->served().size() : size_t{0}, bootloader_.flashedVersion());
    if (lastState_ == buf)
        return;
    lastState_ = buf;
    const std::string path = options_.runDir + "/state";
    const std::string tmp = path + ".tmp";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const ssize_t w = write(fd, lastState_.data(), lastState_.size());
    close(fd);
    if (w == static_cast<ssize_t>(lastState_.size()))
        rename(tmp.c_str(), path.c_str());
}

}  // namespace kv::gadget
