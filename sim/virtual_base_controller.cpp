#include "sim/virtual_base_controller.h"

#include <algorithm>
#include <cstdint>
#include <memory>
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

namespace {

// A well-mixed 64-bit value from any input (splitmix64's finaliser).
uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

}  // namespace

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
    // A rate changed on the fly keeps the stream where it is: the next report
    // to send comes one new interval after the slot of the one before it.
    const uint64_t interval = Interval();
    if (interval != intervalInUse_) {
        const int64_t since = static_cast<int64_t>(now) - epochUs_;
        const uint64_t latest = since > 0 ? static_cast<uint64_t>(since) / intervalInUse_ : 0;
        const uint64_t anchor = nextIndex_ > latest + 1 ? nextIndex_ : latest + 1;
        epochUs_ = static_cast<int64_t>(now) + static_cast<int64_t>(interval) -
                   static_cast<int64_t>(anchor * interval);
        intervalInUse_ = interval;
    }
    lastNowUs_ = now;
    return now;
}

uint64_t VirtualBaseController::Interval() const
{
    return config_.reportIntervalUs == 0 ? 1 : config_.reportIntervalUs;
}

uint64_t VirtualBaseController::Jitter(uint64_t index) const
{
    const uint64_t interval = Interval();
    const uint64_t span = config_.reportJitterUs < interval ? config_.reportJitterUs : interval - 1;
    if (span == 0)
        return 0;
    return Mix(config_.reportJitterSeed ^ Mix(index)) % (span + 1);
}

int64_t VirtualBaseController::DueTime(uint64_t index) const
{
    return epochUs_ + static_cast<int64_t>(index * Interval() + Jitter(index));
}

int64_t VirtualBaseController::LatestIndexAtOrBefore(int64_t timeUs) const
{
    if (timeUs < epochUs_)
        return -1;
    // The slot that holds the time; its report may leave after it.
    const uint64_t slot = static_cast<uint64_t>(timeUs - epochUs_) / Interval();
    if (DueTime(slot) <= timeUs)
        return static_cast<int64_t>(slot);
    return static_cast<int64_t>(slot) - 1;
}

uint64_t VirtualBaseController::FirstIndexAtOrAfter(uint64_t timeUs) const
{
    return static_cast<uint64_t>(LatestIndexAtOrBefore(static_cast<int64_t>(timeUs) - 1) + 1);
}

uint64_t VirtualBaseController::NextReportTimeUs(uint8_t type, uint64_t fromUs) const
{
    const std::vector<uint8_t>& order = config_.reportOrder;
    const uint64_t first = FirstIndexAtOrAfter(fromUs);
    for (uint64_t i = first; i < first + order.size(); ++i)
        if (order[i % order.size()] == type)
            return static_cast<uint64_t>(DueTime(i));
    return 0;
}

bool VirtualBaseController::Takes(const HostBuffer& b) const
{
    const size_t depth = config_.hostBufferDepth == 0 ? 1 : config_.hostBufferDepth;
    return plugged_ && b.generation == generation_ && b.queued.size() < depth;
}

void VirtualBaseController::Sync(uint64_t nowUs)
{
    const int64_t now = static_cast<int64_t>(nowUs);
    // Handles closed since: their buffers are gone.
    std::erase_if(buffers_, [](const std::weak_ptr<HostBuffer>& w) { return w.expired(); });
    // Delayed effects in time order; those due together in the order their
    // commands arrived, so a later command wins.
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const PendingEffect& a, const PendingEffect& b) { return a.dueUs < b.dueUs; });
    size_t applied = 0;
    auto applyUpTo = [&](int64_t t) {
        for (; applied < pending_.size() && pending_[applied].dueUs <= t; ++applied)
            pending_[applied].apply(config_);
    };

    std::vector<std::shared_ptr<HostBuffer>> takers;
    while (streaming_ && (!config_.reportOrder.empty() || !injected_.empty())) {
        const int64_t due = DueTime(nextIndex_);
        if (due > now)
            break;
        takers.clear();
        bool anyRoom = false;
        uint64_t nextFirst = UINT64_MAX;
        for (const std::weak_ptr<HostBuffer>& w : buffers_) {
            std::shared_ptr<HostBuffer> b = w.lock();
            if (!b || !Takes(*b))
                continue;
            anyRoom = true;
            if (b->firstIndex <= nextIndex_)
                takers.push_back(b);
            else if (b->firstIndex < nextFirst)
                nextFirst = b->firstIndex;
        }
        if (!anyRoom)
            break;  // nobody can take a report now: the rest is passed over
        if (takers.empty()) {
            // Only handles opened later: skip to their first report.
            nextIndex_ = nextFirst;
            continue;
        }
        // The report shows the state at its own time.
        applyUpTo(due);
        SentReport sent;
        if (!injected_.empty()) {
            sent.frame = injected_.front().frame;
            sent.bytes = static_cast<int>(injected_.front().bytes);
            sent.frame[0] = 0;
            injected_.pop_front();
        } else {
            const uint8_t type = config_.reportOrder[nextIndex_ % config_.reportOrder.size()];
            sent.frame = BuildInputReport(type);
        }
        for (const std::shared_ptr<HostBuffer>& b : takers)
            b->queued.push_back(sent);
        ++nextIndex_;
    }
    applyUpTo(now);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(applied));
    // Reports nobody could take (no handle open, buffers full, the stream
    // quiet) are lost.
    const int64_t latest = LatestIndexAtOrBefore(now);
    if (latest >= 0 && nextIndex_ <= static_cast<uint64_t>(latest))
        nextIndex_ = static_cast<uint64_t>(latest) + 1;
}

