// The virtual Base Controller: a model of a tower's controller as seen over
// HID, for tests and the demo.
//
// It streams input reports of all eight types, one type at a time and for as
// long as it is plugged in, at a configurable rate (with optional jitter) on
// the shared clock (platform/clock.h). Which report is due is computed from
// NowUs(); a read that has to wait sleeps through the clock until the next
// report is due. Under a VirtualClock that costs nothing; on the real clock
// (the demo) it runs in real time.
//
// A report is built when the controller sends it: reports that arrive while
// nobody reads queue up per handle, oldest first, as in the host's HID buffer
// (hostBufferDepth), and keep the content they had when they were sent. The
// stream is brought up to date before every change of the controller's state
// (a write, a command's delayed effect, a change through mutableConfig, an
// injected report), so a backlog shows the tower as it was, not as it is.
//
// Every output report is applied the way the real controller does and is
// logged with its time on the clock. Faults a real tower shows can be
// injected: unplugging, failing reads and writes, a stream that stops, junk
// reports, and so on (see the fault section below).
//
// Single-threaded like the program: no call here may race another.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kv::sim {

// The 9-byte frame as the host sees it: byte 0 report ID (0), bytes 1..7
// payload, byte 8 report type.
using Frame = std::array<uint8_t, 9>;

// How the controller is set up. Positions 0..4 are the colour rows, 5 the
// sound row; version slots [0..4] colour segments, [5] Base Controller,
// [6] sound segment.
struct BaseControllerConfig {
    std::array<uint8_t, 6> segmentAddress{8, 13, 18, 23, 28, 33};
    std::array<uint8_t, 6> patternCode{0, 0, 0, 0, 0, 0};
    // Colour rows: brightness 0..510 (9 bits). Sound row: volume 0..255.
    // Values above these ranges are reported as they stand, which gives
    // level high bytes above 1.
    std::array<uint16_t, 6> level{128, 128, 128, 128, 128, 166};
    std::array<uint8_t, 7> firmwareVersion{12, 12, 12, 12, 12, 28, 12};
    std::array<uint8_t, 7> hardwareVersion{10, 10, 10, 10, 10, 11, 10};
    uint8_t switchingThreshold = 92;
    // Map byte per input port 1..5: bits 0..5 colour address, bit 7 acoustic.
    std::array<uint8_t, 5> portMap{8, 13, 18, 23, 28 | 0x80};
    // The USB serial number the HID list shows (ASCII; empty: none).
    std::string serialNumber;
    // The report types in the order they are sent, cycled for ever. Any byte
    // is allowed, so junk types can be put in the stream.
    std::vector<uint8_t> reportOrder{1, 2, 3, 4, 5, 6, 7, 8};
    // One input report every this many microseconds (7500 for 7.5 ms).
    uint64_t reportIntervalUs = 10000;
    // Each report leaves up to this many microseconds after its slot: an
    // amount drawn per report from reportJitterSeed, so a run repeats
    // exactly. Kept below the interval, so reports never change their order.
    uint64_t reportJitterUs = 0;
    uint64_t reportJitterSeed = 1;
    // Reports the host keeps for a handle until they are read, oldest first.
    // When the buffer is full, newer reports are lost (as with hidraw, whose
    // buffer holds 64).
    size_t hostBufferDepth = 64;
    // How long the controller takes before a command shows in its reports.
    uint64_t portMapDelayUs = 1000000;
    uint64_t addressChangeDelayUs = 500000;
    uint64_t thresholdDelayUs = 100000;
    // A controller that ignores a command keeps reporting the old value.
    bool acceptPortMap = true;
    bool acceptAddressChange = true;
    bool acceptThreshold = true;
};

// One output report as received, with its time on the clock.
struct LoggedReport {
    uint64_t timeUs = 0;
    Frame frame{};      // as the host wrote it; short writes are zero-padded
    size_t length = 0;  // the length the host passed to the write
    uint8_t type() const { return frame[8]; }
};

// What the controller took from switch, connection, state and host reports.
struct SwitchRecord {
    uint8_t on = 0;
    uint8_t marker = 0;
    bool received = false;
};

class VirtualBaseController {
public:
    explicit VirtualBaseController(BaseControllerConfig config = {});

    // ---- State as the controller reports it --------------------------------
    const BaseControllerConfig& config() const { return config_; }
    // Changes the configuration directly. Reports sent up to now keep what
    // they carried; the change shows from the next report sent on.
    BaseControllerConfig& mutableConfig();

    // The frame of a given input report type built from the current state.
    // Types outside 1..8 give a frame with that type byte and zero payload.
    Frame BuildInputReport(uint8_t type) const;
    // When the stream's next report of this type leaves, at or after the
    // time (microseconds on the clock); 0 when the order has no such type.
    uint64_t NextReportTimeUs(uint8_t type, uint64_t fromUs) const;

    // ---- What the host sent ---------------------------------------------
    const std::vector<LoggedReport>& outputLog() const { return log_; }
    void ClearOutputLog() { log_.clear(); }
    // Switch state per address as last set by a type-4 report (any marker).
    const SwitchRecord& switchState(uint8_t address) const { return switches_[address]; }
    // Last host report value: 1 connected, 0 disconnecting, -1 none yet.
    int hostConnected() const { return hostConnected_; }
    // Number of input reports delivered to readers and of read calls made.
    uint64_t reportsDelivered() const { return delivered_; }
    uint64_t readCalls() const { return readCalls_; }
    uint64_t writeCalls() const { return writeCalls_; }

