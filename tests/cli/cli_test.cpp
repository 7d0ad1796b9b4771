#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/cli_app.h"
#include "cli/cli_update.h"
#include "cli/commands.h"
#include "cli/service_client.h"
#include "cli/stdin_lines.h"
#include "cli/stop_signals.h"
#include "session/tower_names.h"
#include "session/tower_session.h"
#include "update/firmware_update_path.h"
#include "device/pattern_tables.h"
#include "device/report_protocol.h"
#include "platform/clock.h"
#include "platform/update_trace.h"
#include "sim/virtual_bootloader.h"
#include "sim/virtual_tower.h"
#include "tests/platform/lock_holder.h"
#include "update_test_support.h"

namespace kv::cli {
namespace {

using nlohmann::json;
using sim::LoggedReport;

// Standard input as a script: each line may first do something to the world
// (unplug, stop the stream, a signal) when the program asks for it.
class ScriptedLines : public LineSource {
public:
    struct Step {
        Step(const char* text, std::function<void()> action = {}) : line(text), before(std::move(action)) {}
        std::string line;
        std::function<void()> before;
        uint64_t notBeforeMs = 0;  // nothing arrives before this time on the clock
    };
    explicit ScriptedLines(std::vector<Step> steps = {}) : steps_(std::move(steps)) {}
    Read Poll(std::string& line) override
    {
        if (next_ >= steps_.size())
            return Read::End;
        if (NowMs() < steps_[next_].notBeforeMs)
            return Read::Nothing;
        Step& s = steps_[next_++];
        if (s.before)
            s.before();
        line = s.line;
        return Read::Line;
    }

private:
    std::vector<Step> steps_;
    size_t next_ = 0;
};

struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
};

sim::VirtualBaseController& Tower(size_t i = 0) { return sim::TheVirtualTower().baseController(i); }
const std::vector<LoggedReport>& Log(size_t i = 0) { return Tower(i).outputLog(); }

std::vector<uint8_t> Bytes(const Report& r) { return {r.begin(), r.end()}; }
std::vector<uint8_t> Bytes(const LoggedReport& r) { return {r.frame.begin(), r.frame.end()}; }

class CliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::ResetWorld();
        ClearStop();
        // No service on this machine is asked: the commands open the virtual
        // tower themselves.
        setenv("KESTRIVANE_SOCKET", "/nonexistent/kestrivane-cli-test.sock", 1);
    }
    void TearDown() override { ClearStop(); }

    Outcome Run(std::vector<std::string> args, std::vector<ScriptedLines::Step> input = {}, bool terminal = false)
    {
        args.insert(args.begin(), "kestrivane-cli");
        ScriptedLines lines(std::move(input));
        std::ostringstream out;
        std::ostringstream err;
        CliIo io{out, err, lines, terminal, terminal};
        Outcome o;
        o.code = RunCli(args, io);
        o.out = out.str();
        o.err = err.str();
        return o;
    }

    ScopedVirtualClock clock_;
    ScopedErrCapture trace_;
};

// The link opened as Open does: the host report 1 goes first.
void ExpectOpenedAsOpen(const std::vector<LoggedReport>& log)
{
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(Bytes(log.front()), Bytes(BuildHostReport(true)));
}

// The link left as Close does: a connection report to every present segment,
// 50 ms apart, then the host report 0, and nothing after it.
void ExpectLeftAsClose(const std::vector<LoggedReport>& log,
                       const std::vector<uint8_t>& addresses = {8, 13, 18, 23, 28, 33})
{
    const size_t n = addresses.size() + 1;
    ASSERT_GE(log.size(), n);
    const size_t first = log.size() - n;
    for (size_t k = 0; k < addresses.size(); ++k) {
        EXPECT_EQ(Bytes(log[first + k]), Bytes(BuildConnectionReport(addresses[k]))) << k;
        EXPECT_EQ(log[first + k + 1].timeUs - log[first + k].timeUs, 50000u) << k;
    }
    EXPECT_EQ(Bytes(log.back()), Bytes(BuildHostReport(false)));
}

// Standard output without the session's state lines: the answers alone.
std::string Answers(const std::string& out)
{
    std::string answers;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("{\"event\":\"state\"", 0) != 0)
            answers += line + "\n";
    return answers;
}

TEST_F(CliTest, SetSendsTheRowSequenceOfTheWindowsSendWithItsPausesAndSeesTheTowerTakeIt)
{
    const Outcome o = Run({"set", "yellow1", "ALARM flash", "--level", "80"});
    ASSERT_EQ(o.code, kExitOk) << o.err;

    const auto& log = Log();
    ExpectOpenedAsOpen(log);
    // 80 % is the first brightness whose box shows 80: 204 of 255.
    RowCommand c;
    c.address = 13;
    c.patternCode = 5;
    c.row = 1;
    PatternTables shipped;
    FillShippedPatterns(shipped);
    c.param = shipped.lightPatterns[5].param;
    c.param[2] = 0;
    c.param[3] = 204;
    size_t at = 0;
    while (at < log.size() && log[at].type() != kOutPatternFirst)
        ++at;
    ASSERT_TRUE(at >= 1 && at + 2 < log.size());
    EXPECT_EQ(Bytes(log[at - 1]), Bytes(BuildSwitchReport(13, 0)));
    EXPECT_EQ(Bytes(log[at]), Bytes(BuildPatternFirstHalf(c)));
    EXPECT_EQ(Bytes(log[at + 1]), Bytes(BuildPatternSecondHalf(c, 1)));
    EXPECT_EQ(Bytes(log[at + 2]), Bytes(BuildSwitchReport(13, 0)));
    EXPECT_EQ(log[at].timeUs - log[at - 1].timeUs, 120000u);
    EXPECT_EQ(log[at + 1].timeUs, log[at].timeUs);
    EXPECT_EQ(log[at + 2].timeUs - log[at + 1].timeUs, 120000u);
    // Exactly one pattern command went out.
    size_t patternReports = 0;
    for (const LoggedReport& r : log)
        patternReports += r.type() == kOutPatternFirst ? 1 : 0;
    EXPECT_EQ(patternReports, 1u);
    ExpectLeftAsClose(log);

    EXPECT_EQ(Tower().config().patternCode[1], 5);
    EXPECT_EQ(Tower().config().level[1], 204);

    // The ends of the scales, where the sliders start out, are sent too.
    ASSERT_EQ(Run({"set", "3", "flash", "--level", "100"}).code, kExitOk);
    EXPECT_EQ(Tower().config().level[2], 255);
    ASSERT_EQ(Run({"set", "sound", "beep", "--level", "100"}).code, kExitOk);
    EXPECT_EQ(Tower().config().level[5], 213);
    // The first pattern of a row, code 0, is named as any other.
    ASSERT_EQ(Run({"set", "yellow1", "permanent on"}).code, kExitOk);
    EXPECT_EQ(Tower().config().patternCode[1], 0);
}

