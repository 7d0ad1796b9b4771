#include "cli/command_line.h"

#include <cctype>

#include "device/version.h"

namespace kv::cli {

namespace {

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

}  // namespace

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

}  // namespace kv::cli
