// kestrivane-cli's commands over one TowerSession: what each does to the
// tower, how it confirms, and its answer (an exit code, a message, JSON and
// text). One-shot runs and session lines share them.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/cli_app.h"
#include "cli/command_line.h"
#include "device/device_state.h"
#include "device/hid_link.h"
#include "device/pattern_tables.h"
#include "session/session_host.h"
#include "session/tower_report.h"
#include "session/tower_session.h"

namespace kv::cli {

extern const char* const kNoTowerText;
extern const char* const kTowerLostText;

// The outcome of one command.
struct Answer {
    int code = kExitOk;
    std::string error;
    nlohmann::json data;
    std::string text;
};

Answer Fail(int code, std::string error);

// The answers and texts a command gives, whether it opens the tower itself
// or a service carries it out.
std::string PatternName(int row, uint8_t code);
Answer NoSegment(const std::string& segment);
Answer NoPattern(const std::string& pattern);
// No tower, or none that --device names.
Answer NoSuchTower(const std::string& device);
Answer SegmentMissing(int row);
// The answer of `list`: the towers and boot loaders found, or no tower.
Answer ListAnswer(const std::vector<ListedDevice>& devices);
std::string HeldTowerText(const std::string& holder);
// The Base Controller runs firmware `firmware` ("2.7").
std::string MismatchText(const std::string& firmware);
extern const char* const kSetNotConfirmedText;
extern const char* const kSwitchNotTakenText;
extern const char* const kNoStateInTimeText;
nlohmann::json SetData(int row, const std::string& pattern, int code, int levelRaw);
nlohmann::json SwitchData(int row, bool on);

// The CLI as the session's host: no screen and no timer of its own (its
// waits tick the session); the firmware update entry runs the handler the
// update command puts in, and is declined otherwise.
class CliHost : public SessionHost {
public:
    std::function<void()> firmwareUpdate;
    bool RunFirmwareUpdate() override
    {
        if (!firmwareUpdate)
            return false;
        firmwareUpdate();
        return true;
    }
};

class Runner {
public:
    Runner(CliIo& io, const Request& options);

    // What can be checked before a tower is looked for: a position, a
    // pattern's name, a level (a colour name needs the tower).
    Answer CheckArguments() const;
    // Waits (--wait) for the tower --device names, or any tower, to be on
    // the list; with `bootloaderWillDo` a boot loader is enough.
    Answer FindTower(bool bootloaderWillDo);
    // Finds the tower, opens it and waits for its complete state.
    Answer OpenTower();
    Answer Status();
    Answer Patterns() const;
    Answer Set();
    Answer Switch(bool on);
    // In a session the tower it holds is not opened a second time.
    Answer List(bool inSession);
    Answer Update(bool jsonEvents);

    TowerSession& session() { return session_; }
    Request& options() { return opts_; }

private:
    uint64_t TimeoutMs() const;
    // Why no tower could be opened: the program holding it, or the udev hint.
    std::string NoTowerText() const;
    Answer AfterWait(WaitEnd end, const std::string& timedOut) const;
    std::string MismatchText() const;
    // The row a SEGMENT argument names, present on the tower; -1 with `a` set.
    int Row(const std::string& segment, Answer& a);
    // The path of the tower this runner holds, as it is on the list now:
    // found by its serial number, else its USB port, else its path.
    std::string FindHeldTower() const;
    // The tower the link opened, as the list shows it.
    void RememberOpenedTower();
    // The Base Controller's firmware, opened as Open does until it is in
    // step; -1 when it did not report it.
    int FirmwareOf(const std::string& path, bool& accessible, std::string& heldBy) const;

    CliIo& io_;
    Request opts_;
    BaseControllerEntry held_;
    DeviceState state_;
    HidLink link_{state_};
    PatternTables patterns_;
    CliHost host_;
    TowerSession session_;
};

// The slider position for a level given as text on a row's pattern; -1
// with `a` set (a usage error naming the allowed range) when it is no
// percentage or beyond the pattern's scale.
int LevelPosition(const std::string& level, int row, uint8_t code, const PatternTables& t, Answer& a);

// Prints a one-shot command's answer (its data as JSON or text, its error
// on standard error, and with JSON the error as an object on standard
// output); returns its code.
int PrintAnswer(const Answer& a, bool asJson, CliIo& io);

// Runs a command over the runner's session (one-shot or a session line).
Answer Execute(Runner& runner, Command c, bool inSession, bool jsonEvents);

}  // namespace kv::cli