TEST_F(CliTest, StatusAsJsonAndTextShowsWhatTheTowerReports)
{
    Tower().mutableConfig().segmentAddress[2] = 0;
    Tower().mutableConfig().patternCode[4] = 7;  // a 200 % pattern
    Tower().mutableConfig().level[4] = 510;
    const Outcome o = Run({"--json", "status"});
    ASSERT_EQ(o.code, kExitOk) << o.err;
    // Every field, so a value put in the wrong place or a record too many shows.
    EXPECT_EQ(json::parse(o.out), json::parse(R"json({"baseController": {"firmware": "2.8", "hardware": "1.1", "programFirmware": "2.8"},
 "segments": [
  {"address": 8, "boost": false, "colour": "Red", "firmware": "12", "hardware": "1.0", "level": 50, "levelRaw": 128, "name": "Red 1", "on": false, "pattern": "Permanent On", "patternCode": 0, "position": 1, "present": true},
  {"address": 13, "boost": false, "colour": "Yellow", "firmware": "12", "hardware": "1.0", "level": 50, "levelRaw": 128, "name": "Yellow 1", "on": false, "pattern": "Permanent On", "patternCode": 0, "position": 2, "present": true},
  {"position": 3, "present": false},
  {"address": 23, "boost": false, "colour": "Blue", "firmware": "12", "hardware": "1.0", "level": 50, "levelRaw": 128, "name": "Blue 1", "on": false, "pattern": "Permanent On", "patternCode": 0, "position": 4, "present": true},
  {"address": 28, "boost": true, "colour": "White", "firmware": "12", "hardware": "1.0", "level": 200, "levelRaw": 510, "name": "White 1", "on": false, "pattern": "Single Quick Flash (Slow)", "patternCode": 7, "position": 5, "present": true}
 ],
 "sound": {"address": 33, "colour": "Acoustic", "firmware": "12", "hardware": "1.0", "level": 50, "levelRaw": 166, "name": "Acoustic 1", "on": false, "pattern": "Permanent On", "patternCode": 0, "present": true},
 "ports": [
  {"acoustic": false, "colour": "Red 1", "colourAddress": 8, "port": 1},
  {"acoustic": false, "colour": "Yellow 1", "colourAddress": 13, "port": 2},
  {"acoustic": false, "colour": "Green 1", "colourAddress": 18, "port": 3},
  {"acoustic": false, "colour": "Blue 1", "colourAddress": 23, "port": 4},
  {"acoustic": true, "colour": "White 1", "colourAddress": 28, "port": 5}
 ],
 "switchingThreshold": {"raw": 92, "text": "10.0", "volts": 10.005}})json")) << o.out;
    ExpectLeftAsClose(Log(), {8, 13, 23, 28, 33});

    test::ResetWorld();
    const Outcome text = Run({"status"});
    ASSERT_EQ(text.code, kExitOk) << text.err;
    EXPECT_EQ(text.out,
              "Base Controller: firmware 2.8, hardware 1.1\n"
              "Segments (bottom up):\n"
              "  1      Red 1       address 8   Permanent On                 50 %  off  firmware 12, hardware 1.0\n"
              "  2      Yellow 1    address 13  Permanent On                 50 %  off  firmware 12, hardware 1.0\n"
              "  3      Green 1     address 18  Permanent On                 50 %  off  firmware 12, hardware 1.0\n"
              "  4      Blue 1      address 23  Permanent On                 50 %  off  firmware 12, hardware 1.0\n"
              "  5      White 1     address 28  Permanent On                 50 %  off  firmware 12, hardware 1.0\n"
              "  sound  Acoustic 1  address 33  Permanent On                 50 %  off  firmware 12, hardware 1.0\n"
              "Port map:  1: Red 1  2: Yellow 1  3: Green 1  4: Blue 1  5: White 1 + sound\n"
              "Switching threshold: 10.0 V\n");
}

TEST_F(CliTest, EachFailureHasItsOwnExitCode)
{
    struct Row {
        const char* what;
        std::function<void()> world;
        std::vector<std::string> args;
        int code;
        const char* message;
    };
    const std::vector<Row> rows = {
        {"no tower", [] { sim::TheVirtualTower().Clear(); }, {"status"}, kExitNoTower, "udev"},
        {"unknown option", {}, {"status", "--loud"}, kExitUsage, "--loud"},
        {"unknown segment", {}, {"on", "Purple 9"}, kExitUsage, "Purple 9"},
        {"colour not on the tower", {}, {"on", "Red 2"}, kExitUsage, "Red 2"},
        {"pattern of the other kind", {}, {"set", "1", "Siren"}, kExitUsage, "Siren"},
        {"level beyond the scale", {}, {"set", "1", "Flash", "--level", "101"}, kExitUsage, "101"},
        {"empty position", [] { Tower().mutableConfig().segmentAddress[2] = 0; }, {"on", "3"}, kExitFailed,
         "position 3"},
        {"state never complete", [] { Tower().mutableConfig().reportOrder = {1, 3, 4, 5, 6, 7, 8}; },
         {"--timeout", "2", "status"}, kExitNotConfirmed, "did not report"},
        {"other firmware", [] { Tower().mutableConfig().firmwareVersion[5] = 27; }, {"status"},
         kExitFirmwareMismatch, "firmware 2.7"},
        {"Ctrl-C while coming in step", [] { RequestStop(); }, {"status"}, kExitInterrupted, "Interrupted"},
        {"Ctrl-C while listing", [] { RequestStop(); }, {"list"}, kExitInterrupted, "Interrupted"},
        {"unplugged while coming in step", [] { Tower().UnplugAfterInputReports(5); }, {"status"},
         kExitNoTower, "lost"},
    };
    for (const Row& r : rows) {
        test::ResetWorld();
        ClearStop();
        if (r.world)
            r.world();
        const Outcome o = Run(r.args);
        EXPECT_EQ(o.code, r.code) << r.what << ": " << o.err;
        EXPECT_NE(o.err.find(r.message), std::string::npos) << r.what << ": " << o.err;
        if (sim::TheVirtualTower().baseControllerCount() > 0 && Tower().pluggedIn() && !Log().empty()) {
            EXPECT_EQ(Bytes(Log().back()), Bytes(BuildHostReport(false))) << r.what;
        }
    }
}

