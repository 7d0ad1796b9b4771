#include "cli/cli_app.h"

#include <ostream>

#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/session_mode.h"

namespace kv::cli {

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
        return PrintAnswer(runner.Patterns(), request.json, io);
    case Command::List:
        return PrintAnswer(runner.List(false), request.json, io);
    case Command::Update: {
        const Answer a = runner.Update(false);
        runner.session().Close();
        return PrintAnswer(a, request.json, io);
    }
    case Command::Session:
        return RunSession(runner, io);
    case Command::Status:
    case Command::Set:
    case Command::On:
    case Command::Off: {
        Answer opened = runner.OpenTower();
        if (opened.code != kExitOk)
            return PrintAnswer(opened, false, io);
        Answer a = Execute(runner, request.command, false, false);
        runner.session().Close();
        return PrintAnswer(a, request.json, io);
    }
    case Command::None:
        break;
    }
    return kExitUsage;
}

}  // namespace kv::cli
