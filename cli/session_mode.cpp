#include "cli/session_mode.h"

#include <sstream>

#include "cli/stop_signals.h"
#include "session/tower_report.h"

namespace kv::cli {

namespace {

using nlohmann::json;

// One JSON line for an answer in a session.
json AnswerJson(const std::string& command, const Answer& a)
{
    json j{{"command", command}, {"ok", a.code == kExitOk}, {"exitCode", a.code}};
    if (a.code != kExitOk)
        j["error"] = a.error;
    if (!a.data.is_null())
        j["result"] = a.data;
    return j;
}

}  // namespace

int RunSession(Runner& runner, CliIo& io)
{
    const bool asJson = runner.options().json;
    Answer opened = runner.OpenTower();
    if (opened.code != kExitOk)
        return PrintAnswer(opened, false, io);

    json lastState;
    auto emitState = [&] {
        TowerSession& s = runner.session();
        if (!s.IsOpen() || !s.complete())
            return;
        const json now = StatusJson(s);
        if (now == lastState)
            return;
        lastState = now;
        io.out << json{{"event", "state"}, {"status", now}}.dump() << "\n" << std::flush;
    };
    emitState();

    int code = kExitOk;
    for (;;) {
        if (StopRequested())
            break;
        std::string line;
        const LineSource::Read r = io.in.Poll(line);
        if (r == LineSource::Read::End)
            break;
        if (r == LineSource::Read::Line) {
            std::vector<std::string> words = Words(line);
            if (!words.empty() && words[0][0] != '#') {
                words.insert(words.begin(), kProgramName);
                Request request;
                CLI::App app;
                BuildParser(app, request, true);
                std::ostringstream parseOut;
                std::ostringstream parseErr;
                CliIo parseIo{parseOut, parseErr, io.in, false, false};
                const int parsed = Parse(app, words, parseIo);
                Answer a;
                if (parsed >= 0) {
                    a.code = parsed;
                    a.error = parseErr.str();
                    a.text = parseOut.str();
                    while (!a.error.empty() && a.error.back() == '\n')
                        a.error.pop_back();
                } else {
                    Request& o = runner.options();
                    o.segment = request.segment;
                    o.pattern = request.pattern;
                    o.level = request.level;
                    o.file = request.file;
                    o.yes = request.yes;
                    a = Execute(runner, request.command, true, asJson);
                }
                const std::string name = parsed < 0 ? std::string(CommandName(request.command))
                                                    : (words.size() > 1 ? words[1] : std::string());
                if (asJson) {
                    // The answer may quote the line, which need not be UTF-8.
                    io.out << AnswerJson(name, a).dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
                } else {
                    if (!a.text.empty())
                        io.out << a.text;
                    if (a.code != kExitOk)
                        io.out << "error " << a.code << ": " << a.error << "\n";
                }
                io.out << std::flush;
            }
        }
        if (!runner.session().IsOpen()) {
            io.out << json{{"event", "offline"}}.dump() << "\n" << std::flush;
            io.err << kProgramName << ": " << kTowerLostText << "\n";
            code = kExitNoTower;
            break;
        }
        if (r != LineSource::Read::Line)
            runner.session().TickOnce();
        emitState();
    }
    runner.session().Close();
    return code;
}

}  // namespace kv::cli
