#include "platform/update_trace.h"

#include <cstdio>
#include <utility>
#include <vector>

namespace kv {
namespace {

ErrSink g_sink;
ErrSink g_traceSink;

std::string Format(const char* fmt, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n <= 0)
        return {};
    std::vector<char> buf(static_cast<size_t>(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), fmt, args);
    return std::string(buf.data(), static_cast<size_t>(n));
}

void Write(const std::string& text)
{
    if (g_sink) {
        g_sink(text);
    } else {
        std::fputs(text.c_str(), stderr);
    }
}

}  // namespace

void SetErrSink(ErrSink sink) { g_sink = std::move(sink); }
void SetTraceSink(ErrSink sink) { g_traceSink = std::move(sink); }

void ErrVPrintf(const char* fmt, va_list args) { Write(Format(fmt, args)); }

void ErrPrintf(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    ErrVPrintf(fmt, args);
    va_end(args);
}

void update_trace(const char* path, int line, int level, const char* fmt, ...)
{
    if (level >= kTraceThreshold)
        return;
    char prefix[256];
    std::snprintf(prefix, sizeof prefix, "%s:%d: ", path, line);
    va_list args;
    va_start(args, fmt);
    std::string text = prefix + Format(fmt, args);
    va_end(args);
    if (g_traceSink)
        g_traceSink(text);
    else
        Write(text);
}

ScopedErrCapture::ScopedErrCapture()
{
    SetErrSink([this](const std::string& text) { text_ += text; });
}

ScopedErrCapture::~ScopedErrCapture() { SetErrSink({}); }

}  // namespace kv
