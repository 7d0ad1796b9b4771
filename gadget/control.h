// The tower gadget's controls: one command per line, read from its control
// file (a FIFO) or given on its command line. They act on the tower models
// only; the gadget's loop then makes the bus follow the models (a controller
// that is no longer plugged in is unbound, and so on).
//
//   unplug                      the tower leaves the bus now
//   plug                        it comes back (as the Base Controller)
//   unplug-after-reports N      leaves after N more input reports
//   stop-reports                the Base Controller stops sending reports
//   report-interval US          one input report every US microseconds
//                               (1000..1000000)
//   resume-reports              and starts again
//   refuse-port-map             port map commands are ignored
//   accept-port-map             and taken again
//   fail-block ADDRESS          the flash cell at ADDRESS no longer erases,
//                               so the block holding it reads back wrong
//   unplug-during-update N      the boot loader leaves the bus after
//                               answering N more requests
//   stall-request REQUEST COUNT the boot loader stalls that request COUNT
//                               times (-1: for ever)
//   clear-faults                a healthy boot loader again
//
// Numbers are decimal or 0x-prefixed hexadecimal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv::sim {
class VirtualBaseController;
class VirtualBootloader;
}  // namespace kv::sim

namespace kv::gadget {

struct ControlCommand {
    enum class Kind {
        Unplug,
        Plug,
        UnplugAfterReports,
        StopReports,
        ReportInterval,
        ResumeReports,
        RefusePortMap,
        AcceptPortMap,
        FailBlock,
        UnplugDuringUpdate,
        StallRequest,
        ClearFaults,
    };
    Kind kind = Kind::Unplug;
    int64_t a = 0;
    int64_t b = 0;
};

// Parses one line (surrounding blanks ignored). Returns false for an empty
// line, an unknown command, a missing or malformed number, or trailing text.
bool ParseControlCommand(const std::string& line, ControlCommand* command);

// Applies a command to the models.
void ApplyControlCommand(const ControlCommand& command, sim::VirtualBaseController& controller,
                         sim::VirtualBootloader& bootloader);

// Splits a stream of bytes into lines: Feed the bytes as they come, and take
// each complete line with NextLine. A line longer than kMaxLine is dropped
// whole (with the rest of it up to its newline).
class LineSplitter {
public:
    static constexpr size_t kMaxLine = 256;
    void Feed(const char* data, size_t length);
    bool NextLine(std::string* line);

private:
    std::string buffer_;
    bool discarding_ = false;
    std::string ready_;
    size_t readyLines_ = 0;
};

// The most FeedFromFd reads in one call.
constexpr size_t kMaxControlRead = 4096;

// Feeds splitter with what the non-blocking fd holds now, at most
// kMaxControlRead bytes: a writer that never stops cannot hold the gadget's
// loop, and the rest stays in the FIFO for the loop's next turn. Returns the
// bytes read.
size_t FeedFromFd(int fd, LineSplitter* splitter);

}  // namespace kv::gadget
