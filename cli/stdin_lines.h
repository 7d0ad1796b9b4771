// Standard input as a LineSource: polled without blocking, so the poll ticks
// go on while no command has arrived.
#pragma once

#include <string>

#include "cli/cli_app.h"

namespace kv::cli {

class FdLineSource : public LineSource {
public:
    explicit FdLineSource(int fd) : fd_(fd) {}
    Read Poll(std::string& line) override;

private:
    int fd_;
    std::string buffer_;
    bool end_ = false;
};

}  // namespace kv::cli
