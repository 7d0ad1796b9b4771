#include "cli/cli_app.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <memory>
#include <cstdio>
#include <ostream>
#include <sstream>

#include <CLI/CLI.hpp>
#include <libusb.h>
#include <nlohmann/json.hpp>

#include "app/output_panel_logic.h"
#include "app/window_model.h"
#include "cli/cli_update.h"
#include "cli/tower_report.h"
#include "cli/tower_session.h"
#include "device/hid_link.h"
#include "device/version.h"
#include "platform/clock.h"
#include "update/firmware_update_path.h"
#include "update/update_outcome.h"
#include "update/update_run.h"

namespace kv::cli {

namespace {

using nlohmann::json;

constexpr const char* kProgramName = "kestrivane-cli";
constexpr double kDefaultTimeoutSeconds = 5.0;

constexpr const char* kNoTowerText =
    "No Base Controller found, or it is not accessible. Check that the tower is plugged in. "
    "Without root, the udev rule 70-kestrivane.rules must be installed and loaded: "
    "'sudo udevadm control --reload-rules && sudo udevadm trigger', or unplug the tower and "
    "plug it in again.";

constexpr const char* kExitCodesText =
    "Exit codes:\n"
    "  0    success\n"
    "  1    declined, or the tower has no segment there\n"
    "  2    usage error\n"
    "  3    no tower found, not accessible, or lost (unplugged)\n"
    "  4    the tower did not confirm\n"
    "  5    the firmware update failed (the message gives [step.result])\n"
    "  6    the Base Controller runs another firmware: run 'update'\n"
    "  130  interrupted by Ctrl-C or SIGTERM (a session ends with 0)\n";

enum class Command { None, List, Status, Patterns, Set, On, Off, Update, Session };

// What one command line asks for.
struct Request {
    Command command = Command::None;
    std::string device;
    bool json = false;
    double timeout = kDefaultTimeoutSeconds;
    std::string segment;
    std::string pattern;
    int level = -1;
    std::string file;
    bool yes = false;
};

std::string Normalised(const std::string& text)
{
    std::string n;
    for (unsigned char ch : text)
        if (!std::isspace(ch))
            n.push_back(static_cast<char>(std::tolower(ch)));
    return n;
}

bool AllDigits(const std::string& s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char ch) { return std::isdigit(ch) != 0; });
}

// The command line. In a session the session itself and the connection
// options are not offered.
void BuildParser(CLI::App& app, Request& r, bool inSession)
{
    app.name(kProgramName);
    app.description(
        "Drives a Nelo signal tower from scripts: the same reports, order and pauses as the "
        "Kestrivane window.");
    app.footer(kExitCodesText);
    app.require_subcommand(1);
    if (!inSession) {
        app.set_version_flag("--version", std::string(kProgramName) + " " + kProgramVersionText);
        app.add_option("--device", r.device,
                       "the tower's device path (as 'list' shows it) when several are attached; "
                       "default: the first")
            ->type_name("PATH");
        app.add_flag("--json", r.json, "list and status (and every answer in a session) as JSON");
        app.add_option("--timeout", r.timeout, "bound of every wait for the tower, in seconds (default 5)")
            ->type_name("SECONDS")
            ->check(CLI::Range(0.01, 86400.0));
    }

    app.add_subcommand("list", "every Base Controller and boot loader attached")
        ->callback([&r] { r.command = Command::List; });
    app.add_subcommand("status", "the whole tower: segments, versions, port map, threshold")
        ->callback([&r] { r.command = Command::Status; });
    app.add_subcommand("patterns", "the pattern names a colour segment and the sound segment accept")
        ->callback([&r] { r.command = Command::Patterns; });

    CLI::App* set = app.add_subcommand("set", "send a pattern (and level) to a segment, as the window's Send does");
    set->add_option("SEGMENT", r.segment, "position 1-5, 'sound', or the colour name (\"Red 1\")")->required();
    set->add_option("PATTERN", r.pattern, "a name from 'patterns' (case-insensitive)")->required();
    set->add_option("--level", r.level, "brightness or volume in percent as the window shows it")
        ->type_name("PERCENT")
        ->check(CLI::Range(0, 200));
    set->callback([&r] { r.command = Command::Set; });

    CLI::App* on = app.add_subcommand("on", "switch a segment on (the window's on/off button)");
    on->add_option("SEGMENT", r.segment, "position 1-5, 'sound', or the colour name")->required();
    on->callback([&r] { r.command = Command::On; });
    CLI::App* off = app.add_subcommand("off", "switch a segment off (the window's on/off button)");
    off->add_option("SEGMENT", r.segment, "position 1-5, 'sound', or the colour name")->required();
    off->callback([&r] { r.command = Command::Off; });

    CLI::App* update = app.add_subcommand(
        "update", "update the Base Controller's firmware (default: the firmware file beside the program)");
    update->add_option("FILE", r.file, "Intel HEX firmware file")->type_name("FILE");
    update->add_flag("-y,--yes", r.yes, "do not ask for confirmation");
    update->callback([&r] { r.command = Command::Update; });

    if (!inSession)
        app.add_subcommand("session",
                           "hold one connection; read commands line by line from standard input, "
                           "print each change of the tower's state as a JSON line")
            ->callback([&r] { r.command = Command::Session; });
}