TEST_F(CliTest, SessionAnswersEachLineAndPrintsStateChangesUntilTheEndOfInput)
{
    const Outcome o = Run({"--json", "session"},
                          {{"set sound \"car alarm\""}, {"on \"Color Segment 2\""}, {"# a comment"},
                           {"off 7"}, {"patterns"}});
    ASSERT_EQ(o.code, kExitOk) << o.err;
    std::vector<json> lines;
    std::istringstream in(o.out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(json::parse(line));
    std::vector<json> answers;
    int states = 0;
    for (const json& l : lines) {
        if (l.contains("command"))
            answers.push_back(l);
        else if (l["event"] == "state")
            ++states;
    }
    ASSERT_EQ(answers.size(), 4u) << o.out;
    EXPECT_EQ(answers[0]["command"], "set");
    EXPECT_EQ(answers[0]["result"]["pattern"], "Car Alarm");
    EXPECT_EQ(answers[1]["result"]["on"], true);
    EXPECT_EQ(answers[2]["exitCode"], kExitUsage);
    EXPECT_EQ(answers[3]["result"]["sound"][17]["name"], "Siren");
    // The first state, the new sound pattern, segment 2 switched on.
    EXPECT_GE(states, 3);
    EXPECT_EQ(lines.front()["event"], "state");
    EXPECT_EQ(Tower().config().patternCode[5], 16);
    EXPECT_TRUE(Tower().switchState(13).received);
    // Switched on by the state report, then off again by the connection report.
    ExpectLeftAsClose(Log());
    bool stateOn = false;
    for (const LoggedReport& r : Log())
        stateOn = stateOn || Bytes(r) == Bytes(BuildStateReport(13, 1));
    EXPECT_TRUE(stateOn);
}

TEST_F(CliTest, SignalOrLostTowerInASessionEnds)
{
    // SIGINT through the real handler: the session leaves as Close does.
    InstallStopHandlers();
    Outcome o = Run({"session"}, {{"status"}, {"status", [] { std::raise(SIGINT); }}, {"status"}});
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGPIPE, SIG_DFL);
    EXPECT_EQ(o.code, kExitOk) << o.err;
    EXPECT_TRUE(StopRequested());
    ExpectLeftAsClose(Log());

    // Unplugged between two lines: the offline event and exit code 3.
    test::ResetWorld();
    ClearStop();
    o = Run({"session"}, {{"status"}, {"on 1", [] { Tower().Unplug(); }}, {"status"}});
    EXPECT_EQ(o.code, kExitNoTower);
    EXPECT_NE(o.out.find("{\"event\":\"offline\"}"), std::string::npos) << o.out;
    // With --json the session's end is answered as every failure is.
    test::ResetWorld();
    o = Run({"--json", "session"}, {{"on 1", [] { Tower().Unplug(); }}});
    EXPECT_EQ(o.code, kExitNoTower);
    const std::string lost = json{{"error", std::string(kTowerLostText)}, {"exitCode", 3}}.dump();
    const std::string answers = Answers(o.out);
    EXPECT_EQ(answers.substr(answers.find("{\"event\":\"offline\"}")), "{\"event\":\"offline\"}\n" + lost + "\n")
        << o.out;

    // A tower that stops reporting does not confirm a set.
    test::ResetWorld();
    o = Run({"--timeout", "1", "--json", "session"}, {{"set 1 flash", [] { Tower().StopStream(); }}});
    EXPECT_NE(o.out.find("\"exitCode\":4"), std::string::npos) << o.out;
    EXPECT_EQ(Tower().config().patternCode[0], 4);  // it took the command, but never said so

    // Switch reports the tower does not take.
    test::ResetWorld();
    o = Run({"--json", "session"}, {{"on 1", [] { Tower().FailNextWrites(20); }}});
    EXPECT_NE(o.out.find("\"exitCode\":4,\"ok\":false"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Warning: Failed send to device!"), std::string::npos) << o.out;
}

TEST_F(CliTest, ASessionAnswersEveryLineItCannotUseAndKeepsItsResultsApart)
{
    // A name that is not UTF-8 (a Latin-1 terminal) is answered as a usage
    // error in JSON, not taken down with the connection.
    Outcome o = Run({"--json", "session"}, {{"on \"Rot \xe9\""}, {"set 1 \xff flash"}, {"on 1"}});
    EXPECT_EQ(o.code, kExitOk) << o.err;
    EXPECT_NE(o.out.find("\"exitCode\":2"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("\"command\":\"on\",\"exitCode\":0"), std::string::npos) << o.out;
    ExpectLeftAsClose(Log());

    // A send that failed does not make a later set fail whose row the tower
    // already holds.
    test::ResetWorld();
    o = Run({"--json", "session"},
            {{"set 2 flash"}, {"set 1 flash", [] { Tower().FailNextWrites(4); }}, {"set 2 flash"}});
    EXPECT_EQ(o.code, kExitOk) << o.err;
    std::vector<int> codes;
    std::istringstream in(o.out);
    for (std::string line; std::getline(in, line);) {
        const json j = json::parse(line);
        if (j.contains("command"))
            codes.push_back(j["exitCode"].get<int>());
    }
    EXPECT_EQ(codes, (std::vector<int>{kExitOk, kExitNotConfirmed, kExitOk})) << o.out;
    EXPECT_EQ(Tower().config().patternCode[1], 4);
}

TEST_F(CliTest, ListShowsEveryBaseControllerAndDevicePicksOne)
{
    sim::BaseControllerConfig second;
    second.firmwareVersion[5] = 27;
    const std::string secondPath = [&] {
        sim::TheVirtualTower().AddBaseController(second);
        return sim::TheVirtualTower().hidDevices().back().path;
    }();
    const Outcome o = Run({"--json", "list"});
    ASSERT_EQ(o.code, kExitOk) << o.err;
    const json j = json::parse(o.out);
    ASSERT_EQ(j["baseControllers"].size(), 2u);
    EXPECT_EQ(j["baseControllers"][0]["firmware"], "2.8");
    EXPECT_EQ(j["baseControllers"][1]["firmware"], "2.7");
    EXPECT_EQ(j["baseControllers"][1]["path"], secondPath);
    EXPECT_TRUE(j["bootloaders"].empty());
    ExpectOpenedAsOpen(Log(0));
    ExpectLeftAsClose(Log(0));
    EXPECT_EQ(Tower(1).hostConnected(), 0);

    Tower(0).ClearOutputLog();
    Tower(1).mutableConfig().firmwareVersion[5] = 28;
    EXPECT_EQ(Run({"--device", secondPath, "on", "1"}).code, kExitOk);
    EXPECT_TRUE(Log(0).empty());
    EXPECT_TRUE(Tower(1).switchState(8).received);
}

TEST_F(CliTest, ATowerAnotherProgramHoldsIsNamedAndGetsNoReport)
{
    test::LockFolder folder;
    const std::string path = sim::TheVirtualTower().hidDevices().front().path;
    // Another program holds the tower through its own link.
    test::LockHolder holder("kestrivaned", [&] {
        static DeviceState state;
        static HidLink link(state);
        link.SetDevicePath(path);
        return link.Open() != nullptr;
    });
    ASSERT_TRUE(holder.holds());
    const std::string named = "The tower is held by kestrivaned (pid " + std::to_string(holder.pid()) + ").";

    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"on", "1"}, {"set", "1", "flash"}, {"status"}, {"--device", path, "off", "1"}}) {
        const Outcome o = Run(args);
        EXPECT_EQ(o.code, kExitNoTower) << args[0];
        EXPECT_NE(o.err.find(named), std::string::npos) << o.err;
    }
    const Outcome listed = Run({"--json", "list"});
    EXPECT_EQ(listed.code, kExitOk) << listed.err;
    const json entry = json::parse(listed.out)["baseControllers"][0];
    EXPECT_EQ(entry["accessible"], false);
    EXPECT_EQ(entry["heldBy"], "kestrivaned (pid " + std::to_string(holder.pid()) + ")");
    EXPECT_NE(Run({"list"}).out.find("(held by kestrivaned (pid "), std::string::npos);
    // Nothing reached the tower, and it was never opened under the holder.
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(sim::TheVirtualTower().hidApi().openCalls, 0);

    // Once the holder ends, the tower is the CLI's.
    holder.Release();
    EXPECT_EQ(Run({"on", "1"}).code, kExitOk);
    ExpectOpenedAsOpen(Log());
}

