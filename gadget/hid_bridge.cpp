#include "gadget/hid_bridge.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include <algorithm>

#include "platform/clock.h"

namespace kv::gadget {

void HidBridge::Attach(int fd, int logFd)
{
    fd_ = fd;
    logFd_ = logFd;
    cursor_ = controller_.OpenCursor();
    pending_.clear();
    lastReportUs_ = kv::NowUs();
}

void HidBridge::Detach()
{
    fd_ = -1;
    pending_.clear();
}

bool HidBridge::Pump()
{
    if (fd_ < 0)
        return controller_.pluggedIn();
    // Everything the model made due, oldest first.
    for (;;) {
        sim::Frame frame{};
        const int n = controller_.Read(cursor_, frame, 0);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        lastReportUs_ = kv::NowUs();
        const size_t bytes = std::min<size_t>(static_cast<size_t>(n), 8);
        pending_.push_back(Pending{frame, bytes});
        if (pending_.size() > kMaxPending) {
            pending_.pop_front();
            ++dropped_;
        }
    }
    while (!pending_.empty()) {
        const Pending& p = pending_.front();
        // The device file takes the report without its report-ID byte.
        const ssize_t w = write(fd_, p.frame.data() + 1, p.bytes);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            // EAGAIN: the host has not taken the previous report yet. Other
            // errors (ESHUTDOWN while the gadget is unbound) wait the same.
            break;
        }
        pending_.pop_front();
        ++written_;
    }
    return controller_.pluggedIn();
}

int HidBridge::TakeOutput()
{
    if (fd_ < 0)
        return 0;
    int taken = 0;
    for (;;) {
        // Longer than a report, so a longer one shows as such in the log
        // instead of being split.
        uint8_t buf[64];
        const ssize_t n = read(fd_, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return taken;
            return taken > 0 ? taken : -1;
        }
        if (n == 0)
            return taken;
        sim::Frame frame{};
        const size_t got = std::min<size_t>(static_cast<size_t>(n), 8);
        std::copy(buf, buf + got, frame.begin() + 1);
        // The host's write carried the report-ID byte in front.
        const size_t length = static_cast<size_t>(n) + 1;
        const uint64_t now = kv::NowUs();
        const bool refused = controller_.Write(cursor_, frame, length) != 0;
        ++received_;
        ++taken;
        if (logFd_ >= 0) {
            const std::string line = LogLine(now, length, frame, refused);
            if (write(logFd_, line.data(), line.size()) < 0) {
                // A full disk loses log lines, not reports.
            }
        }
    }
}

int HidBridge::MillisecondsToNextReport() const
{
    const uint64_t interval = controller_.config().reportIntervalUs;
    const uint64_t now = kv::NowUs();
    // The last report was taken when the loop woke, not when it became due,
    // so the next one may be due up to a wake-up earlier than this says: the
    // loop looks at least four times an interval, so a report leaves at most
    // a quarter of an interval late.
    const uint64_t due = std::min(lastReportUs_ + interval, now + interval / 4);
    if (due <= now)
        return 1;
    return static_cast<int>(std::clamp<uint64_t>((due - now) / 1000, 1, 1000));
}

std::string HidBridge::LogLine(uint64_t timeUs, size_t length, const sim::Frame& frame, bool refused)
{
    char buf[96];
    std::snprintf(buf, sizeof buf, "%llu %zu %02x %02x %02x %02x %02x %02x %02x %02x%s\n",
                  static_cast<unsigned long long>(timeUs), length, frame[1], frame[2], frame[3], frame[4],
                  frame[5], frame[6], frame[7], frame[8], refused ? " refused" : "");
    return buf;
}

}  // namespace kv::gadget
