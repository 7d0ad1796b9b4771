#include "sim/virtual_bootloader.h"

#include <algorithm>
#include <cstring>

#include <libusb.h>

#include "platform/clock.h"
#include "sim/virtual_tower.h"

namespace kv::sim {

namespace {

// DFU requests, states and status codes as the boot loader speaks them.
enum : uint8_t { kDetach = 0, kDnload = 1, kUpload = 2, kGetStatus = 3, kClrStatus = 4, kGetState = 5, kAbort = 6 };
enum : uint8_t {
    kAppIdle = 0,
    kAppDetach = 1,
    kDfuIdle = 2,
    kDnloadSync = 3,
    kDnBusy = 4,
    kDnloadIdle = 5,
    kManifestSync = 6,
    kManifest = 7,
    kManifestWaitReset = 8,
    kUploadIdle = 9,
    kDfuError = 10,
};
enum : uint8_t {
    kOk = 0,
    kErrTarget = 1,
    kErrFile = 2,
    kErrErase = 4,
    kErrCheckErased = 5,
    kErrVerify = 7,
    kErrAddress = 8,
    kErrNotDone = 9,
    kErrStalledPkt = 15,
};

// The program message of the Atmel program command.
constexpr size_t kHeaderSize = 32;
constexpr size_t kFooterSize = 16;
constexpr size_t kMaxBlock = 0x400;
// Poll time-out the boot loader asks for while erasing, ms.
constexpr uint32_t kBusyPollMs = 100;

// Set on the keys of devices listed in their application.
constexpr uint64_t kApplicationKeyBit = uint64_t{1} << 62;

uint64_t nextSession = 1;
uint8_t nextAddress = 1;

uint8_t AllocateAddress() {
    nextAddress = static_cast<uint8_t>(nextAddress % 127 + 1);
    return nextAddress;
}

bool InApplication(uint8_t state) { return state == kAppIdle || state == kAppDetach; }

}  // namespace

// ---- VirtualBootloader -----------------------------------------------------------

VirtualBootloader::VirtualBootloader(BootloaderConfig config, BootloaderFaults faults)
    : config_(config), faults_(faults) {
    flash_.fill(0xFF);
    state_ = config_.initialState;
}

void VirtualBootloader::LoadFirmware(uint8_t version) {
    for (uint32_t a = kApplicationStart; a <= kApplicationEnd; ++a) {
        flash_[a] = static_cast<uint8_t>((a * 31 + 7) & 0xFF);
    }
    for (size_t i = 0; i < kFirmwareSignature.size(); ++i) {
        flash_[kFirmwareSignatureAddress + i] = kFirmwareSignature[i];
    }
    flash_[kFirmwareVersionAddress] = version;
    for (uint32_t a = kBootloaderRegionStart; a <= kBootloaderRegionEnd; ++a) {
        flash_[a] = static_cast<uint8_t>((a ^ 0x5A) & 0xFF);
    }
}

bool VirtualBootloader::attached() const { return attached_ && NowUs() >= appearAtUs_; }

void VirtualBootloader::Enumerate() {
    session_ = nextSession++;
    address_ = AllocateAddress();
    status_ = kOk;
    erasing_ = false;
    upload_.clear();
    uploadProtected_ = false;
    launch_ = 0;
    blockPending_ = false;
    pollMs_ = 0;
}

void VirtualBootloader::AttachIn(uint64_t delayUs) {
    Enumerate();
    state_ = config_.initialState;
    attached_ = true;
    appearAtUs_ = NowUs() + delayUs;
    answered_ = 0;
}

void VirtualBootloader::Detach() {
    attached_ = false;
    session_ = nextSession++;
}

size_t VirtualBootloader::CountRequests(uint8_t request) const {
    return static_cast<size_t>(
        std::count_if(log_.begin(), log_.end(), [request](const LoggedTransfer& t) { return t.request == request; }));
}

size_t VirtualBootloader::CountCommands(const std::vector<uint8_t>& prefix) const {
    size_t n = 0;
    for (const LoggedTransfer& t : log_) {
        if (t.request == kDnload && (t.requestType & 0x80) == 0 && t.data.size() >= prefix.size() &&
            std::equal(prefix.begin(), prefix.end(), t.data.begin())) {
            ++n;
        }
    }
    return n;
}

int VirtualBootloader::Answer(LoggedTransfer& entry, int result) {
    entry.result = result;
    log_.push_back(std::move(entry));
    ++answered_;
    if (faults_.vanishAfterTransfers >= 0 && answered_ >= faults_.vanishAfterTransfers) Detach();
    return result;
}

int VirtualBootloader::Stall(LoggedTransfer& entry, uint8_t status) {
    // In its application and when stuck the device has no DFU error state.
    if (!InApplication(state_) && faults_.stuckState < 0) {
        state_ = kDfuError;
        status_ = status;
        erasing_ = false;
        upload_.clear();
        uploadProtected_ = false;
        launch_ = 0;
        blockPending_ = false;
        pollMs_ = 0;
    }
    return Answer(entry, LIBUSB_ERROR_PIPE);
}

int VirtualBootloader::ControlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                                       unsigned char* data, uint16_t length) {
    return ControlTransfer(requestType, request, value, index, data, length, 0);
}