TEST_F(CliTest, UpdateRunsTheWindowsUpdateAndReportsItsCode)
{
    const std::vector<uint8_t> firmware = test::MakeFirmware(29);
    test::TempHexFile hex(test::FirmwareHex(firmware));

    // Not on a terminal and without --yes: nothing happens to the tower.
    Outcome o = Run({"update", hex.path()});
    EXPECT_EQ(o.code, kExitFailed);
    EXPECT_NE(o.err.find("--yes"), std::string::npos);
    EXPECT_EQ(test::BootloaderReportsTaken(), 0u);

    test::ResetWorld();
    o = Run({"update", "--yes", hex.path()});
    ASSERT_EQ(o.code, kExitOk) << o.err;
    EXPECT_TRUE(test::FlashHolds(firmware));
    EXPECT_EQ(o.out, "[0/7] Preparing...\n[1/7] Establish Connection...\n[2/7] Erase Old Firmware...\n"
                     "[3/7] Write New Firmware...\n[4/7] Readback New Firmware...\n[5/7] Validate New Firmware...\n"
                     "[6/7] Restart Device...\n[7/7] All Done.\nYour device has succesfully been updated.\n"
                     "Your base controller has been successfully updated.\nFirmware Version Base: 2.9\n");
    // Off the tower as the window goes off it, the bootloader report, back
    // online after the update, then left as Close does.
    const auto& log = Log();
    size_t boot = 0;
    while (boot < log.size() && log[boot].type() != kOutBootloader)
        ++boot;
    ASSERT_LT(boot + 1, log.size());
    EXPECT_EQ(Bytes(log[boot]), Bytes(BuildBootloaderReport()));
    ExpectLeftAsClose({log.begin(), log.begin() + static_cast<std::ptrdiff_t>(boot)});
    EXPECT_EQ(Bytes(log[boot + 1]), Bytes(BuildHostReport(true)));
    ExpectLeftAsClose(log);

    test::ResetWorld();
    test::TempHexFile junk(":00000001FE\n:10000000");
    o = Run({"update", "--yes", junk.path()});
    EXPECT_EQ(o.code, kExitUpdateFailed);
    EXPECT_EQ(o.err, "kestrivane-cli: Update failed with error code: [3.6].\n");
    // Without --verbose the reader's own complaints about the file are not written.
    EXPECT_EQ(trace_.text(), "Something went wrong with creating the memory image.\n");

    // Ctrl-C while the tower comes in step: no update starts.
    test::ResetWorld();
    RequestStop();
    o = Run({"update", "--yes", hex.path()});
    ClearStop();
    EXPECT_EQ(o.code, kExitInterrupted) << o.err;
    EXPECT_EQ(test::BootloaderReportsTaken(), 0u);
    ASSERT_FALSE(Log().empty());
    EXPECT_EQ(Bytes(Log().back()), Bytes(BuildHostReport(false)));

    // On a terminal the question is asked: "y" or "yes" in any case updates,
    // any other answer or the end of input does not.
    using Answer = std::vector<ScriptedLines::Step>;
    for (const auto& [answer, updates] :
         std::vector<std::pair<Answer, bool>>{{{"YES"}, true}, {{"y"}, true}, {{"no"}, false}, {{}, false}}) {
        test::ResetWorld();
        o = Run({"update", hex.path()}, answer, true);
        EXPECT_EQ(o.code, updates ? kExitOk : kExitFailed) << o.err;
        EXPECT_EQ(test::BootloaderReportsTaken(), updates ? 1u : 0u);
        EXPECT_NE(o.out.find("\nUpdate now? [y/N] "), std::string::npos) << o.out;
        EXPECT_EQ(o.err.starts_with("kestrivane-cli: Not updated.\n"), !updates) << o.err;
    }
    // An answer typed half a minute later is waited for.
    test::ResetWorld();
    ScriptedLines::Step late("y");
    late.notBeforeMs = NowMs() + 30000;
    EXPECT_EQ(Run({"update", hex.path()}, {late}, true).code, kExitOk);

    // A Base Controller too old to take the update with segments on it is
    // refused as its dialog refuses it, --yes or not.
    test::ResetWorld();
    Tower().mutableConfig().firmwareVersion[5] = 23;
    o = Run({"update", "--yes", hex.path()});
    EXPECT_EQ(o.code, kExitFailed);
    EXPECT_EQ(o.err, "kestrivane-cli: Not updated.\nThe firmware of your Base Controller would need to be updated:\n"
                     "from v2.3 to v2.8\n\nWhat you need to do before is:\nRemove all segments from Base "
                     "Controller.\nand\nEnsure your nelo is connected to an USB2.0 port.\n");
    EXPECT_EQ(test::BootloaderReportsTaken(), 0u);

    // The default file beside the program is not there in a test.
    test::ResetWorld();
    o = Run({"update", "--yes"});
    EXPECT_EQ(o.code, kExitUpdateFailed);
    EXPECT_NE(o.err.find("Firmware file not found."), std::string::npos) << o.err;
}

