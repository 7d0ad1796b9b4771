#include "cli/stdin_lines.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace kv::cli {

LineSource::Read FdLineSource::Poll(std::string& line)
{
    for (;;) {
        const auto newline = buffer_.find('\n');
        if (newline != std::string::npos) {
            line = buffer_.substr(0, newline);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            buffer_.erase(0, newline + 1);
            return Read::Line;
        }
        if (end_) {
            if (buffer_.empty())
                return Read::End;
            // The last line without its end.
            line.swap(buffer_);
            buffer_.clear();
            return Read::Line;
        }
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, 0);
        if (ready < 0 && errno == EINTR)
            return Read::Nothing;
        if (ready <= 0)
            return ready < 0 ? (end_ = true, Read::End) : Read::Nothing;
        char chunk[512];
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            return Read::Nothing;
        if (n <= 0)
            end_ = true;
        else
            buffer_.append(chunk, static_cast<size_t>(n));
    }
}

}  // namespace kv::cli
