// The installed program itself: kestrivane-cli, built with the real hidapi
// and libusb, run as a child process against the tower gadget. One check per
// run:
//   usb_cli_check status CLI  `status --json` shows the segments, addresses,
//                             versions, port map and switching threshold of
//                             the gadget's tower
//   usb_cli_check set CLI     `set` sends the window's reports for that row
//                             byte for byte and in order, between the
//                             opening and the leaving reports, and the tower
//                             keeps the new pattern and level
// CLI is the program's path in the guest (/opt/kv/bin/kestrivane-cli).
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/device_state.h"
#include "device/pattern_tables.h"
#include "device/report_protocol.h"
#include "device/version.h"
#include "guest_json.h"
#include "guest_support.h"
#include "sim/virtual_base_controller.h"
#include "sync/send_path.h"

namespace {

using namespace kv;
using guest::At;
using guest::Expect;
using guest::ExpectField;
using guest::ExpectReport;
using nlohmann::json;

// What one run of the program gave.
struct Run {
    int exitCode = -1;  // -1: killed, ended by a signal, or never started
    std::string out;
};

// Runs `cli` with `args`, its standard output collected, its errors passed
// on to ours (they end up in the check's log). A run that takes longer than
// limitMs is killed.
Run RunCli(const std::string& cli, const std::vector<std::string>& args, int limitMs = 60000)
{
    Run r;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        Expect(false, "pipe: %s", std::strerror(errno));
        return r;
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(cli.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        const int devNull = open("/dev/null", O_RDONLY);
        if (devNull >= 0)
            dup2(devNull, STDIN_FILENO);
        execv(cli.c_str(), argv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", cli.c_str(), std::strerror(errno));
        _exit(127);
    }
    close(pipeFds[1]);
    if (pid < 0) {
        close(pipeFds[0]);
        Expect(false, "fork: %s", std::strerror(errno));
        return r;
    }
    bool killed = false;
    for (int waited = 0;;) {
        pollfd p{pipeFds[0], POLLIN, 0};
        const int n = poll(&p, 1, 100);
        if (n > 0) {
            char buf[4096];
            const ssize_t got = read(pipeFds[0], buf, sizeof buf);
            if (got <= 0)
                break;
            r.out.append(buf, static_cast<size_t>(got));
            continue;
        }
        if (n < 0 && errno != EINTR)
            break;
        waited += 100;
        if (waited >= limitMs) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!killed && WIFEXITED(status))
        r.exitCode = WEXITSTATUS(status);
    Expect(!killed, "kestrivane-cli still ran after %d ms", limitMs);
    return r;
}

// A run that must succeed and answer in JSON; null when it did not.
json RunJson(const std::string& cli, const std::vector<std::string>& args)
{
    const Run r = RunCli(cli, args);
    std::string line;
    for (const std::string& a : args)
        line += " " + a;
    if (!Expect(r.exitCode == 0, "kestrivane-cli%s exited with %d", line.c_str(), r.exitCode))
        return nullptr;
    if (!Expect(!r.out.empty(), "kestrivane-cli%s printed nothing", line.c_str()))
        return nullptr;
    json j = json::parse(r.out, nullptr, false);
    Expect(!j.is_discarded() && j.is_object(), "kestrivane-cli%s printed no JSON object: %s", line.c_str(),
           r.out.c_str());
    return j.is_discarded() ? json(nullptr) : j;
}

// The gadget's tower: the model it runs, with its defaults.
const sim::BaseControllerConfig& Tower()
{
    static const sim::BaseControllerConfig config{};
    return config;
}

int CheckStatus(const std::string& cli)
{
    const json j = RunJson(cli, {"--json", "status"});
    if (j.is_null())
        return guest::Finish("status");
    const sim::BaseControllerConfig& t = Tower();

    const json& base = At(j, "baseController");
    ExpectField(At(base, "firmware"), FormatVersion(t.firmwareVersion[5]), "Base Controller firmware");
    ExpectField(At(base, "hardware"), FormatVersion(t.hardwareVersion[5]), "Base Controller hardware");

    const json& segments = At(j, "segments");
    if (Expect(segments.is_array() && segments.size() == 5, "segments: %s", segments.dump().c_str())) {
        for (size_t r = 0; r < 5; ++r) {
            const json& s = segments[r];
            const std::string at = "segment " + std::to_string(r + 1) + " ";
            ExpectField(At(s, "position"), r + 1, at + "position");
            ExpectField(At(s, "present"), true, at + "present");
            ExpectField(At(s, "address"), t.segmentAddress[r], at + "address");
            ExpectField(At(s, "name"), AddressLabel(t.segmentAddress[r]), at + "name");
            ExpectField(At(s, "patternCode"), t.patternCode[r], at + "pattern code");
            ExpectField(At(s, "levelRaw"), t.level[r], at + "level");
            ExpectField(At(s, "on"), false, at + "on");
            ExpectField(At(s, "firmware"), std::to_string(t.firmwareVersion[r]), at + "firmware");
            ExpectField(At(s, "hardware"), FormatVersion(t.hardwareVersion[r]), at + "hardware");
        }
    }
    const json& sound = At(j, "sound");
    ExpectField(At(sound, "present"), true, "sound present");
    ExpectField(At(sound, "address"), t.segmentAddress[5], "sound address");
    ExpectField(At(sound, "patternCode"), t.patternCode[5], "sound pattern code");
    ExpectField(At(sound, "levelRaw"), t.level[5], "sound level");
    ExpectField(At(sound, "firmware"), std::to_string(t.firmwareVersion[6]), "sound firmware");
    ExpectField(At(sound, "hardware"), FormatVersion(t.hardwareVersion[6]), "sound hardware");

    const json& ports = At(j, "ports");
    if (Expect(ports.is_array() && ports.size() == 5, "ports: %s", ports.dump().c_str())) {
        for (size_t p = 0; p < 5; ++p) {
            const std::string at = "port " + std::to_string(p + 1) + " ";
            const uint8_t colour = t.portMap[p] & 0x3F;
            ExpectField(At(ports[p], "port"), p + 1, at + "number");
            ExpectField(At(ports[p], "colourAddress"), colour, at + "colour address");
            ExpectField(At(ports[p], "colour"), AddressLabel(colour), at + "colour");
            ExpectField(At(ports[p], "acoustic"), (t.portMap[p] & 0x80) != 0, at + "acoustic");
        }
    }
    const json& threshold = At(j, "switchingThreshold");
    if (Expect(threshold.is_object(), "switching threshold: %s", threshold.dump().c_str())) {
        ExpectField(At(threshold, "raw"), t.switchingThreshold, "switching threshold raw");
        // 108.75 mV a step.
        const double volts = At(threshold, "volts").is_number() ? At(threshold, "volts").get<double>() : -1.0;
        Expect(std::fabs(volts - t.switchingThreshold * 0.10875) < 1e-9, "switching threshold %f V", volts);
    }
    return guest::Finish("status");
}

int CheckSet(const std::string& cli)
{
    const sim::BaseControllerConfig& t = Tower();
    // Segment 2 (Yellow 1), Alarm Flash at 80 %: the first brightness whose
    // box shows 80 is 204 of 255.
    constexpr size_t kRow = 1;
    constexpr uint8_t kCode = 5;
    constexpr uint16_t kLevel = 204;
    const uint8_t address = t.segmentAddress[kRow];

    // Pauses measured at the gadget may be off by this much on an emulated
    // machine; it still tells a pause from none.
    constexpr long kJitterMs = 20;

    const long from = guest::ReceivedLogSize();
    const json answer = RunJson(cli, {"--json", "set", "2", "Alarm Flash", "--level", "80"});
    if (answer.is_null())
        return guest::Finish("set");
    ExpectField(At(answer, "patternCode"), kCode, "set answer: pattern code");
    ExpectField(At(answer, "levelRaw"), kLevel, "set answer: level");

    PatternTables shipped;
    FillShippedPatterns(shipped);
    RowCommand c;
    c.address = address;
    c.patternCode = kCode;
    c.row = static_cast<uint8_t>(kRow);
    c.param = shipped.lightPatterns[kCode].param;
    c.param[2] = static_cast<uint8_t>(kLevel >> 8);
    c.param[3] = static_cast<uint8_t>(kLevel & 0xFF);

    const std::vector<guest::Received> log = guest::ReceivedSince(from);
    if (!Expect(!log.empty(), "the gadget received nothing"))
        return guest::Finish("set");
    ExpectReport(log.front(), BuildHostReport(true), "first report (host report 1)");

    size_t at = 0;
    size_t patternCommands = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].bytes[7] == kOutPatternFirst && patternCommands++ == 0)
            at = i;
    }
    Expect(patternCommands == 1, "%zu pattern commands went out, expected 1", patternCommands);
    if (Expect(at >= 1 && at + 2 < log.size(), "no whole row sequence around the pattern report at %zu of %zu",
               at, log.size())) {
        ExpectReport(log[at - 1], BuildSwitchReport(address, 0), "switch-off");
        ExpectReport(log[at], BuildPatternFirstHalf(c), "pattern, first half");
        ExpectReport(log[at + 1], BuildPatternSecondHalf(c, static_cast<int>(kRow)), "pattern, second half");
        // The segment was off, so it is switched back off.
        ExpectReport(log[at + 2], BuildSwitchReport(address, 0), "switch-back");
        // The pauses, measured at the gadget (kJitterMs of transfer jitter).
        const auto gapMs = [&](size_t i) { return static_cast<long>((log[i].timeUs - log[i - 1].timeUs) / 1000); };
        Expect(gapMs(at) >= long{kPauseAfterSwitchOffMs} - kJitterMs, "switch-off to pattern: %ld ms", gapMs(at));
        Expect(gapMs(at + 1) < long{kPauseAfterPatternMs} - kJitterMs, "between the halves: %ld ms", gapMs(at + 1));
        Expect(gapMs(at + 2) >= long{kPauseAfterPatternMs} - kJitterMs, "pattern to switch-back: %ld ms",
               gapMs(at + 2));
    }

    // It leaves as Close does: a connection report to every segment, bottom
    // up and the sound segment last, then host report 0 and nothing after.
    const size_t leaving = t.segmentAddress.size() + 1;
    if (Expect(log.size() >= at + 3 + leaving,
               "%zu reports after the switch-back, expected at least %zu (the leaving ones)",
               log.size() - std::min(log.size(), at + 3), leaving)) {
        const size_t first = log.size() - leaving;
        for (size_t k = 0; k < t.segmentAddress.size(); ++k) {
            const std::string what = "connection report " + std::to_string(k + 1);
            ExpectReport(log[first + k], BuildConnectionReport(t.segmentAddress[k]), what);
            const long gap = static_cast<long>((log[first + k + 1].timeUs - log[first + k].timeUs) / 1000);
            Expect(gap >= long{kPauseAfterConnectionReportMs} - kJitterMs, "%s: next one after %ld ms", what.c_str(),
                   gap);
        }
        ExpectReport(log.back(), BuildHostReport(false), "last report (host report 0)");
    }

    // The tower keeps what was sent: a second run finds it there.
    const json status = RunJson(cli, {"--json", "status"});
    if (!status.is_null()) {
        ExpectField(At(At(At(status, "segments"), kRow), "patternCode"), kCode, "pattern code after set");
        ExpectField(At(At(At(status, "segments"), kRow), "levelRaw"), kLevel, "level after set");
    }
    return guest::Finish("set");
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string what = argc > 1 ? argv[1] : "";
    const std::string cli = argc > 2 ? argv[2] : "";
    if (!cli.empty() && what == "status")
        return CheckStatus(cli);
    if (!cli.empty() && what == "set")
        return CheckSet(cli);
    std::fprintf(stderr, "usage: usb_cli_check status|set CLI\n");
    return 2;
}