// Parses args (program name first); returns -1 when the command should run,
// else the exit code (help and version: 0).
int Parse(CLI::App& app, const std::vector<std::string>& args, CliIo& io)
{
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (std::string& a : copy)
        argv.push_back(a.data());
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::CallForHelp& e) {
        app.exit(e, io.out, io.err);
        return kExitOk;
    } catch (const CLI::CallForVersion& e) {
        app.exit(e, io.out, io.err);
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        app.exit(e, io.out, io.err);
        return kExitUsage;
    }
    return -1;
}

// Splits a session line into words; double quotes group ("Red 1").
std::vector<std::string> Words(const std::string& line)
{
    std::vector<std::string> words;
    std::string word;
    bool quoted = false;
    bool any = false;
    for (char ch : line) {
        if (ch == '"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && std::isspace(static_cast<unsigned char>(ch))) {
            if (any)
                words.push_back(word);
            word.clear();
            any = false;
        } else {
            word.push_back(ch);
            any = true;
        }
    }
    if (any)
        words.push_back(word);
    return words;
}

// The outcome of one command.
struct Answer {
    int code = kExitOk;
    std::string error;
    json data;
    std::string text;
};

Answer Fail(int code, std::string error)
{
    Answer a;
    a.code = code;
    a.error = std::move(error);
    return a;
}

const char* CommandName(Command c)
{
    switch (c) {
    case Command::List: return "list";
    case Command::Status: return "status";
    case Command::Patterns: return "patterns";
    case Command::Set: return "set";
    case Command::On: return "on";
    case Command::Off: return "off";
    case Command::Update: return "update";
    case Command::Session: return "session";
    case Command::None: break;
    }
    return "";
}

// Boot loaders (03EB:2FF4) on the USB list, as usb:BUS:ADDRESS.
std::vector<ListedDevice> ListBootloaders()
{
    std::vector<ListedDevice> found;
    update_target target;
    if (select_target(UPDATE_PRODUCT_BASE_CONTROLLER, &target) != 0)
        return found;
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0)
        return found;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != 0)
            continue;
        if (d.idVendor != target.dfu_vendor_id || d.idProduct != target.dfu_product_id)
            continue;
        char path[32];
        std::snprintf(path, sizeof path, "usb:%03u:%03u", libusb_get_bus_number(list[i]),
                      libusb_get_device_address(list[i]));
        ListedDevice dev;
        dev.bootloader = true;
        dev.path = path;
        found.push_back(dev);
    }
    if (list != nullptr)
        libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    return found;
}

class Runner {
public:
    Runner(CliIo& io, const Request& options)
        : io_(io), opts_(options), session_(state_, link_, patterns_)
    {
        link_.SetDevicePath(opts_.device);
    }

    uint64_t TimeoutMs() const { return static_cast<uint64_t>(std::llround(opts_.timeout * 1000.0)); }

    // Opens the tower and waits for its complete state: 0 or an exit code,
    // with the reason in `a`.
    Answer OpenTower()
    {
        if (!session_.Open())
            return Fail(kExitNoTower, kNoTowerText);
        const WaitEnd end = session_.WaitComplete(TimeoutMs());
        if (session_.firmwareDeclined()) {
            session_.Close();
            return Fail(kExitFirmwareMismatch, MismatchText());
        }
        return AfterWait(end, "The tower did not report its state in time.");
    }