TEST_F(CliTest, CommandLinesAndSessionLinesAnswerExactly)
{
    const std::string noTower = std::string("kestrivane-cli: ") + kNoTowerText + "\n";
    const std::string folder = std::filesystem::temp_directory_path().string();
    struct Row {
        const char* what;
        bool tower;
        std::vector<std::string> args;
        std::vector<ScriptedLines::Step> input;
        int code;
        std::string out;  // without state lines
        std::string err;
    };
    const std::vector<Row> rows = {
        // Checked before a tower is looked for.
        {"pattern unknown, no tower", false, {"set", "1", "sparkle"}, {}, kExitUsage, "",
         "kestrivane-cli: No pattern 'sparkle' for this segment: see 'patterns'.\n"},
        {"position 9, no tower", false, {"set", "9", "flash"}, {}, kExitUsage, "",
         "kestrivane-cli: No segment '9': give 1-5, sound, or a colour name the tower shows.\n"},
        {"position 0, no tower", false, {"on", "0"}, {}, kExitUsage, "",
         "kestrivane-cli: No segment '0': give 1-5, sound, or a colour name the tower shows.\n"},
        {"a name waits for the tower", false, {"on", "Red 1"}, {}, kExitNoTower, "", noTower},
        {"level no number, in JSON", false, {"--json", "set", "1", "flash", "--level", "abc"}, {}, kExitUsage,
         "{\"error\":\"Level 'abc' is not a percentage: give 0-100 for Flash.\",\"exitCode\":2}\n",
         "kestrivane-cli: Level 'abc' is not a percentage: give 0-100 for Flash.\n"},
        {"level beyond Soft In", false, {"set", "3", "soft in", "--level", "200"}, {}, kExitUsage, "",
         "kestrivane-cli: Level 200 % is beyond the scale of Soft In: give 0-100.\n"},
        {"level beyond Soft Out", true, {"set", "Red 1", "soft out", "--level", "201"}, {}, kExitUsage, "",
         "kestrivane-cli: Level 201 % is beyond the scale of Soft Out: give 0-200.\n"},
        {"a lone dash is a word", false, {"-"}, {}, kExitUsage, "", "kestrivane-cli: Unknown command '-': see --help.\n"},
        {"unknown command", false, {"--json", "asdf"}, {}, kExitUsage,
         "{\"error\":\"Unknown command 'asdf': see --help.\",\"exitCode\":2}\n",
         "kestrivane-cli: Unknown command 'asdf': see --help.\n"},
        {"no tower, in JSON", false, {"status", "--json"}, {}, kExitNoTower,
         json{{"error", std::string(kNoTowerText)}, {"exitCode", 3}}.dump() + "\n", noTower},
        {"--device that is not there", true, {"--device", "/dev/hidraw9", "on", "1"}, {}, kExitNoTower, "",
         "kestrivane-cli: No Base Controller '/dev/hidraw9' is attached: give a device path or serial number "
         "as 'kestrivane-cli list' shows them.\n"},
        {"firmware file missing", true, {"update", "--yes", "/nonexistent/basis.hex"}, {}, kExitUpdateFailed, "",
         "kestrivane-cli: Firmware file '/nonexistent/basis.hex' not found.\n"},
        {"firmware file a folder", true, {"update", "--yes", folder}, {}, kExitUpdateFailed, "",
         "kestrivane-cli: Firmware file '" + folder + "' is a folder, not a file.\n"},
        // Session lines: shell words, options after the command, quit.
        {"session words and quit", true, {"--json", "session"},
         {{"set 2 'Alarm Flash' --level 100"}, {"set 3 Soft\\ Out"}, {"set 1 \"a\\`b\\q\" --level 0"},
          {"set 1 flash --level 0"}, {"on \"Red 1"}, {"asdf 1"}, {"quit"}, {"on 1"}},
         kExitOk,
         "{\"command\":\"set\",\"exitCode\":0,\"ok\":true,\"result\":{\"levelRaw\":255,\"pattern\":\"Alarm "
         "Flash\",\"patternCode\":5,\"segment\":2}}\n"
         "{\"command\":\"set\",\"exitCode\":0,\"ok\":true,\"result\":{\"levelRaw\":128,\"pattern\":\"Soft "
         "Out\",\"patternCode\":13,\"segment\":3}}\n"
         "{\"command\":\"set\",\"error\":\"No pattern 'a`b\\\\q' for this segment: see 'patterns'.\",\"exitCode\":2,"
         "\"ok\":false}\n"
         "{\"command\":\"set\",\"exitCode\":0,\"ok\":true,\"result\":{\"levelRaw\":0,\"pattern\":\"Flash\","
         "\"patternCode\":4,\"segment\":1}}\n"
         "{\"command\":\"\",\"error\":\"A double quote is not closed.\",\"exitCode\":2,\"ok\":false}\n"
         "{\"command\":\"asdf\",\"error\":\"Unknown command 'asdf': see --help.\",\"exitCode\":2,\"ok\":false}\n"
         "{\"command\":\"quit\",\"exitCode\":0,\"ok\":true}\n",
         ""},
        {"session line asks for JSON", true, {"session"}, {{"off 1 --json"}, {"off 6"}}, kExitOk,
         "{\"command\":\"off\",\"exitCode\":0,\"ok\":true,\"result\":{\"on\":false,\"segment\":1}}\n"
         "error 2: No segment '6': give 1-5, sound, or a colour name the tower shows.\n",
         ""},
    };
    for (const Row& r : rows) {
        test::ResetWorld();
        if (!r.tower)
            sim::TheVirtualTower().Clear();
        const Outcome o = Run(r.args, r.input);
        EXPECT_EQ(o.code, r.code) << r.what;
        EXPECT_EQ(Answers(o.out), r.out) << r.what;
        EXPECT_EQ(o.err, r.err) << r.what;
        if (r.code == kExitUsage && sim::TheVirtualTower().baseControllerCount() > 0) {
            for (const LoggedReport& report : Log())
                EXPECT_NE(report.type(), kOutPatternFirst) << r.what << ": a refused line reached the tower";
        }
    }
}