int VirtualBootloader::ControlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                                       unsigned char* data, uint16_t length, unsigned timeoutMs) {
    workUs_ = 0;
    const size_t logged = log_.size();
    const int result = Transfer(requestType, request, value, index, data, length);
    if (log_.size() > logged) log_[logged].timeoutMs = timeoutMs;
    const uint64_t limitUs = uint64_t{timeoutMs} * 1000;
    if (timeoutMs != 0 && workUs_ > limitUs) {
        // The host gives up; the device goes on with the work regardless.
        kv::SleepUs(limitUs);
        if (log_.size() > logged) log_[logged].result = LIBUSB_ERROR_TIMEOUT;
        return LIBUSB_ERROR_TIMEOUT;
    }
    if (workUs_ > 0) kv::SleepUs(workUs_);
    return result;
}

int VirtualBootloader::Transfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                                unsigned char* data, uint16_t length) {
    ExpireDetach();
    LoggedTransfer entry;
    entry.timeUs = NowUs();
    entry.requestType = requestType;
    entry.request = request;
    entry.value = value;
    entry.index = index;
    entry.length = length;
    const bool in = (requestType & 0x80) != 0;
    if (!in && data != nullptr && length > 0) entry.data.assign(data, data + length);

    if (faults_.stallCount != 0 &&
        (faults_.stallRequest == BootloaderFaults::kAnyRequest || faults_.stallRequest == request)) {
        if (faults_.stallCount > 0) --faults_.stallCount;
        return Stall(entry, kErrStalledPkt);
    }
    // Only class requests to the DFU interface are understood here.
    if ((requestType & 0x7F) != 0x21 || index != dfuInterface()) return Answer(entry, LIBUSB_ERROR_PIPE);

    const bool stuck = faults_.stuckState >= 0;
    switch (request) {
    case kGetStatus:
        if (!in) return Stall(entry);
        return GetStatus(entry, data, length);
    case kGetState:
        if (!in) return Stall(entry);
        if (length < 1 || data == nullptr) return Answer(entry, 0);
        data[0] = stuck ? static_cast<uint8_t>(faults_.stuckState) : state_;
        entry.data.assign(data, data + 1);
        return Answer(entry, 1);
    case kDetach:
        if (in) return Stall(entry);
        if (!stuck && state_ == kAppIdle) {
            // wValue: how long the device waits for the reset.
            state_ = kAppDetach;
            detachUntilUs_ = NowUs() + uint64_t{value} * 1000;
            return Answer(entry, 0);
        }
        return Stall(entry);
    default:
        break;
    }
    // Everything else belongs to DFU mode.
    if (stuck || InApplication(state_)) return Answer(entry, LIBUSB_ERROR_PIPE);
    switch (request) {
    case kDnload:
        if (in) return Stall(entry);
        return Download(entry, data, length);
    case kUpload:
        if (!in) return Stall(entry);
        return Upload(entry, data, length);
    case kClrStatus:
        // Only dfuERROR has a status to clear.
        if (in || state_ != kDfuError) return Stall(entry);
        state_ = kDfuIdle;
        status_ = kOk;
        return Answer(entry, 0);
    case kAbort:
        if (in || state_ == kDfuError || state_ == kDnBusy || state_ == kManifestWaitReset) return Stall(entry);
        state_ = kDfuIdle;
        status_ = kOk;
        upload_.clear();
        uploadProtected_ = false;
        launch_ = 0;
        blockPending_ = false;
        pollMs_ = 0;
        return Answer(entry, 0);
    default:
        return Stall(entry);
    }
}