    Answer AfterWait(WaitEnd end, const std::string& timedOut)
    {
        switch (end) {
        case WaitEnd::Done:
            return Answer{};
        case WaitEnd::TimedOut:
            return Fail(kExitNotConfirmed, timedOut);
        case WaitEnd::LinkLost:
            return Fail(kExitNoTower, "The tower was lost (unplugged, or a read failed).");
        case WaitEnd::Stopped:
            return Fail(kExitInterrupted, "Interrupted.");
        }
        return Answer{};
    }

    std::string MismatchText() const
    {
        return "The Base Controller runs firmware " +
               FormatVersion(state_.firmwareVersion[kBaseControllerSlot]) +
               "; this program works with " + kProgramVersionText + ". Update it with '" +
               kProgramName + " update'.";
    }

    Answer Status()
    {
        // The switching threshold comes in a report the window does not wait for.
        const bool thresholdSeen =
            session_.RunUntil([this] { return state_.reportSeen[6] != 0; }, TimeoutMs()) == WaitEnd::Done;
        if (!session_.IsOpen())
            return Fail(kExitNoTower, "The tower was lost (unplugged, or a read failed).");
        Answer a;
        a.data = StatusJson(state_, patterns_, session_.model(), thresholdSeen);
        a.text = StatusText(a.data);
        return a;
    }

    Answer Patterns() const
    {
        PatternTables tables;
        FillShippedPatterns(tables);
        Answer a;
        a.data = PatternsJson(tables);
        a.text = PatternsText(a.data);
        return a;
    }

    // The row a SEGMENT argument names, present on the tower; -1 with `a` set.
    int Row(const std::string& segment, Answer& a)
    {
        const int row = ResolveSegment(segment, state_);
        if (row < 0) {
            a = Fail(kExitUsage, "No segment '" + segment + "': give 1-5, sound, or a colour name the tower shows.");
            return -1;
        }
        const uint8_t address = state_.segmentAddress[static_cast<size_t>(row)];
        const bool present = row == kSoundRow ? address == kSoundAddress : address != 0;
        if (!present) {
            a = Fail(kExitFailed, row == kSoundRow ? std::string("The tower has no sound segment.")
                                                   : "The tower has no segment at position " +
                                                         std::to_string(row + 1) + ".");
            return -1;
        }
        return row;
    }

    Answer Set()
    {
        Answer a;
        const int row = Row(opts_.segment, a);
        if (row < 0)
            return a;
        const int code = ResolvePattern(opts_.pattern, row, patterns_);
        if (code < 0)
            return Fail(kExitUsage, "No pattern '" + opts_.pattern + "' for this segment: see 'patterns'.");
        const auto c = static_cast<uint8_t>(code);
        int position = -1;
        if (opts_.level >= 0) {
            position = SliderPositionForPercent(row, c, opts_.level, patterns_);
            if (position < 0)
                return Fail(kExitUsage, "Level " + std::to_string(opts_.level) +
                                            " % is beyond this pattern's scale.");
        }

        session_.SelectPattern(row, c);
        if (position >= 0)
            session_.MoveSlider(row, position);
        // What the tower must report back: the code and the level composed.
        const RowCommand& cmd = state_.rowCommand[static_cast<size_t>(row)];
        const uint16_t level = row == kSoundRow ? cmd.param[2]
                                                : static_cast<uint16_t>((cmd.param[2] & 1) * 256 + cmd.param[3]);
        // Only this Send's result counts: an earlier failure may still stand
        // in the message line, and a row already in place sends nothing.
        session_.SetMessageLine(kBlankMessage);
        session_.Send();
        if (session_.model().messageLine == kSendFailedText)
            return Fail(kExitNotConfirmed, kSendFailedText);
        const auto r = static_cast<size_t>(row);
        const WaitEnd end = session_.RunUntil(
            [&] { return state_.patternCode[r] == c && state_.level[r] == level; }, TimeoutMs());
        a = AfterWait(end, "The tower did not confirm the new pattern and level.");
        if (a.code != kExitOk)
            return a;
        a.data = {{"segment", row == kSoundRow ? json("sound") : json(row + 1)},
                  {"pattern", TrimmedName(row == kSoundRow ? BeepPatternName(c) : LightPatternName(c))},
                  {"patternCode", c},
                  {"levelRaw", level}};
        a.text = "Set.\n";
        return a;
    }

