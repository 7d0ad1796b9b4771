// kestrivane-cli's command line: its options and commands, one-shot and on a
// session line, and how a session line is split into words.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/cli_app.h"

namespace kv::cli {

inline constexpr const char* kProgramName = "kestrivane-cli";
constexpr double kDefaultTimeoutSeconds = 5.0;

enum class Command { None, List, Status, Patterns, Set, On, Off, Update, Session, Help, Quit, Completion };

// What one command line asks for.
struct Request {
    Command command = Command::None;
    // A device path from 'list' or a serial number.
    std::string device;
    bool json = false;
    // The service's local socket to use (empty: look in the usual places),
    // or none at all: the tower opened by this program.
    std::string socket;
    bool direct = false;
    double timeout = kDefaultTimeoutSeconds;
    // How long to wait for the tower to be plugged in (0: not at all).
    double wait = 0.0;
    // The update trace: to standard error, or into this file.
    bool verbose = false;
    std::string trace;
    std::string segment;
    std::string pattern;
    // --level as given (empty: not given); checked against the pattern's scale.
    std::string level;
    std::string file;
    bool yes = false;
    // completion: bash or zsh.
    std::string shell;
};

// The result of parsing: whether the command should run, else its exit code
// and the message (help and version: code 0, message on standard output).
struct Parsed {
    bool run = false;
    int code = 0;
    std::string message;
};

// The command line. In a session the session itself and the connection
// options are not offered, and help and quit are.
void BuildParser(CLI::App& app, Request& r, bool inSession);
// Parses args (program name first). A parse error names an unknown command
// by its name.
Parsed Parse(CLI::App& app, const std::vector<std::string>& args);
// Splits a session line into words as a shell does: blanks separate, single
// quotes take everything literally, double quotes group and take \" \\ \$
// and \` escaped, a backslash outside quotes escapes the next character.
// False with `error` set for an unbalanced quote or a trailing backslash.
bool Words(const std::string& line, std::vector<std::string>& words, std::string& error);
// The commands a parser offers (hidden ones left out): name and description.
std::vector<std::pair<std::string, std::string>> CommandTable(const CLI::App& app);
// The shell completion script for "bash" or "zsh", made from the parser's
// commands and options; empty for another shell.
std::string CompletionScript(const CLI::App& app, const std::string& shell);
// The command's name on the command line.
const char* CommandName(Command c);

}  // namespace kv::cli
