// Helpers for the check programs that run inside the test guest: failing
// with a message, the gadget's controls and logs, the reports it received,
// and the open file descriptors of the process.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device/report_protocol.h"

namespace kv::guest {

inline int g_failures = 0;

// Bytes as hex, each followed by a blank, for failure messages.
template <size_t N>
std::string Hex(const std::array<uint8_t, N>& bytes)
{
    std::string out;
    char buf[4];
    for (uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02x ", b);
        out += buf;
    }
    return out;
}

// Records a failed expectation; the check exits non-zero at the end.
inline bool Expect(bool ok, const char* format, ...)
{
    if (ok)
        return true;
    ++g_failures;
    std::va_list args;
    va_start(args, format);
    std::fputs("FAIL: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    return false;
}

inline int Finish(const char* name)
{
    if (g_failures == 0) {
        std::printf("%s: ok\n", name);
        return 0;
    }
    std::printf("%s: %d failed\n", name, g_failures);
    return 1;
}

inline std::string Env(const char* name)
{
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

inline std::string GadgetRun() { return Env("KV_GADGET_RUN").empty() ? "/run/kv-gadget" : Env("KV_GADGET_RUN"); }

// Sends one command line to the tower gadget.
inline bool GadgetCommand(const std::string& line)
{
    const std::string fifo = GadgetRun() + "/control";
    const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Expect(false, "cannot open the gadget's control FIFO %s", fifo.c_str());
    const std::string text = line + "\n";
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return Expect(ok, "cannot send \"%s\" to the gadget", line.c_str());
}

// The gadget's state file as key -> value.
inline std::map<std::string, std::string> GadgetState()
{
    std::map<std::string, std::string> m;
    std::ifstream in(GadgetRun() + "/state");
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos)
            m[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return m;
}

inline void SleepRealMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits until `done` is true, at most timeoutMs; true when it became true.
template <typename F>
bool WaitFor(F done, int timeoutMs, int stepMs = 20)
{
    for (int t = 0; t <= timeoutMs; t += stepMs) {
        if (done())
            return true;
        SleepRealMs(stepMs);
    }
    return done();
}

// Waits until the gadget has taken `count` commands in all.
inline bool WaitCommandsTaken(unsigned long count, int timeoutMs = 5000)
{
    return WaitFor([&] { return std::strtoul(GadgetState()["commands"].c_str(), nullptr, 10) >= count; },
                   timeoutMs);
}

// One output report as the gadget received it.
struct Received {
    unsigned long long timeUs = 0;
    unsigned length = 0;
    std::array<uint8_t, 8> bytes{};
    bool refused = false;
};

inline long ReceivedLogSize()
{
    std::ifstream in(GadgetRun() + "/received.log", std::ios::ate);
    return in ? static_cast<long>(in.tellg()) : 0;
}

// The received log from byte offset `from` on.
inline std::vector<Received> ReceivedSince(long from)
{
    std::vector<Received> out;
    std::ifstream in(GadgetRun() + "/received.log");
    in.seekg(from);
    for (std::string line; std::getline(in, line);) {
        std::istringstream s(line);
        Received r;
        s >> r.timeUs >> r.length;
        for (uint8_t& b : r.bytes) {
            unsigned v = 0;
            s >> std::hex >> v >> std::dec;
            b = static_cast<uint8_t>(v);
        }
        std::string word;
        r.refused = static_cast<bool>(s >> word) && word == "refused";
        if (s.fail() && !r.refused && r.length == 0)
            continue;
        out.push_back(r);
    }
    return out;
}

// The payload the gadget logs for a report (the report ID left off).
inline std::array<uint8_t, 8> Payload(const Report& r)
{
    std::array<uint8_t, 8> p{};
    std::copy(r.begin() + 1, r.end(), p.begin());
    return p;
}

// One received report against the report that should have arrived: its
// bytes, the whole frame's length, and taken by the tower.
inline void ExpectReport(const Received& got, const Report& want, const std::string& what)
{
    Expect(got.bytes == Payload(want), "%s: got %s, expected %s", what.c_str(), Hex(got.bytes).c_str(),
           Hex(Payload(want)).c_str());
    Expect(got.length == 9, "%s: length %u, expected 9", what.c_str(), got.length);
    Expect(!got.refused, "%s refused by the tower", what.c_str());
}

// The hidraw node of the HID device with this HID_ID tail (for example
// "000021FC:00000011"), or "" when there is none.
inline std::string FindHidraw(const std::string& ids)
{
    std::string found;
    DIR* d = opendir("/sys/class/hidraw");
    if (d == nullptr)
        return found;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream in(std::string("/sys/class/hidraw/") + e->d_name + "/device/uevent");
        for (std::string line; std::getline(in, line);)
            if (line == "HID_ID=0003:" + ids)
                found = std::string("/dev/") + e->d_name;
    }
    closedir(d);
    return found;
}

// The device node (/dev/bus/usb/BBB/DDD) of the USB device with these ids,
// or "" when it is not on the bus.
inline std::string FindUsbDevice(uint16_t vendorId, uint16_t productId)
{
    std::string found;
    DIR* d = opendir("/sys/bus/usb/devices");
    if (d == nullptr)
        return found;
    while (dirent* e = readdir(d)) {
        const std::string dir = std::string("/sys/bus/usb/devices/") + e->d_name;
        unsigned v = 0;
        unsigned p = 0;
        std::ifstream iv(dir + "/idVendor");
        std::ifstream ip(dir + "/idProduct");
        if (!(iv >> std::hex >> v) || !(ip >> std::hex >> p) || v != vendorId || p != productId)
            continue;
        unsigned bus = 0;
        unsigned dev = 0;
        std::ifstream ib(dir + "/busnum");
        std::ifstream id(dir + "/devnum");
        if (ib >> bus && id >> dev) {
            char node[64];
            std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", bus, dev);
            found = node;
        }
    }
    closedir(d);
    return found;
}

// True when this process may open `path` for reading and writing.
inline bool CanOpen(const std::string& path)
{
    if (path.empty())
        return false;
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// The process's open descriptors and what they point at.
inline std::map<int, std::string> OpenFds()
{
    std::map<int, std::string> fds;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr)
        return fds;
    const int own = dirfd(d);
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        const int fd = std::atoi(e->d_name);
        if (fd == own)
            continue;
        char target[512] = {};
        const ssize_t n = readlink((std::string("/proc/self/fd/") + e->d_name).c_str(), target, sizeof target - 1);
        fds[fd] = n > 0 ? std::string(target, static_cast<size_t>(n)) : "?";
    }
    closedir(d);
    return fds;
}

// True when the process holds the device node `path` open.
inline bool HoldsOpen(const std::string& path)
{
    for (const auto& [fd, target] : OpenFds())
        if (target == path)
            return true;
    return false;
}

// Every descriptor open now that was not open in `before`, as text.
inline std::string NewFds(const std::map<int, std::string>& before)
{
    std::string out;
    for (const auto& [fd, target] : OpenFds())
        if (before.find(fd) == before.end() || before.at(fd) != target)
            out += std::to_string(fd) + " -> " + target + "; ";
    return out;
}

}  // namespace kv::guest