    Answer Switch(bool on)
    {
        Answer a;
        const int row = Row(opts_.segment, a);
        if (row < 0)
            return a;
        if ((OnStateOfRow(state_, row) != 0) != on) {
            const int before = session_.panelRefreshes();
            session_.PressSwitch(row);
            // The next tick sends the state reports.
            const WaitEnd end = session_.RunUntil(
                [&] { return session_.panelRefreshes() > before; }, TimeoutMs());
            a = AfterWait(end, "The tower did not take the switch.");
            if (a.code != kExitOk)
                return a;
            if (state_.lastWriteFailed != 0)
                return Fail(kExitNotConfirmed, kSendFailedText);
        }
        a.data = {{"segment", row == kSoundRow ? json("sound") : json(row + 1)}, {"on", on}};
        a.text = on ? "On.\n" : "Off.\n";
        return a;
    }

    // In a session the tower it holds is not opened a second time: its
    // firmware comes from the state the session keeps.
    Answer List(bool inSession)
    {
        std::vector<ListedDevice> devices;
        const std::vector<BaseControllerEntry> entries = ListBaseControllers();
        for (size_t i = 0; i < entries.size(); ++i) {
            ListedDevice d;
            d.path = entries[i].path;
            d.serialNumber = entries[i].serialNumber;
            if (inSession) {
                const bool held = opts_.device.empty() ? i == 0 : opts_.device == d.path;
                if (held)
                    d.firmware = state_.firmwareVersion[kBaseControllerSlot];
            } else {
                d.firmware = FirmwareOf(d.path, d.accessible);
            }
            devices.push_back(d);
        }
        // A stop cut the firmware look-ups short: the list is not whole.
        if (!inSession && StopRequested())
            return Fail(kExitInterrupted, "Interrupted.");
        for (const ListedDevice& b : ListBootloaders())
            devices.push_back(b);
        Answer a;
        a.data = ListJson(devices);
        a.text = ListText(devices);
        if (devices.empty()) {
            a.code = kExitNoTower;
            a.error = kNoTowerText;
        }
        return a;
    }

    // Opens one Base Controller as Open does, until it is in step (or its
    // firmware check ended the connection), and leaves as Close does. -1
    // when it did not report its firmware; no Base Controller runs version 0.
    int FirmwareOf(const std::string& path, bool& accessible) const
    {
        DeviceState state;
        HidLink link(state);
        PatternTables tables;
        link.SetDevicePath(path);
        TowerSession one(state, link, tables);
        accessible = one.Open();
        if (!accessible)
            return -1;
        one.WaitComplete(TimeoutMs());
        one.Close();
        const uint8_t version = state.firmwareVersion[kBaseControllerSlot];
        return version != 0 ? version : -1;
    }

    Answer Update(bool jsonEvents)
    {
        CliUpdateDialogs::Setup setup{io_.out, io_.err, io_.in, io_.outIsTerminal, io_.inIsTerminal,
                                      opts_.yes, jsonEvents};
        CliUpdateDialogs dialogs(link_, setup);
        FirmwareUpdatePath path(state_, link_, session_, session_.sendPath(), session_.pollCycle(), dialogs);
        if (!opts_.file.empty())
            path.SetFirmwarePath(opts_.file);
        bool ran = false;
        session_.SetFirmwareUpdateHandler([&] {
            ran = true;
            path.OnFirmwareUpdate();
        });

        if (!session_.IsOpen() && session_.Open()) {
            // The version check may run the update itself, as it does in
            // the window.
            session_.WaitComplete(TimeoutMs());
        }
        if (!ran) {
            // Ctrl-C while the tower came in step: no update is started.
            if (StopRequested()) {
                session_.SetFirmwareUpdateHandler({});
                return Fail(kExitInterrupted, "Interrupted.");
            }
            if (!session_.IsOpen() && ListBootloaders().empty()) {
                session_.SetFirmwareUpdateHandler({});
                return Fail(kExitNoTower, kNoTowerText);
            }
            ran = true;
            path.OnFirmwareUpdate();
        }
        session_.SetFirmwareUpdateHandler({});

        if (dialogs.fileMissing())
            return Fail(kExitUpdateFailed, kFirmwareMissingText);
        if (dialogs.declined())
            return Fail(kExitFailed, "Not updated.\n" + dialogs.question());
        if (!dialogs.succeeded())
            return Fail(kExitUpdateFailed, UpdateOutcomeText(dialogs.lastStep(), dialogs.result()));
        if (!session_.IsOpen())
            return Fail(kExitNoTower, kUnableToOpenText);
        // Back online as after "Open": in step again before anything else,
        // so leaving says goodbye to the segments there. The version is the
        // one the Base Controller reports now, whichever file it got.
        session_.ForgetComplete();
        const WaitEnd end = session_.WaitComplete(TimeoutMs());
        const std::string version = end == WaitEnd::Done
                                        ? FormatVersion(state_.firmwareVersion[kBaseControllerSlot])
                                        : std::string("n/a");
        Answer a;
        a.data = {{"updated", true}, {"firmware", version}};
        a.text = std::string(kSuccessVersionLabel) + " " + version + "\n";
        return a;
    }