int VirtualBootloader::GetStatus(LoggedTransfer& entry, unsigned char* data, uint16_t length) {
    uint8_t status = status_;
    uint8_t state = state_;
    uint32_t poll = 0;
    if (faults_.stuckState >= 0) {
        status = kOk;
        state = static_cast<uint8_t>(faults_.stuckState);
    } else {
        if (erasing_) {
            if (faults_.busyForever || NowUs() < eraseDoneUs_) {
                status = kErrNotDone;
                state = kDnBusy;
                poll = kBusyPollMs;
            } else {
                FinishErase();
            }
        }
        if (!erasing_) {
            if (state_ == kDnloadSync) state_ = kDnloadIdle;
            blockPending_ = false;
            status = status_;
            state = state_;
            poll = pollMs_;
            pollMs_ = 0;
        }
    }
    const uint8_t answer[6] = {status,
                               static_cast<uint8_t>(poll & 0xFF),
                               static_cast<uint8_t>((poll >> 8) & 0xFF),
                               static_cast<uint8_t>((poll >> 16) & 0xFF),
                               state,
                               0};
    size_t n = sizeof answer;
    if (faults_.shortStatusCount != 0) {
        if (faults_.shortStatusCount > 0) --faults_.shortStatusCount;
        n = static_cast<size_t>(std::clamp(faults_.shortStatusLength, 0, 5));
    }
    n = std::min<size_t>(n, length);
    if (data == nullptr) n = 0;
    if (n > 0) std::memcpy(data, answer, n);
    entry.data.assign(answer, answer + n);
    return Answer(entry, static_cast<int>(n));
}

void VirtualBootloader::FinishErase() {
    erasing_ = false;
    ++erases_;
    if (faults_.eraseFails) {
        status_ = kErrErase;
        state_ = kDfuError;
        return;
    }
    const bool keep = faults_.unerasedAddress >= 0 && faults_.unerasedAddress < static_cast<int64_t>(kFlashSize);
    const uint8_t kept = keep ? flash_[static_cast<size_t>(faults_.unerasedAddress)] : uint8_t{0xFF};
    std::fill(flash_.begin() + kApplicationStart, flash_.begin() + kApplicationEnd + 1, uint8_t{0xFF});
    if (keep) flash_[static_cast<size_t>(faults_.unerasedAddress)] = kept;
    status_ = kOk;
    state_ = kDnloadIdle;
}

int VirtualBootloader::Download(LoggedTransfer& entry, const unsigned char* data, uint16_t length) {
    if (state_ != kDfuIdle && state_ != kDnloadSync && state_ != kDnloadIdle && state_ != kUploadIdle) {
        return Stall(entry);
    }
    // A program block is only done once the host has asked for its status.
    if (blockPending_) return Stall(entry);
    if (length == 0 || data == nullptr) {
        // A zero-length DNLOAD only means something after the start command.
        if (launch_ == 0) return Stall(entry);
        launch_ = 0;
        const int result = Answer(entry, 0);
        Detach();
        if (onStartApplication) onStartApplication(flashedVersion());
        return result;
    }
    status_ = kOk;
    upload_.clear();
    uploadProtected_ = false;
    launch_ = 0;
    state_ = kDnloadSync;
    pollMs_ = config_.commandPollMs;
    RunCommand(data, length);
    return Answer(entry, length);
}

