// The standard error stream of the firmware update modules: their messages
// and the update trace. Tests replace the sink to capture what is written.
#pragma once

#include <cstdarg>
#include <functional>
#include <string>

namespace kv {

using ErrSink = std::function<void(const std::string& text)>;

// Replaces where standard-error output goes; an empty sink restores stderr.
void SetErrSink(ErrSink sink);

// printf-style write to the standard error stream (through the sink).
void ErrPrintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void ErrVPrintf(const char* fmt, va_list args);

// Where the update trace goes: by default the standard error stream (through
// the sink above), as the window writes it. A front end may send it elsewhere
// (a file), or silence it with a sink that drops the text; an empty sink
// restores the default.
void SetTraceSink(ErrSink sink);

// Trace levels below this are written; every level in use is.
constexpr int kTraceThreshold = 500;

// One trace line: "<path>:<line>: " followed by the formatted message.
void update_trace(const char* path, int line, int level, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

// Captures everything written to the standard error stream while it lives.
class ScopedErrCapture {
public:
    ScopedErrCapture();
    ~ScopedErrCapture();
    ScopedErrCapture(const ScopedErrCapture&) = delete;
    ScopedErrCapture& operator=(const ScopedErrCapture&) = delete;
    const std::string& text() const { return text_; }
    void clear() { text_.clear(); }

private:
    std::string text_;
};

}  // namespace kv

// A module defines its own path once and traces with TRACE(level, ...):
//   #define KV_TRACE_PATH "src/dfu"
#define KV_TRACE(level, ...) ::kv::update_trace(KV_TRACE_PATH, __LINE__, (level), __VA_ARGS__)
