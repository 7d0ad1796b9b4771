// kestrivane-cli as a library: the command line, the commands and their exit
// codes. main() only wires the process's streams and signals to RunCli, so
// tests run every command in-process against the virtual tower.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>


namespace kv::cli {

// Exit codes (the README and --help list them).
enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,            // declined, or the tower lacks the segment named
    kExitUsage = 2,             // the command line (or a session line) is wrong
    kExitNoTower = 3,           // no tower found, not accessible, or lost (unplugged)
    kExitNotConfirmed = 4,      // the tower did not confirm (no state, write failed, no echo)
    kExitUpdateFailed = 5,      // the firmware update failed ([step.result] in the message)
    kExitFirmwareMismatch = 6,  // the Base Controller runs another firmware; run `update`
    kExitInterrupted = 130,     // Ctrl-C or SIGTERM before the command was done
};

// Lines of standard input, read without blocking the poll ticks.
class LineSource {
public:
    enum class Read { Line, Nothing, End };
    virtual ~LineSource() = default;
    // A whole line (without its end) when one is there, Nothing when none has
    // arrived yet, End at the end of input.
    virtual Read Poll(std::string& line) = 0;
};

struct CliIo {
    std::ostream& out;
    std::ostream& err;
    LineSource& in;
    bool outIsTerminal = false;
    bool inIsTerminal = false;
};

// Runs one command line (args[0] is the program name); returns the exit code.
int RunCli(const std::vector<std::string>& args, CliIo& io);

}  // namespace kv::cli