void VirtualBootloader::RunCommand(const unsigned char* d, uint16_t length) {
    auto fail = [this](uint8_t status) {
        status_ = status;
        state_ = kDfuError;
    };
    auto address = [d](size_t at) { return static_cast<uint32_t>(d[at] << 8 | d[at + 1]); };
    switch (d[0]) {
    case 0x01:  // program: header, data, footer
        return Program(d, length);
    case 0x03: {  // read memory / blank check
        if (length < 6) return fail(kErrFile);
        const uint32_t start = address(2);
        const uint32_t end = address(4);
        if (d[1] != 0x00 && d[1] != 0x01) return fail(kErrTarget);
        if (end < start || end >= kFlashSize) return fail(kErrAddress);
        if (d[1] == 0x00) {
            upload_.assign(flash_.begin() + start, flash_.begin() + end + 1);
            uploadProtected_ = faults_.readProtected;
            return;
        }
        for (uint32_t a = start; a <= end; ++a) {
            if (flash_[a] != 0xFF) {
                status_ = kErrCheckErased;
                upload_ = {static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a & 0xFF)};
                return;
            }
        }
        return;
    }
    case 0x04:  // erase / start application
        if (length >= 3 && d[1] == 0x00 && d[2] == 0xFF) {
            erasing_ = true;
            eraseDoneUs_ = NowUs() + config_.eraseBusyUs;
            state_ = kDnBusy;
            return;
        }
        if (length >= 3 && d[1] == 0x03 && d[2] == 0x00) {
            launch_ = 1;
            return;
        }
        if (length >= 5 && d[1] == 0x03 && d[2] == 0x01) {
            launch_ = 2;
            return;
        }
        return fail(kErrTarget);
    case 0x06:  // select memory unit / page: only flash, only the first 64 kB
        if (length >= 4 && d[1] == 0x03 && d[2] == 0x00) return d[3] == 0 ? void() : fail(kErrTarget);
        if (length >= 5 && d[1] == 0x03 && d[2] == 0x01) return address(3) == 0 ? void() : fail(kErrAddress);
        return fail(kErrTarget);
    default:
        return fail(kErrTarget);
    }
}

void VirtualBootloader::Program(const unsigned char* d, uint16_t length) {
    auto fail = [this](uint8_t status) {
        status_ = status;
        state_ = kDfuError;
    };
    // Whatever comes of it, the block's status must be asked for.
    blockPending_ = true;
    if (length < 6) return fail(kErrFile);
    if (d[1] != 0x00) return fail(kErrTarget);
    const uint32_t start = static_cast<uint32_t>(d[2] << 8 | d[3]);
    const uint32_t end = static_cast<uint32_t>(d[4] << 8 | d[5]);
    const uint32_t page = std::max<uint32_t>(config_.flashPageSize, 1);
    // Whole pages of the application area, at most one transfer's worth.
    if (end < start || end - start + 1 > kMaxBlock || end > kApplicationEnd || start % page != 0 ||
        (end + 1) % page != 0) {
        return fail(kErrAddress);
    }
    const size_t n = end - start + 1;
    if (length < kHeaderSize + n + kFooterSize) return fail(kErrFile);
    const unsigned char* footer = d + kHeaderSize + n;
    if (footer[5] != 'D' || footer[6] != 'F' || footer[7] != 'U') return fail(kErrFile);
    auto covers = [start, end](int64_t a) { return a >= int64_t{start} && a <= int64_t{end}; };
    workUs_ = ((n + page - 1) / page) * config_.programPageUs;
    if (covers(faults_.slowProgramAddress)) workUs_ = faults_.slowProgramUs;
    const bool failing = covers(faults_.failProgramAddress);
    if (failing && faults_.programFailStatus != kErrVerify) return fail(faults_.programFailStatus);
    // Programming can only clear bits.
    for (size_t i = 0; i < n; ++i) flash_[start + i] &= d[kHeaderSize + i];
    if (failing) {
        flash_[static_cast<size_t>(faults_.failProgramAddress)] ^= 0x01;
        return fail(kErrVerify);
    }
}

