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

struct Line {
    bool answered = false;
    bool quit = false;
    bool asJson = false;
    std::string name;
    Answer answer;
};

// The session's commands, one a line, with what each does.
Answer HelpAnswer(const CLI::App& app)
{
    Answer a;
    a.data = json::array();
    std::string text = "Commands (one a line; words quoted as in a shell; options may follow):\n";
    for (const auto& [name, description] : CommandTable(app)) {
        a.data.push_back({{"command", name}, {"description", description}});
        text += "  " + name + std::string(name.size() < 10 ? 10 - name.size() : 1, ' ') + description + "\n";
    }
    a.text = text;
    return a;
}

// Parses and runs one line of input.
Line AnswerLine(Runner& runner, const std::string& line, bool sessionJson)
{
    Line l;
    l.asJson = sessionJson;
    std::vector<std::string> words;
    std::string quoting;
    if (!Words(line, words, quoting)) {
        l.answered = true;
        l.answer = Fail(kExitUsage, quoting);
        return l;
    }
    if (words.empty() || words[0][0] == '#')
        return l;
    l.answered = true;
    words.insert(words.begin(), kProgramName);
    Request request;
    CLI::App app;
    BuildParser(app, request, true);
    const Parsed parsed = Parse(app, words);
    l.asJson = sessionJson || request.json;
    if (!parsed.run) {
        l.name = words.size() > 1 ? words[1] : std::string();
        l.answer.code = parsed.code;
        (parsed.code == kExitOk ? l.answer.text : l.answer.error) = parsed.message;
        while (!l.answer.error.empty() && l.answer.error.back() == '\n')
            l.answer.error.pop_back();
        return l;
    }
    l.name = CommandName(request.command);
    if (request.command == Command::Help) {
        l.answer = HelpAnswer(app);
        return l;
    }
    if (request.command == Command::Quit) {
        l.quit = true;
        return l;
    }
    Request& o = runner.options();
    o.command = request.command;
    o.segment = request.segment;
    o.pattern = request.pattern;
    o.level = request.level;
    o.file = request.file;
    o.yes = request.yes;
    l.answer = runner.CheckArguments();
    if (l.answer.code == kExitOk)
        l.answer = Execute(runner, request.command, true, l.asJson);
    return l;
}

}  // namespace

int RunSession(Runner& runner, CliIo& io)
{
    const bool asJson = runner.options().json;
    Answer opened = runner.OpenTower();
    if (opened.code != kExitOk)
        return PrintAnswer(opened, asJson, io);

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
            const Line answered = AnswerLine(runner, line, asJson);
            if (answered.answered) {
                if (answered.asJson) {
                    // The answer may quote the line, which need not be UTF-8.
                    io.out << AnswerJson(answered.name, answered.answer)
                                  .dump(-1, ' ', false, json::error_handler_t::replace)
                           << "\n";
                } else {
                    const Answer& a = answered.answer;
                    if (!a.text.empty())
                        io.out << a.text;
                    if (a.code != kExitOk)
                        io.out << "error " << a.code << ": " << a.error << "\n";
                }
                io.out << std::flush;
            }
            if (answered.quit)
                break;
        }
        if (!runner.session().IsOpen()) {
            io.out << json{{"event", "offline"}}.dump() << "\n" << std::flush;
            code = PrintAnswer(Fail(kExitNoTower, kTowerLostText), asJson, io);
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
