// EventLog: the service's events (state changes, towers arriving and lost),
// kept in a bounded ring with sequence numbers. The poll thread appends;
// every event stream reads from its own cursor and waits for the next.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace kv::service {

class EventLog {
public:
    explicit EventLog(size_t capacity = 512) : capacity_(capacity) {}

    // Appends one event (a JSON object, serialised) and wakes the readers.
    void Publish(std::string json);
    // The sequence number the next event will get.
    uint64_t next() const;
    // Events from `cursor` on, waiting up to `wait` for the first; moves the
    // cursor past them. A reader that fell behind the ring skips what it
    // lost. False once the log is closed.
    bool Read(uint64_t& cursor, std::vector<std::string>& out, std::chrono::milliseconds wait);
    // Ends every wait; Read returns false from now on.
    void Close();

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> events_;
    uint64_t first_ = 0;  // sequence number of events_.front()
    size_t capacity_;
    bool closed_ = false;
};

}  // namespace kv::service
