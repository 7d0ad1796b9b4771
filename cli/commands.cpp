#include "cli/commands.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "cli/cli_update.h"
#include "cli/stop_signals.h"
#include "device/version.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "session/tower_names.h"
#include "session/tower_report.h"
#include "update/firmware_update_path.h"
#include "update/update_outcome.h"

namespace kv::cli {

using nlohmann::json;

const char* const kNoTowerText =
    "No Base Controller found, or it is not accessible. Check that the tower is plugged in. "
    "Without root, the udev rule 70-kestrivane.rules must be installed and loaded: "
    "'sudo udevadm control --reload-rules && sudo udevadm trigger', or unplug the tower and "
    "plug it in again.";
const char* const kTowerLostText = "The tower was lost (unplugged, or a read failed).";

Answer Fail(int code, std::string error)
{
    Answer a;
    a.code = code;
    a.error = std::move(error);
    return a;
}

std::string PatternName(int row, uint8_t code)
{
    return TrimmedName(row == kSoundRow ? BeepPatternName(code) : LightPatternName(code));
}

Answer NoSegment(const std::string& segment)
{
    return Fail(kExitUsage,
                "No segment '" + segment + "': give 1-5, sound, or a colour name the tower shows.");
}

Answer NoPattern(const std::string& pattern)
{
    return Fail(kExitUsage, "No pattern '" + pattern + "' for this segment: see 'patterns'.");
}

Answer NoSuchTower(const std::string& device)
{
    if (!device.empty())
        return Fail(kExitNoTower, "No Base Controller '" + device +
                                      "' is attached: give a device path or serial number as '" +
                                      kProgramName + " list' shows them.");
    return Fail(kExitNoTower, kNoTowerText);
}

Answer SegmentMissing(int row)
{
    return Fail(kExitFailed, row == kSoundRow
                                 ? std::string("The tower has no sound segment.")
                                 : "The tower has no segment at position " + std::to_string(row + 1) + ".");
}

Answer ListAnswer(const std::vector<ListedDevice>& devices)
{
    Answer a;
    a.data = ListJson(devices);
    a.text = ListText(devices);
    if (devices.empty()) {
        a.code = kExitNoTower;
        a.error = kNoTowerText;
    }
    return a;
}

std::string HeldTowerText(const std::string& holder)
{
    return HeldByText(holder) + " Close that program, or let it set the tower.";
}

std::string MismatchText(const std::string& firmware)
{
    return "The Base Controller runs firmware " + firmware + "; this program works with " +
           kProgramVersionText + ". Update it with '" + kProgramName + " update'.";
}

const char* const kSetNotConfirmedText = "The tower did not confirm the new pattern and level.";
const char* const kSwitchNotTakenText = "The tower did not take the switch.";
const char* const kNoStateInTimeText = "The tower did not report its state in time.";

json SetData(int row, const std::string& pattern, int code, int levelRaw)
{
    return {{"segment", row == kSoundRow ? json("sound") : json(row + 1)},
            {"pattern", pattern},
            {"patternCode", code},
            {"levelRaw", levelRaw}};
}

json SwitchData(int row, bool on)
{
    return {{"segment", row == kSoundRow ? json("sound") : json(row + 1)}, {"on", on}};
}

namespace {

constexpr uint32_t kListPollMs = 100;
// The top of the 200 % scale.
constexpr int kHighestPercent = 200;

bool AllDigits(const std::string& s)
{
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](unsigned char ch) { return std::isdigit(ch) != 0; });
}

std::string Trimmed(const std::string& s)
{
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// The highest percentage the row's pattern takes.
int MaxPercent(int row, uint8_t code, const PatternTables& t)
{
    int max = 0;
    for (int p = 0; p <= kHighestPercent; ++p)
        if (SliderPositionForPercent(row, code, p, t) >= 0)
            max = p;
    return max;
}

// What is wrong with a firmware file, or empty when it can be read.
std::string FirmwareFileProblem(const std::string& path, bool named)
{
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status)) {
        if (!named)
            return std::string(kFirmwareMissingText) + " (" + path + ")";
        return "Firmware file '" + path + "' not found.";
    }
    if (std::filesystem::is_directory(status))
        return "Firmware file '" + path + "' is a folder, not a file.";
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "Firmware file '" + path + "' cannot be read.";
    return {};
}

}  // namespace

int LevelPosition(const std::string& level, int row, uint8_t code, const PatternTables& t, Answer& a)
{
    const std::string n = Trimmed(level);
    const int max = MaxPercent(row, code, t);
    const std::string range = "give 0-" + std::to_string(max);
    if (!AllDigits(n) || n.size() > 4) {
        a = Fail(kExitUsage, "Level '" + level + "' is not a percentage: " + range + " for " +
                                 PatternName(row, code) + ".");
        return -1;
    }
    const int percent = std::stoi(n);
    const int position = percent <= max ? SliderPositionForPercent(row, code, percent, t) : -1;
    if (position < 0)
        a = Fail(kExitUsage, "Level " + std::to_string(percent) + " % is beyond the scale of " +
                                 PatternName(row, code) + ": " + range + ".");
    return position;
}

