#include "gadget/control.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <vector>

#include "sim/virtual_base_controller.h"
#include "sim/virtual_bootloader.h"

namespace kv::gadget {
namespace {

bool ParseNumber(const std::string& word, int64_t* value)
{
    if (word.empty())
        return false;
    const char* s = word.c_str();
    // Decimal, or hexadecimal after 0x: a leading zero is not octal.
    const char* digits = s + (s[0] == '-' || s[0] == '+' ? 1 : 0);
    const int base = digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X') ? 16 : 10;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s, &end, base);
    if (errno != 0 || end == s || *end != '\0')
        return false;
    *value = v;
    return true;
}

struct Syntax {
    const char* name;
    ControlCommand::Kind kind;
    int numbers;
    int64_t min;  // smallest allowed value of every number but a stall count
};

constexpr Syntax kSyntax[] = {
    {"unplug", ControlCommand::Kind::Unplug, 0, 0},
    {"plug", ControlCommand::Kind::Plug, 0, 0},
    {"unplug-after-reports", ControlCommand::Kind::UnplugAfterReports, 1, 0},
    {"stop-reports", ControlCommand::Kind::StopReports, 0, 0},
    {"report-interval", ControlCommand::Kind::ReportInterval, 1, 1000},
    {"resume-reports", ControlCommand::Kind::ResumeReports, 0, 0},
    {"refuse-port-map", ControlCommand::Kind::RefusePortMap, 0, 0},
    {"accept-port-map", ControlCommand::Kind::AcceptPortMap, 0, 0},
    {"fail-block", ControlCommand::Kind::FailBlock, 1, 0},
    {"unplug-during-update", ControlCommand::Kind::UnplugDuringUpdate, 1, 0},
    {"stall-request", ControlCommand::Kind::StallRequest, 2, 0},
    {"clear-faults", ControlCommand::Kind::ClearFaults, 0, 0},
};

}  // namespace

bool ParseControlCommand(const std::string& line, ControlCommand* command)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    if (words.empty())
        return false;
    for (const Syntax& s : kSyntax) {
        if (words[0] != s.name)
            continue;
        if (static_cast<int>(words.size()) != 1 + s.numbers)
            return false;
        ControlCommand c;
        c.kind = s.kind;
        int64_t* slots[] = {&c.a, &c.b};
        for (int i = 0; i < s.numbers; ++i)
            if (!ParseNumber(words[1 + static_cast<size_t>(i)], slots[i]))
                return false;
        if (s.numbers >= 1 && c.a < s.min)
            return false;
        switch (c.kind) {
        case ControlCommand::Kind::FailBlock:
            if (c.a >= static_cast<int64_t>(sim::kFlashSize))
                return false;
            break;
        case ControlCommand::Kind::ReportInterval:
            if (c.a > 1000000)
                return false;
            break;
        case ControlCommand::Kind::StallRequest:
            // A request number is a byte; a count is -1 (for ever) or more,
            // and fits the model's counter.
            if (c.a > 0xFF || c.b < -1 || c.b > std::numeric_limits<int>::max())
                return false;
            break;
        case ControlCommand::Kind::UnplugDuringUpdate:
            // Added to the count of requests answered so far.
            if (c.a > std::numeric_limits<int>::max())
                return false;
            break;
        default:
            break;
        }
        *command = c;
        return true;
    }
    return false;
}

void ApplyControlCommand(const ControlCommand& c, sim::VirtualBaseController& controller,
                         sim::VirtualBootloader& bootloader)
{
    sim::BootloaderFaults& faults = bootloader.faults();
    switch (c.kind) {
    case ControlCommand::Kind::Unplug:
        if (controller.pluggedIn())
            controller.Unplug();
        break;
    case ControlCommand::Kind::Plug:
        if (!controller.pluggedIn())
            controller.PlugIn();
        break;
    case ControlCommand::Kind::UnplugAfterReports:
        controller.UnplugAfterInputReports(static_cast<uint64_t>(c.a));
        break;
    case ControlCommand::Kind::StopReports:
        controller.StopStream();
        break;
    case ControlCommand::Kind::ResumeReports:
        controller.ResumeStream();
        break;
    case ControlCommand::Kind::ReportInterval:
        controller.mutableConfig().reportIntervalUs = static_cast<uint64_t>(c.a);
        break;
    case ControlCommand::Kind::RefusePortMap:
        controller.mutableConfig().acceptPortMap = false;
        break;
    case ControlCommand::Kind::AcceptPortMap:
        controller.mutableConfig().acceptPortMap = true;
        break;
    case ControlCommand::Kind::FailBlock:
        faults.unerasedAddress = c.a;
        break;
    case ControlCommand::Kind::UnplugDuringUpdate:
        // Counted from the boot loader's appearance: before it is on the
        // bus, from the one to come.
        faults.vanishAfterTransfers = bootloader.attached() ? bootloader.answered() + c.a : c.a;
        break;
    case ControlCommand::Kind::StallRequest:
        faults.stallRequest = static_cast<int>(c.a);
        faults.stallCount = static_cast<int>(c.b);
        break;
    case ControlCommand::Kind::ClearFaults:
        faults = sim::BootloaderFaults{};
        break;
    }
}

size_t FeedFromFd(int fd, LineSplitter* splitter)
{
    size_t total = 0;
    char buf[512];
    while (total < kMaxControlRead) {
        const size_t want = std::min(sizeof buf, kMaxControlRead - total);
        const ssize_t n = read(fd, buf, want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        splitter->Feed(buf, static_cast<size_t>(n));
        total += static_cast<size_t>(n);
    }
    return total;
}

void LineSplitter::Feed(const char* data, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        const char ch = data[i];
        if (ch == '\n') {
            if (!discarding_) {
                ready_ += buffer_;
                ready_ += '\n';
                ++readyLines_;
            }
            buffer_.clear();
            discarding_ = false;
            continue;
        }
        if (discarding_)
            continue;
        if (buffer_.size() >= kMaxLine) {
            buffer_.clear();
            discarding_ = true;
            continue;
        }
        buffer_ += ch;
    }
}

bool LineSplitter::NextLine(std::string* line)
{
    if (readyLines_ == 0)
        return false;
    const size_t end = ready_.find('\n');
    *line = ready_.substr(0, end);
    ready_.erase(0, end + 1);
    --readyLines_;
    return true;
}

}  // namespace kv::gadget
