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

// The command line. In a session the session itself and the connection
// options are not offered.
void BuildParser(CLI::App& app, Request& r, bool inSession);
// Parses args (program name first); returns -1 when the command should run,
// else the exit code (help and version: 0).
int Parse(CLI::App& app, const std::vector<std::string>& args, CliIo& io);
// Splits a session line into words; double quotes group ("Red 1").
std::vector<std::string> Words(const std::string& line);
// The command's name on the command line.
const char* CommandName(Command c);

}  // namespace kv::cli
