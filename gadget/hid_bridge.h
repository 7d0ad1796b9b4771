// The Base Controller on the HID gadget: carries the model's input reports to
// the gadget's HID device file (/dev/hidgN) and every output report read
// there to the model.
//
// Input reports leave in the model's order and at its rate: each Pump() takes
// every report the model has made due since the last one and writes them in
// turn as the host takes them. A host that does not take reports (nobody
// holds the device open) must not build up a stale backlog, so at most
// kMaxPending reports wait here; older ones are dropped first, as a device
// overwrites the report it could not send.
//
// Every output report read from the device file is given to the model as the
// 9-byte frame the host passed to its write (report ID 0, the 8 bytes) and is
// written as one line to the received log: "<time us> <length> <8 bytes hex>"
// plus " refused" when the model did not take it. The time is the monotonic
// clock's, so a program in the same machine can compare it with its own.
//
// The device file must be open non-blocking. Single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "sim/virtual_base_controller.h"

namespace kv::gadget {

class HidBridge {
public:
    static constexpr size_t kMaxPending = 8;

    explicit HidBridge(sim::VirtualBaseController& controller) : controller_(controller) {}

    // Starts serving a freshly bound HID function on fd (not owned), with a
    // new read cursor on the model: reports made while unbound are not sent.
    // logFd (-1: none) receives the received-log lines.
    void Attach(int fd, int logFd);
    // Stops serving (fd is closed by its owner).
    void Detach();
    bool attached() const { return fd_ >= 0; }

    // Takes what the model made due and writes what the host will take now.
    // Returns false when the model has left the bus (unplugged).
    bool Pump();
    // Reads every output report waiting on the device file. Returns the
    // number of reports taken, or -1 when the file failed.
    int TakeOutput();
    // Milliseconds until the model's next report is due (for the loop's
    // poll), at least 1.
    int MillisecondsToNextReport() const;
    // True while reports wait for the host.
    bool pending() const { return !pending_.empty(); }

    uint64_t reportsWritten() const { return written_; }
    uint64_t reportsDropped() const { return dropped_; }
    uint64_t reportsReceived() const { return received_; }

    // The received-log line of one output report.
    static std::string LogLine(uint64_t timeUs, size_t length, const sim::Frame& frame, bool refused);

private:
    struct Pending {
        sim::Frame frame;
        size_t bytes;
    };

    sim::VirtualBaseController& controller_;
    sim::VirtualBaseController::ReadCursor cursor_{};
    int fd_ = -1;
    int logFd_ = -1;
    std::deque<Pending> pending_;
    uint64_t lastReportUs_ = 0;
    uint64_t written_ = 0;
    uint64_t dropped_ = 0;
    uint64_t received_ = 0;
};

}  // namespace kv::gadget