    TowerSession& session() { return session_; }
    Request& options() { return opts_; }
    DeviceState& state() { return state_; }
    PatternTables& patterns() { return patterns_; }

private:
    CliIo& io_;
    Request opts_;
    DeviceState state_;
    HidLink link_{state_};
    PatternTables patterns_;
    TowerSession session_;
};

// Prints a one-shot command's answer; returns its code.
int Print(const Answer& a, bool asJson, CliIo& io)
{
    if (a.code == kExitOk || !a.data.is_null()) {
        if (asJson && !a.data.is_null())
            io.out << a.data.dump(2) << "\n";
        else if (!a.text.empty())
            io.out << a.text;
    }
    if (a.code != kExitOk)
        io.err << kProgramName << ": " << a.error << "\n";
    io.out << std::flush;
    return a.code;
}

// Runs a command over the open tower (session or one-shot).
Answer Execute(Runner& runner, Command c, bool inSession, bool jsonEvents)
{
    switch (c) {
    case Command::List: return runner.List(inSession);
    case Command::Patterns: return runner.Patterns();
    case Command::Status: return runner.Status();
    case Command::Set: return runner.Set();
    case Command::On: return runner.Switch(true);
    case Command::Off: return runner.Switch(false);
    case Command::Update: return runner.Update(jsonEvents);
    case Command::Session:
    case Command::None: break;
    }
    return Fail(kExitUsage, "Not a command here.");
}

// One JSON line for an answer in a session.
json AnswerJson(const std::string& command, const Answer& a)
{
    json j{{"command", command}, {"ok", a.code == kExitOk}, {"exitCode", a.code}};
    if (a.code != kExitOk)
        j["error"] = a.error;
    if (!a.data.is_null())
        j["result"] = a.data;
    return j;
}

int RunSession(Runner& runner, CliIo& io)
{
    const bool asJson = runner.options().json;
    Answer opened = runner.OpenTower();
    if (opened.code != kExitOk)
        return Print(opened, false, io);

    json lastState;
    auto emitState = [&] {
        TowerSession& s = runner.session();
        if (!s.IsOpen() || !s.complete())
            return;
        const json now = StatusJson(runner.state(), runner.patterns(), s.model(),
                                    runner.state().reportSeen[6] != 0);
        if (now == lastState)
            return;
        lastState = now;
        io.out << json{{"event", "state"}, {"status", now}}.dump() << "\n" << std::flush;
    };
    emitState();

    int code = kExitOk;
    for (;;) {
        if (StopRequested())
            break;
        std::string line;
        const LineSource::Read r = io.in.Poll(line);
        if (r == LineSource::Read::End)
            break;
        if (r == LineSource::Read::Line) {
            std::vector<std::string> words = Words(line);
            if (!words.empty() && words[0][0] != '#') {
                words.insert(words.begin(), kProgramName);
                Request request;
                CLI::App app;
                BuildParser(app, request, true);
                std::ostringstream parseOut;
                std::ostringstream parseErr;
                CliIo parseIo{parseOut, parseErr, io.in, false, false};
                const int parsed = Parse(app, words, parseIo);
                Answer a;
                if (parsed >= 0) {
                    a.code = parsed;
                    a.error = parseErr.str();
                    a.text = parseOut.str();
                    while (!a.error.empty() && a.error.back() == '\n')
                        a.error.pop_back();
                } else {
                    Request& o = runner.options();
                    o.segment = request.segment;
                    o.pattern = request.pattern;
                    o.level = request.level;
                    o.file = request.file;
                    o.yes = request.yes;
                    a = Execute(runner, request.command, true, asJson);
                }
                const std::string name = parsed < 0 ? std::string(CommandName(request.command))
                                                    : (words.size() > 1 ? words[1] : std::string());
                if (asJson) {
                    // The answer may quote the line, which need not be UTF-8.
                    io.out << AnswerJson(name, a).dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
                } else {
                    if (!a.text.empty())
                        io.out << a.text;
                    if (a.code != kExitOk)
                        io.out << "error " << a.code << ": " << a.error << "\n";
                }
                io.out << std::flush;
            }
        }
        if (!runner.session().IsOpen()) {
            io.out << json{{"event", "offline"}}.dump() << "\n" << std::flush;
            io.err << kProgramName << ": The tower was lost (unplugged, or a read failed).\n";
            code = kExitNoTower;
            break;
        }
        if (r != LineSource::Read::Line)
            runner.session().TickOnce();
        emitState();
    }
    runner.session().Close();
    return code;
}

}  // namespace