void VirtualBootloader::ExpireDetach() {
    // No reset came in time: back to the application.
    if (state_ == kAppDetach && faults_.stuckState < 0 && NowUs() >= detachUntilUs_) state_ = kAppIdle;
}

int VirtualBootloader::Upload(LoggedTransfer& entry, unsigned char* data, uint16_t length) {
    if (state_ != kDfuIdle && state_ != kDnloadSync && state_ != kDnloadIdle && state_ != kUploadIdle) {
        return Stall(entry);
    }
    if (uploadProtected_) return Stall(entry, kErrFile);
    if (upload_.empty() || data == nullptr) return Stall(entry);
    const size_t n = std::min<size_t>(length, upload_.size());
    std::memcpy(data, upload_.data(), n);
    entry.data.assign(upload_.begin(), upload_.begin() + static_cast<std::ptrdiff_t>(n));
    upload_.erase(upload_.begin(), upload_.begin() + static_cast<std::ptrdiff_t>(n));
    state_ = kUploadIdle;
    return Answer(entry, static_cast<int>(n));
}

bool VirtualBootloader::WaitsForReset() const { return state_ == kAppDetach || state_ == kManifestWaitReset; }

int VirtualBootloader::Reset() {
    ++resets_;
    if (faults_.stuckState >= 0) return 0;
    ExpireDetach();
    const uint8_t next = state_ == kAppIdle ? kAppIdle : kDfuIdle;
    Enumerate();
    state_ = next;
    return LIBUSB_ERROR_NOT_FOUND;
}

// ---- VirtualUsb ---------------------------------------------------------------------

void VirtualUsb::Reset() {
    links_.clear();
    failures_.clear();
    script_ = nullptr;
    use_.calls = 0;
    use_.lastLogLevel = -1;
    Sync();
}

VirtualUsb::Link& VirtualUsb::LinkFor(const std::shared_ptr<VirtualBaseController>& controller) {
    for (auto& link : links_) {
        if (link->controller.lock() == controller) return *link;
    }
    auto link = std::make_unique<Link>();
    link->controller = controller;
    link->key = nextKey_++;
    link->bootloader = std::make_unique<VirtualBootloader>();
    link->bootloader->LoadFirmware(controller->config().firmwareVersion[5]);
    Wire(*link);
    links_.push_back(std::move(link));
    return *links_.back();
}

void VirtualUsb::Wire(Link& link) {
    const uint64_t key = link.key;
    auto findLink = [this](uint64_t k) -> Link* {
        for (auto& l : links_) {
            if (l->key == k) return l.get();
        }
        return nullptr;
    };
    if (auto controller = link.controller.lock()) {
        controller->onEnterBootloader = [findLink, key] {
            if (Link* l = findLink(key)) {
                l->seenInBootloader = true;
                l->returnPending = false;
                l->bootloader->AttachIn(l->bootloader->config().appearDelayUs);
            }
        };
    }
    link.bootloader->onStartApplication = [findLink, key](uint8_t version) {
        Link* l = findLink(key);
        if (l == nullptr || l->controller.expired() || l->bootloader->faults().neverReturns) return;
        l->returnPending = true;
        l->returnAtUs = NowUs() + l->bootloader->config().returnDelayUs;
        l->returnVersion = version;
    };
}

void VirtualUsb::Sync() {
    VirtualTower& tower = TheVirtualTower();
    std::vector<VirtualBaseController*> present;
    for (HidEntry& entry : tower.hidDevices()) {
        if (!entry.controller) continue;
        present.push_back(entry.controller.get());
        LinkFor(entry.controller);
    }
    // Boot loaders of controllers that left the tower go with them.
    std::erase_if(links_, [&present](const std::unique_ptr<Link>& l) {
        auto c = l->controller.lock();
        if (!c) return !l->standalone;
        return std::find(present.begin(), present.end(), c.get()) == present.end();
    });
    for (auto& link : links_) {
        auto controller = link->controller.lock();
        if (!controller) continue;
        if (!controller->inBootloader()) {
            link->seenInBootloader = false;
            continue;
        }
        if (link->seenInBootloader) continue;
        // The controller took the bootloader report before its hook was in
        // place: start the delay at the report.
        link->seenInBootloader = true;
        uint64_t reportAt = NowUs();
        for (const LoggedReport& r : controller->outputLog()) {
            if (r.type() == 0x7F) reportAt = r.timeUs;
        }
        const uint64_t due = reportAt + link->bootloader->config().appearDelayUs;
        const uint64_t now = NowUs();
        link->bootloader->AttachIn(due > now ? due - now : 0);
    }
}

