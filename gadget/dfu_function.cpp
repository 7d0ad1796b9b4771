#include "gadget/dfu_function.h"

#include <fcntl.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <unistd.h>

#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "sim/virtual_bootloader.h"

namespace kv::gadget {

namespace {

// The DFU interface as the boot loader shows it in DFU mode.
constexpr uint8_t kInterfaceClass = 0xFE;     // application specific
constexpr uint8_t kInterfaceSubClass = 0x01;  // device firmware upgrade
constexpr uint8_t kInterfaceProtocol = 0x02;  // DFU mode
constexpr uint8_t kFunctionalDescriptorType = 0x21;
constexpr uint8_t kCanDownload = 0x01;
constexpr uint8_t kCanUpload = 0x02;
constexpr uint16_t kDetachTimeoutMs = 1000;
// The longest message the boot loader takes in one DNLOAD: a program command
// with its 32-byte header, a 1 kB block and its 16-byte footer.
constexpr uint16_t kTransferSize = 32 + 0x400 + 16;
constexpr uint16_t kDfuVersion = 0x0110;
constexpr uint16_t kLanguageEnUs = 0x0409;
constexpr const char* kInterfaceName = "DFU";
// Bytes of a request's OUT data kept in the log: the Atmel command and its
// first arguments.
constexpr size_t kLoggedHead = 3;

// A control request's setup packet, little endian on the wire.
struct Setup {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
};

Setup ParseSetup(const uint8_t* s) {
    Setup setup;
    setup.requestType = s[0];
    setup.request = s[1];
    setup.value = static_cast<uint16_t>(s[2] | s[3] << 8);
    setup.index = static_cast<uint16_t>(s[4] | s[5] << 8);
    setup.length = static_cast<uint16_t>(s[6] | s[7] << 8);
    return setup;
}

void PutLe16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutLe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>((v >> shift) & 0xFF));
}

void SetLe32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + static_cast<size_t>(i)] = static_cast<uint8_t>((v >> (8 * i)) & 0xFF);
}

// Interface and DFU functional descriptor: the same at full and high speed,
// as ep0 is the only endpoint.
void PutInterface(std::vector<uint8_t>& out, bool functional) {
    const uint8_t interface[9] = {9, 0x04, 0, 0, 0, kInterfaceClass, kInterfaceSubClass, kInterfaceProtocol, 1};
    out.insert(out.end(), interface, interface + sizeof interface);
    if (!functional) return;
    out.push_back(9);
    out.push_back(kFunctionalDescriptorType);
    out.push_back(kCanDownload | kCanUpload);
    PutLe16(out, kDetachTimeoutMs);
    PutLe16(out, kTransferSize);
    PutLe16(out, kDfuVersion);
}

class FileEp0 : public Ep0 {
public:
    ~FileEp0() override { Close(); }
    int Open(const std::string& path) override {
        Close();
        fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        return fd_ < 0 ? -errno : 0;
    }
    void Close() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd() const override { return fd_; }
    ssize_t Read(void* data, size_t length) override {
        ssize_t n;
        do {
            n = ::read(fd_, data, length);
        } while (n < 0 && errno == EINTR);
        return n < 0 ? -errno : n;
    }
    ssize_t Write(const void* data, size_t length) override {
        ssize_t n;
        do {
            n = ::write(fd_, data, length);
        } while (n < 0 && errno == EINTR);
        return n < 0 ? -errno : n;
    }
    bool Readable() override {
        if (fd_ < 0) return false;
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
    }

private:
    int fd_ = -1;
};

}  // namespace

std::unique_ptr<Ep0> MakeFileEp0() { return std::make_unique<FileEp0>(); }

DfuFunction::DfuFunction(std::string functionFsDir, sim::VirtualBootloader& bootloader)
    : DfuFunction(std::move(functionFsDir), bootloader, MakeFileEp0()) {}

DfuFunction::DfuFunction(std::string functionFsDir, sim::VirtualBootloader& bootloader, std::unique_ptr<Ep0> ep0)
    : dir_(std::move(functionFsDir)), bootloader_(bootloader), ep0_(std::move(ep0)) {
    bootloader_.onStartApplication = [this](uint8_t version) {
        applicationStarted_ = true;
        startedVersion_ = version;
    };
}

DfuFunction::~DfuFunction() {
    Stop();
    bootloader_.onStartApplication = nullptr;
}

