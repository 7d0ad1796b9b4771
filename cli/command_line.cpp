#include "cli/command_line.h"

#include <cctype>
#include <sstream>

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

constexpr const char* kSegmentHelp = "position 1-5, 'sound', or the colour name (\"Red 1\")";

// The commands listed in --help (the completion command is not).
std::vector<const CLI::App*> Visible(const CLI::App& app)
{
    return app.get_subcommands([](const CLI::App* sub) { return !sub->get_group().empty(); });
}

bool IsCommand(const CLI::App& app, const std::string& word)
{
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
        if (sub->get_name() == word)
            return true;
    return false;
}

bool TakesValue(const CLI::Option& o)
{
    return o.get_expected_min() > 0;
}

// The first word that is neither an option nor an option's value: the
// command the line asks for (empty when there is none).
std::string CommandWord(const CLI::App& app, const std::vector<std::string>& args)
{
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--")
            return i + 1 < args.size() ? args[i + 1] : std::string();
        if (a.size() > 1 && a[0] == '-') {
            if (a.find('=') != std::string::npos)
                continue;
            const CLI::Option* o = app.get_option_no_throw(a);
            if (o != nullptr && TakesValue(*o))
                ++i;
            continue;
        }
        return a;
    }
    return {};
}

// Options of a parser that take a value, and those that do not.
void OptionWords(const CLI::App& app, std::string& withValue, std::string& flags)
{
    for (const CLI::Option* o : app.get_options()) {
        // A command's --help is the program's, offered beside it.
        if (o->get_positional() || (app.get_parent() != nullptr && o->check_lname("help")))
            continue;
        for (const std::string& n : o->get_lnames())
            (TakesValue(*o) ? withValue : flags) += " --" + n;
        for (const std::string& n : o->get_snames())
            (TakesValue(*o) ? withValue : flags) += " -" + n;
    }
}

// A description inside a zsh argument description: no quotes, brackets or colons.
std::string ZshText(std::string text)
{
    for (char& ch : text)
        if (ch == '\'' || ch == '[' || ch == ']' || ch == ':' || ch == '"')
            ch = ch == ':' ? ',' : ' ';
    return text;
}

std::string BashScript(const CLI::App& app)
{
    std::string commands;
    for (const auto& [name, description] : CommandTable(app))
        commands += (commands.empty() ? "" : " ") + name;
    std::string globalValue, globalFlags;
    OptionWords(app, globalValue, globalFlags);
    std::ostringstream s;
    s << "# bash completion for " << kProgramName << " (made by '" << kProgramName << " completion bash')\n"
      << "_kestrivane_cli()\n{\n"
      << "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} cmd= i\n"
      << "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
      << "        case ${COMP_WORDS[i]} in\n"
      << "        " <<
        [&] {
            std::string alt = commands;
            for (char& ch : alt)
                if (ch == ' ')
                    ch = '|';
            return alt;
        }()
      << ") cmd=${COMP_WORDS[i]}; break ;;\n"
      << "        esac\n    done\n"
      << "    case $prev in\n"
      << "    --trace) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
      << "    " <<
        [&] {
            std::string alt;
            std::istringstream in(globalValue);
            for (std::string w; in >> w;)
                if (w != "--trace")
                    alt += (alt.empty() ? "" : "|") + w;
            return alt.empty() ? std::string("--device") : alt;
        }()
      << ") return ;;\n";
    std::string subValues;
    for (const CLI::App* sub : Visible(app)) {
        std::string value, flags;
        OptionWords(*sub, value, flags);
        std::istringstream in(value);
        for (std::string w; in >> w;)
            subValues += (subValues.empty() ? "" : "|") + w;
    }
    if (!subValues.empty())
        s << "    " << subValues << ") return ;;\n";
    s << "    esac\n"
      << "    case $cmd in\n"
      << "    '') COMPREPLY=($(compgen -W \"" << commands << globalValue << globalFlags
      << "\" -- \"$cur\")) ;;\n";
    for (const CLI::App* sub : Visible(app)) {
        std::string value, flags;
        OptionWords(*sub, value, flags);
        const std::string name = sub->get_name();
        const bool segment = name == "set" || name == "on" || name == "off";
        const bool file = name == "update";
        s << "    " << name << ") COMPREPLY=($(compgen " << (file ? "-f " : "") << "-W \""
          << (segment ? "1 2 3 4 5 sound" : "") << value << flags << globalValue << globalFlags
          << "\" -- \"$cur\")) ;;\n";
    }
    s << "    esac\n}\ncomplete -F _kestrivane_cli " << kProgramName << "\n";
    return s.str();
}