TEST_F(CliTest, SessionHelpListsItsCommandsAndPatternsShowThe200PercentScale)
{
    Outcome o = Run({"--json", "session"}, {{"help"}});
    ASSERT_EQ(o.code, kExitOk) << o.err;
    const json help = json::parse(Answers(o.out));
    std::vector<std::string> names;
    for (const json& c : help["result"])
        names.push_back(c["command"]);
    EXPECT_EQ(names, (std::vector<std::string>{"list", "status", "patterns", "set", "on", "off", "update",
                                               "help", "quit"}));
    o = Run({"session"}, {{"help"}});
    EXPECT_NE(o.out.find("\n  list      every Base Controller and boot loader attached\n  status    the whole tower: "
                         "segments, versions, port map, threshold\n  patterns  the pattern names"),
              std::string::npos)
        << o.out;

    o = Run({"patterns", "--json"});
    ASSERT_EQ(o.code, kExitOk) << o.err;
    const json j = json::parse(o.out);
    EXPECT_EQ(j["colour"][13]["name"], "Soft Out");
    EXPECT_EQ(j["colour"][13]["boost"], json({1, 2, 3, 4, 5}));
    EXPECT_EQ(j["colour"][12]["boost"], json::array());
    o = Run({"patterns"});
    EXPECT_NE(o.out.find("\n  Soft In\n  Soft Out  (200 %)\n"), std::string::npos) << o.out;
}

TEST(CliInput, LinesEndWithOrWithoutACarriageReturnAndTheLastNeedsNoEnd)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "a\r\nc\nb", 6), 6);
    close(fds[1]);
    FdLineSource in(fds[0]);
    std::vector<std::string> lines;
    std::string line;
    errno = EINTR;  // left from an earlier interrupted call: not this poll's
    while (lines.size() < 4 && in.Poll(line) == LineSource::Read::Line)
        lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "c", "b"}));
    EXPECT_EQ(in.Poll(line), LineSource::Read::End);
    close(fds[0]);
}

// The file the command checked is gone when the update path looks for it.
TEST(CliUpdate, AFileGoneBeforeThePathLooksIsTheCommandsError)
{
    DeviceState state;
    HidLink link(state);
    PatternTables tables;
    TowerSession session(state, link, tables);
    std::ostringstream out;
    ScriptedLines in;
    CliUpdateDialogs dialogs({out, out, in});
    FirmwareUpdatePath path(session, dialogs);
    path.SetFirmwarePath("/nonexistent/basis.hex");
    path.OnFirmwareUpdate();
    EXPECT_TRUE(dialogs.fileMissing());
    EXPECT_EQ(dialogs.errorText(), std::string(kFirmwareMissingCaption) + ": " + kFirmwareMissingText);
    EXPECT_FALSE(dialogs.ran());
}

// Ctrl-C after the run's last step is noticed when the run returns.
TEST(CliUpdate, ACtrlCAfterTheLastStepIsNoticedWhenTheRunEnds)
{
    DeviceState state;
    HidLink link(state);
    link.SetDevicePath("/nonexistent/hidraw");
    std::ostringstream out;
    std::ostringstream err;
    ScriptedLines in;
    CliUpdateDialogs dialogs({out, err, in});
    const UpdateAttempt attempt = MakeUpdateAttempt(
        link, "", [](int, const char*, ProgressHook, void*) { return 0; },
        [](int, const char*, ProgressHook hook, void* context) {
            hook(context, 7, 0, 100);
            RequestStop();
            return 0;
        });
    EXPECT_EQ(dialogs.RunProgress(attempt), kProgressUpdated);
    ClearStop();
    EXPECT_EQ(err.str(), "Interrupted: the firmware update goes on to its end (stopping a flash half-way would "
                         "leave the tower without firmware); the program ends after it.\n");
}

