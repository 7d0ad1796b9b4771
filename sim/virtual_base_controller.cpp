#include "sim/virtual_base_controller.h"

#include <utility>

#include "platform/clock.h"

namespace kv::sim {
namespace {

constexpr uint8_t kTypeAddresses = 1;
constexpr uint8_t kTypePatterns = 2;
constexpr uint8_t kTypeLevelsLow = 3;
constexpr uint8_t kTypeLevelsHigh = 4;
constexpr uint8_t kTypeFirmware = 5;
constexpr uint8_t kTypeHardware = 6;
constexpr uint8_t kTypeThreshold = 7;
constexpr uint8_t kTypePortMap = 8;

// Output report types the controller acts on.
constexpr uint8_t kOutPatternFirst = 1;
constexpr uint8_t kOutPatternSecond = 2;
constexpr uint8_t kOutPortMap = 3;
constexpr uint8_t kOutSwitch = 4;
constexpr uint8_t kOutAddressChange = 5;
constexpr uint8_t kOutHost = 6;
constexpr uint8_t kOutThreshold = 7;
constexpr uint8_t kOutBootloader = 0x7F;

constexpr uint8_t kFirstColourAddress = 8;
constexpr uint8_t kLastColourAddress = 32;
constexpr uint8_t kFirstAcousticAddress = 33;
constexpr uint8_t kLastAcousticAddress = 37;

bool IsColourAddress(uint8_t a) { return a >= kFirstColourAddress && a <= kLastColourAddress; }
bool IsAcousticAddress(uint8_t a) { return a >= kFirstAcousticAddress && a <= kLastAcousticAddress; }

uint8_t High(uint16_t v) { return static_cast<uint8_t>(v >> 8); }
uint8_t Low(uint16_t v) { return static_cast<uint8_t>(v & 0xFF); }

}  // namespace

VirtualBaseController::VirtualBaseController(BaseControllerConfig config) : config_(std::move(config))
{
}

Frame VirtualBaseController::BuildInputReport(uint8_t type) const
{
    Frame f{};
    f[8] = type;
    const BaseControllerConfig& c = config_;
    switch (type) {
    case kTypeAddresses:
        for (int i = 0; i < 6; ++i)
            f[1 + i] = c.segmentAddress[i];
        break;
    case kTypePatterns:
        for (int i = 0; i < 6; ++i)
            f[1 + i] = c.patternCode[i];
        break;
    case kTypeLevelsLow:
        for (int i = 0; i < 3; ++i) {
            f[1 + 2 * i] = High(c.level[i]);
            f[2 + 2 * i] = Low(c.level[i]);
        }
        break;
    case kTypeLevelsHigh:
        f[1] = High(c.level[3]);
        f[2] = Low(c.level[3]);
        f[3] = High(c.level[4]);
        f[4] = Low(c.level[4]);
        f[5] = Low(c.level[5]);
        break;
    case kTypeFirmware:
        for (int i = 0; i < 7; ++i)
            f[1 + i] = c.firmwareVersion[i];
        break;
    case kTypeHardware:
        for (int i = 0; i < 7; ++i)
            f[1 + i] = c.hardwareVersion[i];
        break;
    case kTypeThreshold:
        f[1] = c.switchingThreshold;
        break;
    case kTypePortMap:
        for (int i = 0; i < 5; ++i)
            f[1 + i] = c.portMap[i];
        break;
    default:
        break;
    }
    return f;
}

// ---- Time -------------------------------------------------------------------

uint64_t VirtualBaseController::Now()
{
    const uint64_t now = kv::NowUs();
    if (!anchored_) {
        anchored_ = true;
        epochUs_ = static_cast<int64_t>(now);
        intervalInUse_ = Interval();
    } else if (now < lastNowUs_) {
        // The clock was swapped (a test installed or removed a virtual one).
        // Keep the stream where it was and shift what is pending with it.
        const int64_t back = static_cast<int64_t>(lastNowUs_ - now);
        epochUs_ -= back;
        for (PendingEffect& e : pending_)
            e.dueUs -= back;
    }
    // A rate changed on the fly keeps the stream where it is: the newest
    // report due stays due now, the next one comes one new interval later.
    const uint64_t interval = Interval();
    if (interval != intervalInUse_) {
        const uint64_t latest = static_cast<uint64_t>(static_cast<int64_t>(now) - epochUs_) / intervalInUse_;
        epochUs_ = static_cast<int64_t>(now) - static_cast<int64_t>(latest * interval);
        intervalInUse_ = interval;
    }
    lastNowUs_ = now;
    return now;
}

uint64_t VirtualBaseController::Interval() const
{
    return config_.reportIntervalUs == 0 ? 1 : config_.reportIntervalUs;
}

int64_t VirtualBaseController::DueTime(uint64_t index) const
{
    return epochUs_ + static_cast<int64_t>(index * Interval());
}

uint64_t VirtualBaseController::FirstIndexAtOrAfter(uint64_t timeUs) const
{
    const int64_t since = static_cast<int64_t>(timeUs) - epochUs_;
    if (since <= 0)
        return 0;
    const uint64_t s = static_cast<uint64_t>(since);
    return (s + Interval() - 1) / Interval();
}

void VirtualBaseController::ApplyDueEffects(uint64_t now)
{
    // In the order the commands arrived, so a later command wins.
    std::vector<PendingEffect> keep;
    std::vector<PendingEffect> due;
    for (PendingEffect& e : pending_) {
        if (e.dueUs <= static_cast<int64_t>(now))
            due.push_back(std::move(e));
        else
            keep.push_back(std::move(e));
    }
    pending_ = std::move(keep);
    for (PendingEffect& e : due)
        e.apply(config_);
}

// ---- Plugging -----------------------------------------------------------------

void VirtualBaseController::Unplug()
{
    plugged_ = false;
    ++generation_;
    patternPending_ = false;
    unplugAfterIn_ = false;
    unplugAfterOut_ = false;
}

void VirtualBaseController::PlugIn()
{
    plugged_ = true;
    inBootloader_ = false;
    ++generation_;
}

void VirtualBaseController::ReturnFromBootloader(uint8_t firmwareVersion)
{
    config_.firmwareVersion[5] = firmwareVersion;
    PlugIn();
}

// ---- Faults -------------------------------------------------------------------

void VirtualBaseController::UnplugAfterInputReports(uint64_t n)
{
    unplugAfterIn_ = true;
    unplugAtDelivered_ = delivered_ + n;
}

void VirtualBaseController::UnplugAfterOutputReports(uint64_t n)
{
    if (n == 0) {
        Unplug();
        return;
    }
    unplugAfterOut_ = true;
    unplugAtTaken_ = taken_ + n;
}

void VirtualBaseController::InjectInputReport(const Frame& frame, size_t bytes)
{
    if (bytes < 1)
        bytes = 1;
    if (bytes > 8)
        bytes = 8;
    injected_.push_back(Injected{frame, bytes});
}

void VirtualBaseController::ResumeStream()
{
    // Reports start again from now on; none were sent while it was quiet.
    restartIndex_ = FirstIndexAtOrAfter(Now());
    streaming_ = true;
    stopAfterIn_ = false;
}

void VirtualBaseController::StopStreamAfterInputReports(uint64_t n)
{
    if (n == 0) {
        StopStream();
        return;
    }
    stopAfterIn_ = true;
    stopAtDelivered_ = delivered_ + n;
}

// ---- Reading and writing ------------------------------------------------------

VirtualBaseController::ReadCursor VirtualBaseController::OpenCursor()
{
    ReadCursor c;
    c.generation = generation_;
    c.nextArrival = FirstIndexAtOrAfter(Now());
    return c;
}

void VirtualBaseController::OnDelivered()
{
    ++delivered_;
    if (stopAfterIn_ && delivered_ >= stopAtDelivered_) {
        stopAfterIn_ = false;
        streaming_ = false;
    }
}

void VirtualBaseController::Enqueue(ReadCursor& cursor, uint64_t now) const
{
    const uint64_t latest = static_cast<uint64_t>(static_cast<int64_t>(now) - epochUs_) / Interval();
    uint64_t i = cursor.nextArrival > restartIndex_ ? cursor.nextArrival : restartIndex_;
    const size_t depth = config_.hostBufferDepth == 0 ? 1 : config_.hostBufferDepth;
    for (; i <= latest && cursor.queued.size() < depth; ++i)
        cursor.queued.push_back(i);
    // A full buffer takes nothing more: those reports are lost.
    if (i <= latest)
        i = latest + 1;
    if (i > cursor.nextArrival)
        cursor.nextArrival = i;
}

int VirtualBaseController::Read(ReadCursor& cursor, Frame& frame, int timeoutMs)
{
    ++readCalls_;
    if (!plugged_ || cursor.generation != generation_)
        return -1;
    if (failReads_ > 0) {
        --failReads_;
        return -1;
    }
    if (unplugAfterIn_ && delivered_ >= unplugAtDelivered_) {
        Unplug();
        return -1;
    }

    uint64_t now = Now();
    ApplyDueEffects(now);
    const uint64_t timeoutUs = timeoutMs < 0 ? 0 : static_cast<uint64_t>(timeoutMs) * 1000;
    if (!streaming_ || (config_.reportOrder.empty() && injected_.empty())) {
        // Nothing comes, and the host's buffer has run dry. A read without a
        // time limit would wait for ever; here it gives up at once rather
        // than hang a test.
        cursor.queued.clear();
        if (timeoutMs > 0)
            kv::SleepUs(timeoutUs);
        return 0;
    }

    Enqueue(cursor, now);
    if (cursor.queued.empty()) {
        const int64_t due = DueTime(cursor.nextArrival > restartIndex_ ? cursor.nextArrival : restartIndex_);
        const uint64_t wait = due > static_cast<int64_t>(now) ? static_cast<uint64_t>(due - static_cast<int64_t>(now)) : 0;
        if (timeoutMs >= 0 && wait > timeoutUs) {
            if (timeoutUs > 0)
                kv::SleepUs(timeoutUs);
            return 0;
        }
        kv::SleepUs(wait);
        now = Now();
        ApplyDueEffects(now);
        Enqueue(cursor, now);
        if (cursor.queued.empty())
            return 0;
    }
    const uint64_t index = cursor.queued.front();
    cursor.queued.pop_front();

    int bytes = 8;
    if (!injected_.empty()) {
        frame = injected_.front().frame;
        bytes = static_cast<int>(injected_.front().bytes);
        injected_.pop_front();
        frame[0] = 0;
    } else {
        const uint8_t type = config_.reportOrder[index % config_.reportOrder.size()];
        frame = BuildInputReport(type);
    }
    OnDelivered();
    return bytes;
}

int VirtualBaseController::Write(const ReadCursor& cursor, const Frame& frame, size_t length)
{
    ++writeCalls_;
    if (!plugged_ || cursor.generation != generation_)
        return -1;
    if (failWrites_ > 0) {
        --failWrites_;
        return -1;
    }
    const uint64_t now = Now();
    ApplyDueEffects(now);
    log_.push_back(LoggedReport{now, frame, length});
    ++taken_;
    Apply(frame, now);
    if (unplugAfterOut_ && taken_ >= unplugAtTaken_ && plugged_)
        Unplug();
    return 0;
}

void VirtualBaseController::Apply(const Frame& f, uint64_t now)
{
    const int64_t at = static_cast<int64_t>(now);
    switch (f[8]) {
    case kOutPatternFirst:
        patternPending_ = true;
        patternFirst_ = f;
        break;
    case kOutPatternSecond: {
        // A second half without a first one is not a command.
        if (!patternPending_)
            break;
        patternPending_ = false;
        const uint8_t address = patternFirst_[1];
        const uint8_t code = patternFirst_[4];
        if (address == 0)
            break;
        // Every segment that answers to the address takes it.
        for (int p = 0; p < 6; ++p) {
            if (config_.segmentAddress[p] != address)
                continue;
            config_.patternCode[p] = code;
            if (IsAcousticAddress(address))
                config_.level[p] = patternFirst_[5];
            else
                config_.level[p] = static_cast<uint16_t>((patternFirst_[5] & 1) * 256 + patternFirst_[6]);
        }
        break;
    }
    case kOutPortMap:
        if (config_.acceptPortMap) {
            std::array<uint8_t, 5> map{f[1], f[2], f[3], f[4], f[5]};
            pending_.push_back({at + static_cast<int64_t>(config_.portMapDelayUs),
                                [map](BaseControllerConfig& c) { c.portMap = map; }});
        }
        break;
    case kOutSwitch:
        switches_[f[1]] = SwitchRecord{f[2], f[7], true};
        break;
    case kOutAddressChange: {
        const uint8_t from = f[1];
        const uint8_t to = f[2];
        // Only a colour segment can be given another colour address.
        if (config_.acceptAddressChange && IsColourAddress(from) && IsColourAddress(to)) {
            pending_.push_back({at + static_cast<int64_t>(config_.addressChangeDelayUs),
                                [from, to](BaseControllerConfig& c) {
                                    for (uint8_t& a : c.segmentAddress)
                                        if (a == from)
                                            a = to;
                                }});
        }
        break;
    }
    case kOutHost:
        hostConnected_ = f[1];
        break;
    case kOutThreshold:
        if (config_.acceptThreshold) {
            const uint8_t raw = f[1];
            pending_.push_back({at + static_cast<int64_t>(config_.thresholdDelayUs),
                                [raw](BaseControllerConfig& c) { c.switchingThreshold = raw; }});
        }
        break;
    case kOutBootloader:
        // The controller restarts into its boot loader: it leaves the HID
        // list, and whatever it had not applied yet is lost.
        pending_.clear();
        Unplug();
        inBootloader_ = true;
        if (onEnterBootloader)
            onEnterBootloader();
        break;
    default:
        break;
    }
}

}  // namespace kv::sim