void ZshOptions(std::ostringstream& s, const CLI::App& app)
{
    for (const CLI::Option* o : app.get_options()) {
        if (o->get_positional() || o->get_lnames().empty())
            continue;
        const std::string value = TakesValue(*o) ? ":" + ZshText(o->get_type_name()) +
                                                       (o->get_type_name() == "FILE" ? ":_files" : ":")
                                                 : std::string();
        for (const std::string& n : o->get_lnames())
            s << "    '--" << n << "[" << ZshText(o->get_description()) << "]" << value << "' \\\n";
    }
}

std::string ZshScript(const CLI::App& app)
{
    std::ostringstream s;
    s << "#compdef " << kProgramName << "\n"
      << "# zsh completion for " << kProgramName << " (made by '" << kProgramName << " completion zsh')\n"
      << "_kestrivane_cli_command()\n{\n    local -a commands\n    commands=(\n";
    for (const auto& [name, description] : CommandTable(app))
        s << "        '" << name << ":" << ZshText(description) << "'\n";
    s << "    )\n    _describe command commands\n}\n\n"
      << "_kestrivane_cli()\n{\n    local curcontext=$curcontext state line\n"
      << "    _arguments -C \\\n";
    ZshOptions(s, app);
    s << "    '1: :_kestrivane_cli_command' \\\n    '*:: :->args'\n"
      << "    case $words[1] in\n";
    for (const CLI::App* sub : Visible(app)) {
        const std::string name = sub->get_name();
        s << "    " << name << ")\n        _arguments \\\n";
        ZshOptions(s, *sub);
        if (name == "set")
            s << "            '1:SEGMENT:(1 2 3 4 5 sound)' '2:PATTERN:' \\\n";
        else if (name == "on" || name == "off")
            s << "            '1:SEGMENT:(1 2 3 4 5 sound)' \\\n";
        else if (name == "update")
            s << "            '1:FILE:_files' \\\n";
        s << "        ;;\n";
    }
    s << "    esac\n}\n\n_kestrivane_cli \"$@\"\n";
    return s.str();
}

}  // namespace

void BuildParser(CLI::App& app, Request& r, bool inSession)
{
    app.name(kProgramName);
    app.description(
        "Drives a Nelo signal tower from scripts: the same reports, order and pauses as the "
        "Kestrivane window.");
    app.footer(kExitCodesText);
    app.require_subcommand(1);
    // Options of the program may also follow the command ("status --json").
    app.fallthrough();
    app.add_flag("--json", r.json, "list and status (and every answer in a session) as JSON");
    if (!inSession) {
        app.set_version_flag("--version", std::string(kProgramName) + " " + kProgramVersionText);
        app.add_option("--device", r.device,
                       "the tower to use when several are attached: its device path or serial "
                       "number (as 'list' shows them); default: the first")
            ->type_name("PATH|SERIAL");
        app.add_option("--timeout", r.timeout, "bound of every wait for the tower, in seconds (default 5)")
            ->type_name("SECONDS")
            ->check(CLI::Range(0.01, 86400.0));
        app.add_option("--wait", r.wait, "wait up to this long for the tower to be plugged in")
            ->type_name("SECONDS")
            ->check(CLI::Range(0.0, 86400.0));
        app.add_option("--socket", r.socket,
                       "the local socket of the service kestrivaned (default: $KESTRIVANE_SOCKET, "
                       "$XDG_RUNTIME_DIR/kestrivaned/api.sock, /run/kestrivaned/api.sock)")
            ->type_name("PATH");
        app.add_flag("--direct", r.direct,
                     "open the tower even when the service runs (list, status, set, on and off go "
                     "through it otherwise)");
        app.add_flag("--verbose", r.verbose, "write the firmware update's trace to standard error");
        app.add_option("--trace", r.trace, "write the firmware update's trace into this file")
            ->type_name("FILE");
    }

    app.add_subcommand("list", "every Base Controller and boot loader attached")->callback([&r] {
        r.command = Command::List;
    });
    app.add_subcommand("status", "the whole tower: segments, versions, port map, threshold")->callback([&r] {
        r.command = Command::Status;
    });
    app.add_subcommand("patterns",
                       "the pattern names a colour segment and the sound segment accept, and which "
                       "run on the 200 % scale")
        ->callback([&r] { r.command = Command::Patterns; });

    CLI::App* set =
        app.add_subcommand("set", "send a pattern (and level) to a segment, as the window's Send does");
    set->add_option("SEGMENT", r.segment, kSegmentHelp)->required();
    set->add_option("PATTERN", r.pattern, "a name from 'patterns' (case-insensitive)")->required();
    set->add_option("--level", r.level,
                    "brightness or volume in percent as the window shows it (0-100, 0-200 on a "
                    "200 % pattern)")
        ->type_name("PERCENT");
    set->callback([&r] { r.command = Command::Set; });

    CLI::App* on = app.add_subcommand("on", "switch a segment on (the window's on/off button)");
    on->add_option("SEGMENT", r.segment, kSegmentHelp)->required();
    on->callback([&r] { r.command = Command::On; });
    CLI::App* off = app.add_subcommand("off", "switch a segment off (the window's on/off button)");
    off->add_option("SEGMENT", r.segment, kSegmentHelp)->required();
    off->callback([&r] { r.command = Command::Off; });

    CLI::App* update = app.add_subcommand(
        "update", "update the Base Controller's firmware (default: the firmware file beside the program)");
    update->add_option("FILE", r.file, "Intel HEX firmware file")->type_name("FILE");
    update->add_flag("-y,--yes", r.yes, "do not ask for confirmation");
    update->callback([&r] { r.command = Command::Update; });

    if (inSession) {
        app.add_subcommand("help", "list the commands of a session")->callback([&r] {
            r.command = Command::Help;
        });
        app.add_subcommand("quit", "end the session (as the end of input does)")->callback([&r] {
            r.command = Command::Quit;
        });
    } else {
        app.add_subcommand("session",
                           "hold one connection; read commands line by line from standard input, "
                           "print each change of the tower's state as a JSON line")
            ->callback([&r] { r.command = Command::Session; });
        // For the package's shell completion; not listed.
        CLI::App* completion = app.add_subcommand("completion", "print the shell completion script");
        completion->group("");
        completion->add_option("SHELL", r.shell)->required()->check(CLI::IsMember({"bash", "zsh"}));
        completion->callback([&r] { r.command = Command::Completion; });
    }
}