Runner::Runner(CliIo& io, const Request& options)
    : io_(io), opts_(options), session_(state_, link_, patterns_, host_)
{
    link_.SetDevicePath(opts_.device);
    session_.SetStopCheck(&StopRequested);
}

std::string Runner::NoTowerText() const
{
    // Held by another program: it is named, and nothing was sent.
    if (!link_.heldBy().empty())
        return HeldTowerText(link_.heldBy());
    return kNoTowerText;
}

uint64_t Runner::TimeoutMs() const
{
    return static_cast<uint64_t>(std::llround(opts_.timeout * 1000.0));
}

Answer Runner::CheckArguments() const
{
    const Command c = opts_.command;
    if (c != Command::Set && c != Command::On && c != Command::Off)
        return Answer{};
    // Names of colours need the tower; positions and "sound" do not.
    const DeviceState none{};
    const int row = ResolveSegment(opts_.segment, none);
    std::string digits;
    for (char ch : opts_.segment)
        if (!std::isspace(static_cast<unsigned char>(ch)))
            digits.push_back(ch);
    if (row < 0 && (AllDigits(digits) || digits.empty()))
        return NoSegment(opts_.segment);
    if (c != Command::Set)
        return Answer{};
    PatternTables shipped;
    FillShippedPatterns(shipped);
    if (row < 0) {
        if (ResolvePattern(opts_.pattern, 0, shipped) < 0 &&
            ResolvePattern(opts_.pattern, kSoundRow, shipped) < 0)
            return NoPattern(opts_.pattern);
        return Answer{};
    }
    const int code = ResolvePattern(opts_.pattern, row, shipped);
    if (code < 0)
        return NoPattern(opts_.pattern);
    Answer a;
    if (!opts_.level.empty())
        LevelPosition(opts_.level, row, static_cast<uint8_t>(code), shipped, a);
    return a;
}

Answer Runner::FindTower(bool bootloaderWillDo)
{
    const uint64_t until = NowMs() + static_cast<uint64_t>(std::llround(opts_.wait * 1000.0));
    for (;;) {
        for (const BaseControllerEntry& e : ListBaseControllers()) {
            if (opts_.device.empty())
                return Answer{};
            if (e.path == opts_.device || (!e.serialNumber.empty() && e.serialNumber == opts_.device)) {
                held_ = e;
                link_.SetDevicePath(e.path);
                return Answer{};
            }
        }
        if (bootloaderWillDo && opts_.device.empty() && !ListBootloaders().empty())
            return Answer{};
        if (StopRequested())
            return Fail(kExitInterrupted, "Interrupted.");
        if (NowMs() >= until)
            break;
        SleepMs(kListPollMs);
    }
    return NoSuchTower(opts_.device);
}

void Runner::RememberOpenedTower()
{
    if (!held_.path.empty() && held_.path == link_.openedPath())
        return;
    held_ = BaseControllerEntry{};
    for (const BaseControllerEntry& e : ListBaseControllers())
        if (e.path == link_.openedPath())
            held_ = e;
}

std::string Runner::FindHeldTower() const
{
    // The update run goes on as soon as any Base Controller is back; this
    // one may come later (within the timeout).
    const uint64_t until = NowMs() + TimeoutMs();
    for (;;) {
        for (const BaseControllerEntry& e : ListBaseControllers()) {
            const bool same = !held_.serialNumber.empty() ? e.serialNumber == held_.serialNumber
                              : !held_.usbPort.empty()    ? e.usbPort == held_.usbPort
                                                          : e.path == held_.path;
            if (same || held_.path.empty())
                return e.path;
        }
        if (NowMs() >= until)
            break;
        SleepMs(kListPollMs);
    }
    // Not back: its old path, so the reopen takes no other tower.
    return held_.path;
}

Answer Runner::OpenTower()
{
    Answer found = FindTower(false);
    if (found.code != kExitOk)
        return found;
    if (!session_.Open())
        return Fail(kExitNoTower, NoTowerText());
    RememberOpenedTower();
    const WaitEnd end = session_.WaitComplete(TimeoutMs());
    if (session_.firmwareDeclined()) {
        session_.Close();
        return Fail(kExitFirmwareMismatch, MismatchText());
    }
    return AfterWait(end, kNoStateInTimeText);
}

