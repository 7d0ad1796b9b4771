#include "cli/commands.h"

#include <cmath>
#include <ostream>

#include "cli/cli_update.h"
#include "cli/stop_signals.h"
#include "device/version.h"
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
        return HeldByText(link_.heldBy()) + " Close that program, or let it set the tower.";
    return kNoTowerText;
}

uint64_t Runner::TimeoutMs() const
{
    return static_cast<uint64_t>(std::llround(opts_.timeout * 1000.0));
}

Answer Runner::OpenTower()
{
    if (!session_.Open())
        return Fail(kExitNoTower, NoTowerText());
    const WaitEnd end = session_.WaitComplete(TimeoutMs());
    if (session_.firmwareDeclined()) {
        session_.Close();
        return Fail(kExitFirmwareMismatch, MismatchText());
    }
    return AfterWait(end, "The tower did not report its state in time.");
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
    return "The Base Controller runs firmware " +
           FormatVersion(state_.firmwareVersion[kBaseControllerSlot]) + "; this program works with " +
           kProgramVersionText + ". Update it with '" + kProgramName + " update'.";
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

Answer Runner::Set()
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
            return Fail(kExitUsage, "Level " + std::to_string(opts_.level) + " % is beyond this pattern's scale.");
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

Answer Runner::List(bool inSession)
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
    Answer a;
    a.data = ListJson(devices);
    a.text = ListText(devices);
    if (devices.empty()) {
        a.code = kExitNoTower;
        a.error = kNoTowerText;
    }
    return a;
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
    CliUpdateDialogs::Setup setup{io_.out, io_.err, io_.in, io_.outIsTerminal, io_.inIsTerminal,
                                  opts_.yes, jsonEvents};
    CliUpdateDialogs dialogs(setup);
    FirmwareUpdatePath path(session_, dialogs);
    if (!opts_.file.empty())
        path.SetFirmwarePath(opts_.file);
    bool ran = false;
    host_.firmwareUpdate = [&] {
        ran = true;
        path.OnFirmwareUpdate();
    };

    if (!session_.IsOpen() && session_.Open()) {
        // The version check may run the update itself, as it does in the
        // window.
        session_.WaitComplete(TimeoutMs());
    }
    if (!ran) {
        // Ctrl-C while the tower came in step: no update is started.
        if (StopRequested()) {
            host_.firmwareUpdate = {};
            return Fail(kExitInterrupted, "Interrupted.");
        }
        if (!session_.IsOpen() && ListBootloaders().empty()) {
            host_.firmwareUpdate = {};
            return Fail(kExitNoTower, NoTowerText());
        }
        session_.OnFirmwareUpdate();
    }
    host_.firmwareUpdate = {};

    if (dialogs.fileMissing())
        return Fail(kExitUpdateFailed, kFirmwareMissingText);
    if (dialogs.declined())
        return Fail(kExitFailed, "Not updated.\n" + dialogs.question());
    if (!dialogs.succeeded())
        return Fail(kExitUpdateFailed, UpdateOutcomeText(dialogs.lastStep(), dialogs.result()));
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

}  // namespace kv::cli