VirtualBootloader& VirtualUsb::bootloaderOf(size_t controllerIndex) {
    Sync();
    size_t i = 0;
    for (HidEntry& entry : TheVirtualTower().hidDevices()) {
        if (!entry.controller) continue;
        if (i++ == controllerIndex) return *LinkFor(entry.controller).bootloader;
    }
    // No such controller: a boot loader of its own, never on the list.
    auto link = std::make_unique<Link>();
    link->key = nextKey_++;
    link->standalone = true;
    link->bootloader = std::make_unique<VirtualBootloader>();
    links_.push_back(std::move(link));
    return *links_.back()->bootloader;
}

VirtualBootloader& VirtualUsb::AddBootloader(uint64_t delayUs, BootloaderConfig config, BootloaderFaults faults) {
    Sync();
    auto link = std::make_unique<Link>();
    link->key = nextKey_++;
    link->standalone = true;
    link->bootloader = std::make_unique<VirtualBootloader>(config, faults);
    link->bootloader->LoadFirmware(28);
    link->bootloader->AttachIn(delayUs);
    Wire(*link);
    links_.push_back(std::move(link));
    return *links_.back()->bootloader;
}

std::vector<UsbListEntry> VirtualUsb::List() {
    std::vector<UsbListEntry> list;
    for (auto& link : links_) {
        if (!link->bootloader->attached()) continue;
        UsbListEntry e;
        e.key = link->key;
        e.session = link->bootloader->session();
        e.vendorId = link->bootloader->config().vendorId;
        e.productId = link->bootloader->config().productId;
        e.address = link->bootloader->address();
        e.bootloader = link->bootloader.get();
        list.push_back(e);
    }
    uint64_t index = 0;
    for (HidEntry& entry : TheVirtualTower().hidDevices()) {
        ++index;
        if (!entry.onList()) continue;
        UsbListEntry e;
        e.vendorId = entry.vendorId;
        e.productId = entry.productId;
        if (entry.controller) {
            e.key = kApplicationKeyBit | LinkFor(entry.controller).key;
            e.session = entry.controller->generation();
        } else {
            e.key = kApplicationKeyBit | (uint64_t{1} << 40) | index;
            e.session = 1;
        }
        e.address = static_cast<uint8_t>(64 + (e.key * 7 + e.session) % 63);
        list.push_back(e);
    }
    return list;
}

bool VirtualUsb::Find(uint64_t key, uint64_t session, UsbListEntry* entry) {
    for (const UsbListEntry& e : List()) {
        if (e.key == key && e.session == session) {
            if (entry != nullptr) *entry = e;
            return true;
        }
    }
    return false;
}

void VirtualUsb::Update() {
    Sync();
    for (auto& link : links_) {
        if (!link->returnPending || NowUs() < link->returnAtUs) continue;
        link->returnPending = false;
        if (auto controller = link->controller.lock()) {
            link->seenInBootloader = false;
            controller->ReturnFromBootloader(link->returnVersion);
        }
    }
}

void VirtualUsb::FailCall(uint64_t k, int code) {
    if (k == 0) k = 1;
    failures_[use_.calls + k] = code;
}

int VirtualUsb::CountCall() {
    ++use_.calls;
    auto it = failures_.find(use_.calls);
    if (it == failures_.end()) return 0;
    const int code = it->second;
    failures_.erase(it);
    return code;
}

VirtualUsb& TheVirtualUsb() {
    static VirtualUsb* usb = new VirtualUsb();
    return *usb;
}

}  // namespace kv::sim