Answer Runner::AfterWait(WaitEnd end, const std::string& timedOut) const
{
    switch (end) {
    case WaitEnd::Done:
        return Answer{};
    case WaitEnd::TimedOut:
        return Fail(kExitNotConfirmed, timedOut);
    case WaitEnd::LinkLost:
        return Fail(kExitNoTower, kTowerLostText);
    case WaitEnd::Stopped:
        return Fail(kExitInterrupted, "Interrupted.");
    }
    return Answer{};
}

std::string Runner::MismatchText() const
{
    return cli::MismatchText(FormatVersion(state_.firmwareVersion[kBaseControllerSlot]));
}

Answer Runner::Status()
{
    // The switching threshold comes in a report the window does not wait for.
    session_.RunUntil([this] { return session_.SwitchingThreshold().has_value(); }, TimeoutMs());
    if (!session_.IsOpen())
        return Fail(kExitNoTower, kTowerLostText);
    Answer a;
    a.data = StatusJson(session_);
    a.text = StatusText(a.data);
    return a;
}

Answer Runner::Patterns() const
{
    PatternTables tables;
    FillShippedPatterns(tables);
    Answer a;
    a.data = PatternsJson(tables);
    a.text = PatternsText(a.data);
    return a;
}

int Runner::Row(const std::string& segment, Answer& a)
{
    const int row = ResolveSegment(segment, state_);
    if (row < 0) {
        a = NoSegment(segment);
        return -1;
    }
    const uint8_t address = state_.segmentAddress[static_cast<size_t>(row)];
    const bool present = row == kSoundRow ? address == kSoundAddress : address != 0;
    if (!present) {
        a = SegmentMissing(row);
        return -1;
    }
    return row;
}

Answer Runner::Set()
{
    Answer a;
    const int row = Row(opts_.segment, a);
    if (row < 0)
        return a;
    const int code = ResolvePattern(opts_.pattern, row, patterns_);
    if (code < 0)
        return NoPattern(opts_.pattern);
    const auto c = static_cast<uint8_t>(code);
    int position = -1;
    if (!opts_.level.empty()) {
        position = LevelPosition(opts_.level, row, c, patterns_, a);
        if (position < 0)
            return a;
    }

    session_.SelectPattern(row, c);
    if (position >= 0)
        session_.MoveSlider(row, position);
    // What the tower must report back: the code and the level composed.
    const uint16_t level = session_.ComposedLevel(row);
    // Only this Send's outcome counts; a row already in place sends nothing.
    if (session_.Send() == SendOutcome::Failed)
        return Fail(kExitNotConfirmed, kSendFailedText);
    const auto r = static_cast<size_t>(row);
    const WaitEnd end = session_.RunUntil(
        [&] { return state_.patternCode[r] == c && state_.level[r] == level; }, TimeoutMs());
    a = AfterWait(end, kSetNotConfirmedText);
    if (a.code != kExitOk)
        return a;
    a.data = SetData(row, PatternName(row, c), c, level);
    a.text = "Set.\n";
    return a;
}

Answer Runner::Switch(bool on)
{
    Answer a;
    const int row = Row(opts_.segment, a);
    if (row < 0)
        return a;
    if ((OnStateOfRow(state_, row) != 0) != on) {
        const int before = session_.panelRefreshes();
        session_.PressSwitch(row);
        // The next tick sends the state reports.
        const WaitEnd end =
            session_.RunUntil([&] { return session_.panelRefreshes() > before; }, TimeoutMs());
        a = AfterWait(end, kSwitchNotTakenText);
        if (a.code != kExitOk)
            return a;
        if (state_.lastWriteFailed != 0)
            return Fail(kExitNotConfirmed, kSendFailedText);
    }
    a.data = SwitchData(row, on);
    a.text = on ? "On.\n" : "Off.\n";
    return a;
}

Answer Runner::List(bool inSession)
{
    std::vector<ListedDevice> devices;
    const std::vector<BaseControllerEntry> entries = ListBaseControllers();
    for (size_t i = 0; i < entries.size(); ++i) {
        ListedDevice d;
        d.path = entries[i].path;
        d.serialNumber = entries[i].serialNumber;
        if (inSession) {
            const bool held = d.path == link_.openedPath();
            if (held)
                d.firmware = state_.firmwareVersion[kBaseControllerSlot];
        } else {
            d.firmware = FirmwareOf(d.path, d.accessible, d.heldBy);
        }
        devices.push_back(d);
    }
    // A stop cut the firmware look-ups short: the list is not whole.
    if (!inSession && StopRequested())
        return Fail(kExitInterrupted, "Interrupted.");
    for (const BootloaderEntry& b : ListBootloaders()) {
        ListedDevice d;
        d.bootloader = true;
        d.path = b.path;
        devices.push_back(d);
    }
    return ListAnswer(devices);
}