Parsed Parse(CLI::App& app, const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (std::string& a : copy)
        argv.push_back(a.data());
    Parsed p;
    std::ostringstream out;
    std::ostringstream err;
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
        p.run = true;
        return p;
    } catch (const CLI::CallForHelp& e) {
        app.exit(e, out, err);
        p.message = out.str();
        return p;
    } catch (const CLI::CallForVersion& e) {
        app.exit(e, out, err);
        p.message = out.str();
        return p;
    } catch (const CLI::ParseError& e) {
        p.code = kExitUsage;
        const std::string word = CommandWord(app, args);
        if (!word.empty() && !IsCommand(app, word))
            p.message = "Unknown command '" + word + "': see --help.";
        else
            p.message = e.what();
        if (p.message.empty() || p.message == "A subcommand is required")
            p.message = "A command is required: see --help.";
        return p;
    }
}

bool Words(const std::string& line, std::vector<std::string>& words, std::string& error)
{
    words.clear();
    std::string word;
    bool any = false;
    enum class In { Plain, Single, Double } in = In::Plain;
    for (size_t i = 0; i < line.size(); ++i) {
        const char ch = line[i];
        if (in == In::Single) {
            if (ch == '\'')
                in = In::Plain;
            else
                word.push_back(ch);
        } else if (in == In::Double) {
            if (ch == '"') {
                in = In::Plain;
            } else if (ch == '\\' && i + 1 < line.size() &&
                       (line[i + 1] == '"' || line[i + 1] == '\\' || line[i + 1] == '$' ||
                        line[i + 1] == '`')) {
                word.push_back(line[++i]);
            } else {
                word.push_back(ch);
            }
        } else if (ch == '\'' || ch == '"') {
            in = ch == '\'' ? In::Single : In::Double;
            any = true;
        } else if (ch == '\\') {
            if (i + 1 == line.size()) {
                error = "A backslash ends the line.";
                return false;
            }
            word.push_back(line[++i]);
            any = true;
        } else if (std::isspace(static_cast<unsigned char>(ch))) {
            if (any)
                words.push_back(word);
            word.clear();
            any = false;
        } else {
            word.push_back(ch);
            any = true;
        }
    }
    if (in != In::Plain) {
        error = in == In::Single ? "A single quote is not closed." : "A double quote is not closed.";
        return false;
    }
    if (any)
        words.push_back(word);
    return true;
}

std::vector<std::pair<std::string, std::string>> CommandTable(const CLI::App& app)
{
    std::vector<std::pair<std::string, std::string>> table;
    for (const CLI::App* sub : Visible(app))
        table.emplace_back(sub->get_name(), sub->get_description());
    return table;
}

std::string CompletionScript(const CLI::App& app, const std::string& shell)
{
    if (shell == "bash")
        return BashScript(app);
    if (shell == "zsh")
        return ZshScript(app);
    return {};
}

const char* CommandName(Command c)
{
    switch (c) {
    case Command::List:
        return "list";
    case Command::Status:
        return "status";
    case Command::Patterns:
        return "patterns";
    case Command::Set:
        return "set";
    case Command::On:
        return "on";
    case Command::Off:
        return "off";
    case Command::Update:
        return "update";
    case Command::Session:
        return "session";
    case Command::Help:
        return "help";
    case Command::Quit:
        return "quit";
    case Command::Completion:
        return "completion";
    case Command::None:
        break;
    }
    return "";
}

}  // namespace kv::cli