TEST(CliThroughService, AShortOrStrangeStackFromTheServiceIsReadSafely)
{
    // Two segments only, then one that is no object.
    json status = {{"segments", {{{"address", 8}, {"present", true}}, {{"address", 13}, {"present", true}}}},
                   {"sound", {{"address", 33}, {"present", true}}}};
    std::vector<std::string> writes;
    bool listRefused = false;
    const ServiceTransport transport = [&](const std::string& method, const std::string& target,
                                           const std::string& body) {
        if (method == "PUT") {
            writes.push_back(target + " " + body);
            return ServiceReply{200, {{"segment", {{"on", true}}}}};
        }
        if (target == "/api/v1/towers" && listRefused)
            return ServiceReply{503, {{"error", "Not now."}}};
        if (target == "/api/v1/towers")
            return ServiceReply{200, {{"baseControllers", {{{"id", "1"}, {"state", "online"}}}}}};
        return ServiceReply{200, status};
    };
    const auto on = [&](const std::string& segment) {
        Request r;
        r.command = Command::On;
        r.segment = segment;
        const Answer a = ServiceCommands(r, transport, "S").Run();
        return a.code == kExitOk ? a.text : a.error;
    };
    EXPECT_EQ(on("Yellow 1"), "On.\n");
    EXPECT_EQ(on("4"), "The tower has no segment at position 4.");
    status["segments"][1] = 5;
    EXPECT_EQ(on("1"), "The service kestrivaned at S gave an answer this program cannot read.");
    status = {{"state", "firmwareDiffers"}, {"baseController", {{"firmware", "2.7"}}}};
    EXPECT_EQ(on("1"), MismatchText("2.7"));
    listRefused = true;
    EXPECT_EQ(on("1"), "Not now.");
    EXPECT_EQ(writes, (std::vector<std::string>{"/api/v1/towers/1/segments/2 {\"on\":true}"}));
}

// Standard output that notes the clock when the first byte is written.
class TimedBuffer : public std::stringbuf {
public:
    uint64_t firstUs = 0;

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        Note();
        return std::stringbuf::xsputn(s, n);
    }
    int_type overflow(int_type ch) override
    {
        Note();
        return std::stringbuf::overflow(ch);
    }

private:
    void Note()
    {
        if (firstUs == 0)
            firstUs = NowUs();
    }
};

TEST_F(CliTest, StatusAnswersBeforeItLeavesAsCloseDoes)
{
    ScriptedLines none;
    TimedBuffer buffer;
    std::ostream out(&buffer);
    std::ostringstream err;
    CliIo io{out, err, none, false, false};
    ASSERT_EQ(RunCli({"kestrivane-cli", "status", "--json"}, io), kExitOk) << err.str();
    EXPECT_TRUE(json::accept(buffer.str())) << buffer.str();
    ExpectLeftAsClose(Log());
    // The answer came before the first of Close's connection reports.
    const LoggedReport& firstGoodbye = Log()[Log().size() - 7];
    EXPECT_GT(buffer.firstUs, 0u);
    EXPECT_LE(buffer.firstUs, firstGoodbye.timeUs);
}

// The virtual clock, which plugs the tower in when a given time has come.
class PlugInClock : public VirtualClock {
public:
    explicit PlugInClock(uint64_t atUs) : atUs_(atUs) {}
    void SleepUs(uint64_t us) override
    {
        VirtualClock::SleepUs(us);
        if (NowUs() >= atUs_ && !Tower().pluggedIn())
            Tower().PlugIn();
    }

private:
    uint64_t atUs_;
};

TEST_F(CliTest, WaitWaitsForTheTowerToBePluggedIn)
{
    struct Row {
        std::vector<std::string> args;
        int code;
    };
    const std::vector<Row> rows = {
        {{"status"}, kExitNoTower},
        {{"--wait", "1", "status"}, kExitNoTower},
        {{"--wait", "3", "status"}, kExitOk},
        {{"--wait", "3", "--device", "/dev/hidraw-virtual0", "on", "2"}, kExitOk},
    };
    for (const Row& r : rows) {
        test::ResetWorld();
        Tower().Unplug();
        PlugInClock clock(2000000);
        InstallClock(&clock);
        const Outcome o = Run(r.args);
        InstallClock(&clock_.clock());
        EXPECT_EQ(o.code, r.code) << r.args.front() << ": " << o.err;
    }
}