BaseControllerConfig& VirtualBaseController::mutableConfig()
{
    Sync(Now());
    return config_;
}

// ---- Plugging -----------------------------------------------------------------

void VirtualBaseController::Unplug()
{
    Sync(Now());
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
    Sync(Now());
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
    // Behind whatever was sent before now; a report due right now is the
    // first one it replaces.
    const uint64_t now = Now();
    if (now > 0)
        Sync(now - 1);
    injected_.push_back(Injected{frame, bytes});
}

void VirtualBaseController::StopStream()
{
    // What was sent up to now stays in the host's buffers.
    Sync(Now());
    streaming_ = false;
}

void VirtualBaseController::ResumeStream()
{
    // Reports start again from now on; none were sent while it was quiet.
    const uint64_t now = Now();
    Sync(now);
    nextIndex_ = FirstIndexAtOrAfter(now);
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
    const uint64_t now = Now();
    // Everything sent before now went to the handles open then; a report due
    // right now still reaches the new handle, unless it has gone out already.
    if (now > 0)
        Sync(now - 1);
    ReadCursor c;
    c.generation = generation_;
    c.host = std::make_shared<HostBuffer>();
    c.host->generation = generation_;
    const uint64_t first = FirstIndexAtOrAfter(now);
    c.host->firstIndex = first > nextIndex_ ? first : nextIndex_;
    buffers_.push_back(c.host);
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

int VirtualBaseController::Read(ReadCursor& cursor, Frame& frame, int timeoutMs)
{
    ++readCalls_;
    if (!plugged_ || cursor.generation != generation_ || !cursor.host)
        return -1;
    if (failReads_ > 0) {
        --failReads_;
        return -1;
    }
    if (unplugAfterIn_ && delivered_ >= unplugAtDelivered_) {
        Unplug();
        return -1;
    }

    HostBuffer& host = *cursor.host;
    Sync(Now());
    const uint64_t timeoutUs = timeoutMs < 0 ? 0 : static_cast<uint64_t>(timeoutMs) * 1000;
    if (host.queued.empty()) {
        if (!streaming_ || (config_.reportOrder.empty() && injected_.empty())) {
            // Nothing comes, and the host's buffer has run dry. A read without
            // a time limit would wait for ever; here it gives up at once
            // rather than hang a test.
            if (timeoutMs > 0)
                kv::SleepUs(timeoutUs);
            return 0;
        }
        // Wait for the next report this handle takes.
        const uint64_t next = host.firstIndex > nextIndex_ ? host.firstIndex : nextIndex_;
        const int64_t due = DueTime(next);
        const int64_t nowSigned = static_cast<int64_t>(Now());
        const uint64_t wait = due > nowSigned ? static_cast<uint64_t>(due - nowSigned) : 0;
        if (timeoutMs >= 0 && wait > timeoutUs) {
            if (timeoutUs > 0)
                kv::SleepUs(timeoutUs);
            Sync(Now());
            return 0;
        }
        kv::SleepUs(wait);
        Sync(Now());
        if (host.queued.empty())
            return 0;
    }
    const SentReport sent = host.queued.front();
    host.queued.pop_front();
    frame = sent.frame;
    OnDelivered();
    return sent.bytes;
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
    Sync(now);
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