    // ---- Plugging ---------------------------------------------------------
    bool pluggedIn() const { return plugged_; }
    // Changes each time the controller leaves or comes back, so a handle
    // opened before can tell it is stale.
    uint64_t generation() const { return generation_; }
    // Pulls the plug: the controller leaves the HID list, reads and writes on
    // handles opened before fail from now on.
    void Unplug();
    // Puts it back on the HID list (a fresh connection; old handles stay dead).
    void PlugIn();

    // The boot loader half sets this hook. It is called after the controller
    // took a bootloader report (type 0x7F) and left the HID list.
    std::function<void()> onEnterBootloader;
    // True between a bootloader report and ReturnFromBootloader.
    bool inBootloader() const { return inBootloader_; }
    // Called by the boot loader half after its start command: the controller
    // is back on the HID list, running the given firmware version.
    void ReturnFromBootloader(uint8_t firmwareVersion);

    // ---- Faults -------------------------------------------------------------
    // Unplugs once this many more input reports have been delivered (the read
    // after the n-th fails). 0 unplugs before the next delivery.
    void UnplugAfterInputReports(uint64_t n);
    // Unplugs right after this many more output reports have been taken.
    void UnplugAfterOutputReports(uint64_t n);
    // The next n reads fail (return -1) without unplugging.
    void FailNextReads(int n) { failReads_ = n; }
    // The next n writes fail (return -1) and are not applied or logged.
    void FailNextWrites(int n) { failWrites_ = n; }
    // The stream stops: nothing more is sent until ResumeStream. Reports the
    // host had already buffered can still be read; after them reads time out.
    void StopStream();
    void ResumeStream();
    // Stops the stream once this many more reports have been delivered.
    void StopStreamAfterInputReports(uint64_t n);
    // Sends these frames next (byte 0 is ignored), in place of the scheduled
    // ones: each takes the place of the next report the controller sends to
    // an open handle, behind whatever the host has buffered already. For junk
    // types, bad level bytes, impossible or repeated addresses. `bytes`
    // (1..8) cuts the report short: only that many bytes of it arrive.
    void InjectInputReport(const Frame& frame, size_t bytes = 8);

    // ---- Used by the hidapi stand-in ----------------------------------------
    // A report as it arrived at the host.
    struct SentReport {
        Frame frame{};
        int bytes = 8;  // fewer for a report injected short
    };
    // The host's input buffer of one open handle: the reports that arrived
    // for it and were not read yet, oldest first.
    struct HostBuffer {
        uint64_t firstIndex = 0;  // first stream index sent after the open
        uint64_t generation = 0;
        std::deque<SentReport> queued;
    };
    // Per open handle. The controller fills the buffer as it sends; it lets
    // go of a buffer once the last cursor holding it is gone.
    struct ReadCursor {
        uint64_t generation = 0;
        std::shared_ptr<HostBuffer> host;
    };
    // A cursor for a handle opened now.
    ReadCursor OpenCursor();
    // Reads the next input report into bytes 1..8 of `frame`. Waits (through
    // the clock) at most timeoutMs for it; timeoutMs < 0 waits as long as a
    // report will come. Returns the number of bytes delivered (8, fewer for
    // a report injected short), 0 on timeout, -1 on failure (unplugged,
    // stale handle, injected failure).
    int Read(ReadCursor& cursor, Frame& frame, int timeoutMs);
    // Takes one output report. Returns 0 on success, -1 on failure (not
    // applied, not logged).
    int Write(const ReadCursor& cursor, const Frame& frame, size_t length);

private:
    uint64_t Now();
    // Sends every report due up to `now` to the open handles, each built from
    // the state at its own time, and applies the commands' delayed effects
    // in time order between them.
    void Sync(uint64_t now);
    void Apply(const Frame& f, uint64_t now);
    uint64_t Interval() const;
    uint64_t Jitter(uint64_t index) const;
    int64_t DueTime(uint64_t index) const;
    // The newest stream index due at or before the time; -1 for none.
    int64_t LatestIndexAtOrBefore(int64_t timeUs) const;
    uint64_t FirstIndexAtOrAfter(uint64_t timeUs) const;
    bool Takes(const HostBuffer& b) const;
    void OnDelivered();

    BaseControllerConfig config_;
    std::vector<LoggedReport> log_;
    std::array<SwitchRecord, 256> switches_{};
    int hostConnected_ = -1;

    bool plugged_ = true;
    bool inBootloader_ = false;
    uint64_t generation_ = 1;
    bool streaming_ = true;
    uint64_t nextIndex_ = 0;     // the next stream index to send
    int64_t epochUs_ = 0;       // when report index 0 was due
    uint64_t lastNowUs_ = 0;    // to notice a clock that was swapped
    bool anchored_ = false;
    uint64_t intervalInUse_ = 1;  // the rate epochUs_ was computed for

    uint64_t delivered_ = 0;
    uint64_t readCalls_ = 0;
    uint64_t writeCalls_ = 0;
    uint64_t taken_ = 0;  // output reports taken
    int failReads_ = 0;
    int failWrites_ = 0;
    bool unplugAfterIn_ = false;
    uint64_t unplugAtDelivered_ = 0;
    bool unplugAfterOut_ = false;
    uint64_t unplugAtTaken_ = 0;
    bool stopAfterIn_ = false;
    uint64_t stopAtDelivered_ = 0;
    struct Injected {
        Frame frame;
        size_t bytes;
    };
    std::deque<Injected> injected_;
    // The buffers of the handles opened on the controller.
    std::vector<std::weak_ptr<HostBuffer>> buffers_;

    // The first half of a pattern command waits for its second half.
    bool patternPending_ = false;
    Frame patternFirst_{};

    // Commands that show in the reports after the controller's delay.
    struct PendingEffect {
        int64_t dueUs;
        std::function<void(BaseControllerConfig&)> apply;
    };
    std::vector<PendingEffect> pending_;
};

}  // namespace kv::sim