TEST_F(CliTest, UpdateTraceGoesWhereAskedAndCtrlCLetsTheUpdateEnd)
{
    const std::vector<uint8_t> firmware = test::MakeFirmware(29);
    test::TempHexFile hex(test::FirmwareHex(firmware));
    const std::string traceFile = hex.path() + ".trace";

    // Without --verbose the trace goes nowhere; with --trace into the file.
    // (The update modules write to the process's standard error, which the
    // fixture captures.)
    Outcome o = Run({"update", "--yes", "--trace", traceFile, hex.path()});
    ASSERT_EQ(o.code, kExitOk) << o.err;
    EXPECT_EQ(trace_.text(), "");
    std::ifstream in(traceFile);
    const std::string trace((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(trace.rfind("src/", 0), 0u) << trace.substr(0, 200);
    EXPECT_NE(trace.find("\nsrc/dfu:"), std::string::npos);
    std::filesystem::remove(traceFile);
    test::ResetWorld();
    trace_.clear();
    o = Run({"update", "--yes", hex.path()});
    ASSERT_EQ(o.code, kExitOk) << o.err;
    EXPECT_EQ(trace_.text(), "");

    // With --verbose on standard error, where the window writes it; Ctrl-C
    // at the first trace line is answered at once (on a terminal the bar
    // makes room for the notice then), the flash ends.
    test::ResetWorld();
    std::string err;
    SetErrSink([&err](const std::string& text) {
        if (text.rfind("src/dfu:", 0) == 0 && !StopRequested())
            RequestStop();
        err += text;
    });
    o = Run({"update", "--yes", "--verbose", hex.path()}, {}, true);
    EXPECT_EQ(o.code, kExitInterrupted) << o.err;
    EXPECT_LT(o.out.find('\n'), o.out.find("7/7 All Done.")) << o.out;
    EXPECT_TRUE(test::FlashHolds(firmware));
    const std::string notice =
        "Interrupted: the firmware update goes on to its end (stopping a flash half-way would leave the "
        "tower without firmware); the program ends after it.\n";
    const size_t at = o.err.find(notice);
    ASSERT_NE(at, std::string::npos) << o.err;
    EXPECT_EQ(o.err.find(notice, at + 1), std::string::npos);
    EXPECT_EQ(o.err.substr(at + notice.size()),
              "kestrivane-cli: Interrupted; the firmware update had ended: Your device has succesfully been "
              "updated.\n");
    EXPECT_NE(err.find("src/dfu:"), std::string::npos);
    ASSERT_FALSE(Log().empty());
    EXPECT_EQ(Bytes(Log().back()), Bytes(BuildHostReport(false)));
}

TEST_F(CliTest, CompletionOffersEachCommandsWordsAndZshTextsHoldNoCharacterThatEndsTheirField)
{
    const std::string bash = Run({"completion", "bash"}).out;
    for (const char* line :
         {"    '') COMPREPLY=($(compgen -W \"list status patterns set on off update session --device --timeout --wait "
          "--socket --trace --help -h --json --version --direct --verbose\" -- \"$cur\")) ;;\n",
          "    update) COMPREPLY=($(compgen -f -W \" --yes -y --device --timeout --wait --socket --trace --help -h "
          "--json --version --direct --verbose\" -- \"$cur\")) ;;\n"})
        EXPECT_NE(bash.find(line), std::string::npos) << line;

    const std::string zsh = Run({"completion", "zsh"}).out;
    for (const char* line :
         {"        'set:send a pattern (and level) to a segment, as the window s Send does'\n",
          "    '--device[the tower to use when several are attached, its device path or serial number (as  list  "
          "shows them); default, the first]:PATH|SERIAL:' \\\n",
          "    '--timeout[bound of every wait for the tower, in seconds (default 5)]:SECONDS,FLOAT in  0.01 - 86400 :' "
          "\\\n"})
        EXPECT_NE(zsh.find(line), std::string::npos) << line;
}

TEST_F(CliTest, DeviceTakesASerialNumberAndTheUpdateComesBackToTheSameTower)
{
    sim::TheVirtualTower().AddBaseController();
    Tower(0).mutableConfig().serialNumber = "NELO-A";
    Tower(1).mutableConfig().serialNumber = "NELO-B";

    const std::vector<uint8_t> firmware = test::MakeFirmware(29);
    test::TempHexFile hex(test::FirmwareHex(firmware));
    const Outcome o = Run({"--device", "NELO-B", "update", "--yes", hex.path()});
    ASSERT_EQ(o.code, kExitOk) << o.err;
    EXPECT_NE(o.out.find("Firmware Version Base: 2.9"), std::string::npos) << o.out;
    // The first tower was never touched; the second was taken again after
    // its update and left as Close does.
    EXPECT_TRUE(Log(0).empty());
    const auto& log = Log(1);
    size_t boot = 0;
    while (boot < log.size() && log[boot].type() != kOutBootloader)
        ++boot;
    ASSERT_LT(boot + 1, log.size());
    EXPECT_EQ(Bytes(log[boot + 1]), Bytes(BuildHostReport(true)));
    ExpectLeftAsClose(log);
}

TEST(CliArguments, SegmentPatternAndLevelAreReadAsTheWindowShowsThem)
{
    DeviceState s;
    s.segmentAddress = {8, 13, 0, 23, 28, 33};
    EXPECT_EQ(ResolveSegment(" RED1 ", s), 0);
    EXPECT_EQ(ResolveSegment("yellow 1", s), 1);
    EXPECT_EQ(ResolveSegment("Color Segment 3", s), 2);
    EXPECT_EQ(ResolveSegment("5", s), 4);
    EXPECT_EQ(ResolveSegment("Sound", s), 5);
    EXPECT_EQ(ResolveSegment("acoustic 1", s), 5);
    EXPECT_EQ(ResolveSegment("6", s), -1);
    EXPECT_EQ(ResolveSegment("0", s), -1);
    EXPECT_EQ(ResolveSegment("Green 1", s), -1);
    EXPECT_EQ(ResolveSegment("", s), -1);

    PatternTables t;
    FillShippedPatterns(t);
    EXPECT_EQ(ResolvePattern("soft out", 0, t), 13);
    EXPECT_EQ(ResolvePattern("Single Quick Flash (slow)", 4, t), 7);
    EXPECT_EQ(ResolvePattern("birdy num num", 5, t), 20);
    EXPECT_EQ(ResolvePattern("Siren", 0, t), -1);
    EXPECT_EQ(ResolvePattern("Flash", 5, t), -1);
    EXPECT_EQ(ResolvePattern("Fill in new Pattern", 0, t), -1);

    EXPECT_EQ(SliderPositionForPercent(0, 0, 50, t), 128);
    EXPECT_EQ(SliderPositionForPercent(0, 0, 0, t), 0);
    EXPECT_EQ(SliderPositionForPercent(0, 0, 100, t), 255);
    EXPECT_EQ(SliderPositionForPercent(0, 0, 101, t), -1);
    EXPECT_EQ(SliderPositionForPercent(2, 13, 200, t), 255);  // 200 % pattern
    EXPECT_EQ(SliderPositionForPercent(2, 13, 100, t), 128);
    EXPECT_EQ(SliderPositionForPercent(5, 0, 0, t), 119);    // tone scale
    EXPECT_EQ(SliderPositionForPercent(5, 0, 100, t), 213);
    EXPECT_EQ(SliderPositionForPercent(5, 17, 37, t), 37);   // melody scale
    EXPECT_EQ(SliderPositionForPercent(5, 17, 101, t), -1);
}

}  // namespace
}  // namespace kv::cli
