// A ToolIo that records what a tool writes.
#pragma once

#include <vector>

#include "device/report_protocol.h"
#include "tools/tool_common_logic.h"

namespace kv::test {

struct RecordingIo {
    std::vector<Report> written;
    int flushes = 0;
    ToolIo io;

    RecordingIo()
    {
        io.write = [this](const uint8_t* data, size_t length) {
            Report r{};
            for (size_t i = 0; i < length && i < r.size(); ++i)
                r[i] = data[i];
            written.push_back(r);
            return 0;
        };
        io.flush = [this] { ++flushes; };
    }

    std::vector<Report> OfType(uint8_t type) const
    {
        std::vector<Report> out;
        for (const Report& r : written)
            if (r[8] == type)
                out.push_back(r);
        return out;
    }
};

}  // namespace kv::test