int ResolveSegment(const std::string& text, const DeviceState& s)
{
    const std::string n = Normalised(text);
    if (AllDigits(n) && n.size() == 1 && n[0] >= '1' && n[0] <= '5')
        return n[0] - '1';
    if (n == "sound" || n == "soundsegment")
        return kSoundRow;
    const std::string colourSegment = "colorsegment";
    if (n.size() == colourSegment.size() + 1 && n.compare(0, colourSegment.size(), colourSegment) == 0 &&
        n.back() >= '1' && n.back() <= '5')
        return n.back() - '1';
    if (n.empty())
        return -1;
    for (int row = 0; row < kRows; ++row) {
        const uint8_t address = s.segmentAddress[static_cast<size_t>(row)];
        if (address != 0 && Normalised(AddressLabel(address)) == n)
            return row;
    }
    return -1;
}

int ResolvePattern(const std::string& text, int row, const PatternTables& t)
{
    const std::string n = Normalised(text);
    if (n.empty() || row < 0 || row >= kRows)
        return -1;
    const bool sound = row == kSoundRow;
    const int count = sound ? kBeepPatternCount : kLightPatternCount;
    for (int code = 0; code < count; ++code) {
        const PatternEntry& e = sound ? t.beepPatterns[static_cast<size_t>(code)]
                                      : t.lightPatterns[static_cast<size_t>(code)];
        if (!e.name.empty() && Normalised(e.name) == n)
            return code;
    }
    return -1;
}

int SliderPositionForPercent(int row, uint8_t code, int percent, const PatternTables& t)
{
    if (row < 0 || row >= kRows || percent < 0)
        return -1;
    if (row == kSoundRow) {
        if (IsMelody(t, code))
            return percent <= kMelodySliderMax ? percent : -1;
        for (int p = kToneSliderMin; p <= kToneSliderMax; ++p)
            if (VolumePercent(static_cast<uint16_t>(p)) >= percent)
                return p;
        return -1;
    }
    const int factor = t.boost[code][static_cast<size_t>(row)] + 1;
    for (int p = kColourSliderMin; p <= kColourSliderMax; ++p)
        if (BrightnessPercent(static_cast<uint16_t>(p * factor)) >= percent)
            return p;
    return -1;
}

int RunCli(const std::vector<std::string>& args, CliIo& io)
{
    Request request;
    CLI::App app;
    BuildParser(app, request, false);
    const int parsed = Parse(app, args, io);
    if (parsed >= 0)
        return parsed;

    Runner runner(io, request);
    switch (request.command) {
    case Command::Patterns:
        return Print(runner.Patterns(), request.json, io);
    case Command::List:
        return Print(runner.List(false), request.json, io);
    case Command::Update: {
        const Answer a = runner.Update(false);
        runner.session().Close();
        return Print(a, request.json, io);
    }
    case Command::Session:
        return RunSession(runner, io);
    case Command::Status:
    case Command::Set:
    case Command::On:
    case Command::Off: {
        Answer opened = runner.OpenTower();
        if (opened.code != kExitOk)
            return Print(opened, false, io);
        Answer a = Execute(runner, request.command, false, false);
        runner.session().Close();
        return Print(a, request.json, io);
    }
    case Command::None:
        break;
    }
    return kExitUsage;
}

}  // namespace kv::cli
