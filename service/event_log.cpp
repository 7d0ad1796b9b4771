#include "service/event_log.h"

#include <algorithm>

namespace kv::service {

void EventLog::Publish(std::string json)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(json));
        if (events_.size() > capacity_) {
            events_.pop_front();
            ++first_;
        }
    }
    changed_.notify_all();
}

uint64_t EventLog::next() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return first_ + events_.size();
}

bool EventLog::Read(uint64_t& cursor, std::vector<std::string>& out, std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, wait, [&] { return closed_ || cursor < first_ + events_.size(); });
    if (closed_)
        return false;
    cursor = std::max(cursor, first_);
    for (uint64_t i = cursor; i < first_ + events_.size(); ++i)
        out.push_back(events_[static_cast<size_t>(i - first_)]);
    cursor = first_ + events_.size();
    return true;
}

void EventLog::Close()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

}  // namespace kv::service