std::vector<uint8_t> DfuFunction::DescriptorBlob(bool functional) {
    const uint32_t perSpeed = functional ? 2 : 1;
    std::vector<uint8_t> blob;
    PutLe32(blob, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    PutLe32(blob, 0);  // length, set below
    PutLe32(blob, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    PutLe32(blob, perSpeed);  // full speed: interface (and functional descriptor)
    PutLe32(blob, perSpeed);  // high speed: the same
    PutInterface(blob, functional);
    PutInterface(blob, functional);
    SetLe32(blob, 4, static_cast<uint32_t>(blob.size()));
    return blob;
}

std::vector<uint8_t> DfuFunction::StringBlob() {
    std::vector<uint8_t> blob;
    PutLe32(blob, FUNCTIONFS_STRINGS_MAGIC);
    PutLe32(blob, 0);  // length, set below
    PutLe32(blob, 1);  // strings per language
    PutLe32(blob, 1);  // languages
    PutLe16(blob, kLanguageEnUs);
    blob.insert(blob.end(), kInterfaceName, kInterfaceName + std::strlen(kInterfaceName) + 1);
    SetLe32(blob, 4, static_cast<uint32_t>(blob.size()));
    return blob;
}

int DfuFunction::fd() const { return started_ ? ep0_->fd() : -1; }

int DfuFunction::Start() {
    Stop();
    served_.clear();
    enabled_ = false;
    applicationStarted_ = false;
    startedVersion_ = 0;

    int rc = WriteDescriptors(true);
    if (rc == -EINVAL) {
        // The FunctionFS of older kernels (6.1 among them) takes class
        // descriptors only in HID and CCID interfaces and refuses the DFU
        // functional descriptor. The host finds the boot loader by its ids
        // and interface, not by that descriptor, so there the interface goes
        // without it.
        rc = WriteDescriptors(false);
    }
    if (rc < 0) return rc;
    started_ = true;
    // A fresh enumeration of the boot loader: DFU state and status start over,
    // the flash stays. The model's own transfer log starts over with it, as
    // every refusal check copies the model.
    bootloader_.AttachIn(0);
    bootloader_.ClearTransfers();
    return 0;
}

int DfuFunction::WriteDescriptors(bool functional) {
    functionalDescriptor_ = functional;
    // A refused blob leaves the instance waiting for descriptors again once
    // ep0 is closed, so every attempt starts on a fresh open.
    const int rc = ep0_->Open(dir_ + "/ep0");
    if (rc < 0) return rc;
    for (const std::vector<uint8_t>& blob : {DescriptorBlob(functional), StringBlob()}) {
        const ssize_t n = ep0_->Write(blob.data(), blob.size());
        if (n != static_cast<ssize_t>(blob.size())) {
            ep0_->Close();
            return n < 0 ? static_cast<int>(n) : -EIO;
        }
    }
    return 0;
}

void DfuFunction::Stop() {
    if (!started_) return;
    ep0_->Close();
    started_ = false;
    enabled_ = false;
}

DfuFunction::Event DfuFunction::Serve() {
    if (!started_) return Event::None;
    // Only what is there now: the loop polls for the rest.
    while (ep0_->Readable()) {
        usb_functionfs_event events[4];
        const ssize_t n = ep0_->Read(events, sizeof events);
        // -EIDRM: a request the host gave up before it was read.
        if (n == -EAGAIN || n == -EIDRM) break;
        if (n < 0) return Event::Failed;
        const size_t count = static_cast<size_t>(n) / sizeof events[0];
        if (count == 0) break;
        for (size_t i = 0; i < count; ++i) {
            switch (events[i].type) {
            case FUNCTIONFS_ENABLE:
                enabled_ = true;
                break;
            case FUNCTIONFS_DISABLE:
                // A USB reset (as after DETACH) reaches the function only as
                // a disable, like a new SET_CONFIGURATION does. A boot loader
                // waiting for a reset takes it as one; in any other state the
                // reset means nothing to it.
                enabled_ = false;
                if (bootloader_.attached() && bootloader_.WaitsForReset()) {
                    bootloader_.Reset();
                }
                break;
            case FUNCTIONFS_UNBIND:
                enabled_ = false;
                break;
            case FUNCTIONFS_SETUP: {
                uint8_t setup[8];
                std::memcpy(setup, &events[i].u.setup, sizeof setup);
                const Event event = HandleSetup(setup);
                // The loop unbinds now: what else came with this read is moot.
                if (event != Event::None) return event;
                break;
            }
            default:  // BIND, SUSPEND, RESUME: nothing to do
                break;
            }
        }
    }
    return Event::None;
}

std::string DfuFunction::LogLine(const Served& s) {
    std::string head;
    char hex[3];
    for (uint8_t b : s.head) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        head += hex;
    }
    char line[160];
    std::snprintf(line, sizeof line, "dfu %llu %02x %u %u %u %u %d %s%s\n", static_cast<unsigned long long>(s.timeUs),
                  s.requestType, s.request, s.value, s.index, s.length, s.result, head.empty() ? "-" : head.c_str(),
                  s.halted ? " halted" : "");
    return line;
}

void DfuFunction::Record(Served served) {
    if (logFd_ >= 0) {
        const std::string line = LogLine(served);
        if (::write(logFd_, line.data(), line.size()) < 0) {
            // A full disk loses log lines, not requests.
        }
    }
    served_.push_back(std::move(served));
}

bool DfuFunction::Halt(bool in) {
    // A stage against the request's direction halts ep0.
    uint8_t none = 0;
    const ssize_t n = in ? ep0_->Read(&none, 0) : ep0_->Write(&none, 0);
    return n == -EL2HLT;
}

DfuFunction::Event DfuFunction::HandleSetup(const uint8_t* raw) {
    const Setup setup = ParseSetup(raw);
    const bool in = (setup.requestType & 0x80) != 0;
    Served served;
    served.timeUs = NowUs();
    served.requestType = setup.requestType;
    served.request = setup.request;
    served.value = setup.value;
    served.index = setup.index;
    served.length = setup.length;

    // A model that has left the bus answers nothing any more.
    if (!bootloader_.attached()) {
        served.result = LIBUSB_ERROR_NO_DEVICE;
        served.halted = Halt(in);
        Record(std::move(served));
        return applicationStarted_ ? Event::StartApplication : Event::Unplugged;
    }

    std::vector<uint8_t> buffer(setup.length, 0);
    ssize_t io = 0;
    if (in) {
        served.result = bootloader_.ControlTransfer(setup.requestType, setup.request, setup.value, setup.index,
                                                    buffer.data(), setup.length);
        if (served.result >= 0) {
            const size_t n = std::min<size_t>(static_cast<size_t>(served.result), setup.length);
            io = ep0_->Write(buffer.data(), n);
        } else {
            served.halted = Halt(true);
        }
    } else if (setup.length == 0) {
        served.result = bootloader_.ControlTransfer(setup.requestType, setup.request, setup.value, setup.index,
                                                    nullptr, 0);
        if (served.result >= 0) {
            io = ep0_->Read(buffer.data(), 0);  // the status stage
        } else {
            served.halted = Halt(false);
        }
    } else {
        // Reading the data ends the transfer with its status stage, so a
        // refusal has to come before it. A copy of the model is asked first,
        // with blank data: what it refuses regardless of the data (a DNLOAD
        // in a state that takes none) is refused on the bus before the data
        // stage, as a device does, and the model itself takes the refusal.
        // A refusal that depends on the data can only show as the model's
        // error state at the next GETSTATUS.
        sim::VirtualBootloader probe = bootloader_;
        probe.onStartApplication = nullptr;
        if (probe.ControlTransfer(setup.requestType, setup.request, setup.value, setup.index, buffer.data(),
                                  setup.length) < 0) {
            served.result = bootloader_.ControlTransfer(setup.requestType, setup.request, setup.value,
                                                        setup.index, buffer.data(), setup.length);
            served.halted = Halt(false);
        } else {
            io = ep0_->Read(buffer.data(), setup.length);
            if (io < 0) {
                served.result = LIBUSB_ERROR_IO;
            } else {
                const uint16_t got =
                    static_cast<uint16_t>(std::min<ssize_t>(io, static_cast<ssize_t>(setup.length)));
                served.result = bootloader_.ControlTransfer(setup.requestType, setup.request, setup.value,
                                                            setup.index, buffer.data(), got);
            }
        }
    }
    const size_t head = std::min<size_t>(kLoggedHead, in ? 0 : static_cast<size_t>(std::max<ssize_t>(io, 0)));
    served.head.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(head));
    Record(std::move(served));
    // -EIDRM: the host gave the request up (a new SETUP or a disconnect
    // replaced it); the events that follow tell the rest.
    if (io < 0 && io != -EIDRM) return Event::Failed;

    if (applicationStarted_) return Event::StartApplication;
    if (!bootloader_.attached()) return Event::Unplugged;
    return Event::None;
}

}  // namespace kv::gadget