int Runner::FirmwareOf(const std::string& path, bool& accessible, std::string& heldBy) const
{
    DeviceState state;
    HidLink link(state);
    PatternTables tables;
    link.SetDevicePath(path);
    TowerSession one(state, link, tables);
    one.SetStopCheck(&StopRequested);
    accessible = one.Open();
    heldBy = link.heldBy();
    if (!accessible)
        return -1;
    one.WaitComplete(TimeoutMs());
    one.Close();
    const uint8_t version = state.firmwareVersion[kBaseControllerSlot];
    return version != 0 ? version : -1;
}

Answer Runner::Update(bool jsonEvents)
{
    // The file is checked before the tower is touched, and named once.
    const bool named = !opts_.file.empty();
    const std::string file = named ? opts_.file : ExeRelativePath(kFirmwareFileRelativePath);
    const std::string problem = FirmwareFileProblem(file, named);
    if (!problem.empty())
        return Fail(kExitUpdateFailed, problem);

    CliUpdateDialogs::Setup setup{io_.out,          io_.err,   io_.in,    io_.outIsTerminal,
                                  io_.inIsTerminal, opts_.yes, jsonEvents};
    CliUpdateDialogs dialogs(setup);
    FirmwareUpdatePath path(session_, dialogs);
    path.SetFirmwarePath(file);
    // Back to the same tower, wherever the list has it after its restart.
    path.findTowerAgain = [this] { return FindHeldTower(); };
    bool ran = false;
    host_.firmwareUpdate = [&] {
        ran = true;
        path.OnFirmwareUpdate();
    };
    struct Unhook {
        CliHost& host;
        ~Unhook() { host.firmwareUpdate = {}; }
    } unhook{host_};

    if (!session_.IsOpen()) {
        Answer found = FindTower(true);
        if (found.code != kExitOk)
            return found;
        if (session_.Open()) {
            RememberOpenedTower();
            // The version check may run the update itself, as it does in the
            // window.
            session_.WaitComplete(TimeoutMs());
        }
    }
    if (!ran) {
        // Ctrl-C while the tower came in step: no update is started.
        if (StopRequested())
            return Fail(kExitInterrupted, "Interrupted.");
        if (!session_.IsOpen() && ListBootloaders().empty())
            return Fail(kExitNoTower, NoTowerText());
        session_.OnFirmwareUpdate();
    }

    if (dialogs.fileMissing())
        return Fail(kExitUpdateFailed, dialogs.errorText());
    if (dialogs.declined())
        return Fail(kExitFailed, "Not updated.\n" + dialogs.question());
    const std::string outcome = UpdateOutcomeText(dialogs.lastStep(), dialogs.result());
    // Ctrl-C during the run: it went on to its end, and now the program ends.
    if (dialogs.ran() && StopRequested())
        return Fail(kExitInterrupted, "Interrupted; the firmware update had ended: " + outcome);
    if (!dialogs.succeeded())
        return Fail(kExitUpdateFailed, outcome);
    if (!session_.IsOpen())
        return Fail(kExitNoTower, kUnableToOpenText);
    // Back online as after "Open": in step again before anything else, so
    // leaving says goodbye to the segments there. The version is the one the
    // Base Controller reports now, whichever file it got.
    const WaitEnd end = session_.WaitComplete(TimeoutMs());
    const std::string version = end == WaitEnd::Done
                                    ? FormatVersion(state_.firmwareVersion[kBaseControllerSlot])
                                    : std::string("n/a");
    Answer a;
    a.data = {{"updated", true}, {"firmware", version}};
    a.text = std::string(kSuccessVersionLabel) + " " + version + "\n";
    return a;
}

// Prints a one-shot command's answer; returns its code.
int PrintAnswer(const Answer& a, bool asJson, CliIo& io)
{
    if (a.code == kExitOk || (!asJson && !a.data.is_null())) {
        if (asJson && !a.data.is_null())
            io.out << a.data.dump(2) << "\n";
        else if (!a.text.empty())
            io.out << a.text;
    }
    if (a.code != kExitOk) {
        if (asJson) {
            json j = a.data.is_object() ? a.data : json::object();
            j["error"] = a.error;
            j["exitCode"] = a.code;
            io.out << j.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
        }
        io.err << kProgramName << ": " << a.error << "\n";
    }
    io.out << std::flush;
    return a.code;
}

Answer Execute(Runner& runner, Command c, bool inSession, bool jsonEvents)
{
    switch (c) {
    case Command::List:
        return runner.List(inSession);
    case Command::Patterns:
        return runner.Patterns();
    case Command::Status:
        return runner.Status();
    case Command::Set:
        return runner.Set();
    case Command::On:
        return runner.Switch(true);
    case Command::Off:
        return runner.Switch(false);
    case Command::Update:
        return runner.Update(jsonEvents);
    case Command::Session:
    case Command::Help:
    case Command::Quit:
    case Command::Completion:
    case Command::None:
        break;
    }
    return Fail(kExitUsage, "Not a command here.");
}

}  // namespace kv::cli
