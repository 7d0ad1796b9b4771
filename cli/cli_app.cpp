#include "cli/cli_app.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <ostream>

#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/service_client.h"
#include "cli/session_mode.h"
#include "platform/update_trace.h"

namespace kv::cli {

namespace {

// Where the update trace goes while a command line runs: nowhere, unless
// --verbose (standard error, as the window writes it) or --trace FILE.
class TraceRoute {
public:
    explicit TraceRoute(const Request& r)
    {
        if (!r.trace.empty()) {
            file_.open(r.trace, std::ios::out | std::ios::trunc);
            if (!file_)
                return;
            SetTraceSink([this](const std::string& text) { file_ << text; });
        } else if (!r.verbose) {
            SetTraceSink([](const std::string&) {});
        }
        ok_ = true;
    }
    ~TraceRoute() { SetTraceSink({}); }
    TraceRoute(const TraceRoute&) = delete;
    TraceRoute& operator=(const TraceRoute&) = delete;
    bool ok() const { return ok_; }

private:
    std::ofstream file_;
    bool ok_ = false;
};

// Whether the command line asks for JSON, read before it is parsed, so that
// a usage error is answered in JSON too.
bool AsksForJson(const std::vector<std::string>& args)
{
    const auto end = std::find(args.begin(), args.end(), "--");
    return std::find(args.begin(), end, "--json") != end;
}

bool ServiceCarriesOut(Command c)
{
    return c == Command::List || c == Command::Status || c == Command::Set || c == Command::On ||
           c == Command::Off;
}

int Run(const Request& request, Runner& runner, CliIo& io)
{
    // While a service holds the towers, it carries out the one-shot
    // commands; without one they open the tower themselves.
    if (ServiceCarriesOut(request.command) && !request.direct) {
        const std::string socket = FindServiceSocket(request.socket);
        if (!socket.empty()) {
            const auto bound =
                static_cast<uint64_t>(std::llround(request.timeout * 1000.0)) + kServiceAnswerMarginMs;
            ServiceCommands service(request, SocketTransport(socket, bound), socket);
            return PrintAnswer(service.Run(), request.json, io);
        }
    }
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
        Answer a = runner.OpenTower();
        if (a.code == kExitOk)
            a = Execute(runner, request.command, false, false);
        // The answer is out as soon as it is known; leaving as Close does
        // (300 ms of connection reports) comes after it.
        const int code = PrintAnswer(a, request.json, io);
        runner.session().Close();
        return code;
    }
    case Command::Help:
    case Command::Quit:
    case Command::Completion:
    case Command::None:
        break;
    }
    return kExitUsage;
}

}  // namespace

int RunCli(const std::vector<std::string>& args, CliIo& io)
{
    Request request;
    CLI::App app;
    BuildParser(app, request, false);
    const Parsed parsed = Parse(app, args);
    if (!parsed.run) {
        if (parsed.code == kExitOk) {
            io.out << parsed.message << std::flush;
            return kExitOk;
        }
        return PrintAnswer(Fail(parsed.code, parsed.message), AsksForJson(args), io);
    }
    if (request.command == Command::Completion) {
        io.out << CompletionScript(app, request.shell) << std::flush;
        return kExitOk;
    }

    TraceRoute trace(request);
    if (!trace.ok())
        return PrintAnswer(Fail(kExitUsage, "Cannot write the trace file '" + request.trace + "'."),
                           request.json, io);
    Runner runner(io, request);
    const Answer checked = runner.CheckArguments();
    if (checked.code != kExitOk)
        return PrintAnswer(checked, request.json, io);
    return Run(request, runner, io);
}

}  // namespace kv::cli
