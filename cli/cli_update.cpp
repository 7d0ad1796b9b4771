#include "cli/cli_update.h"

#include <algorithm>
#include <cctype>
#include <ostream>

#include <nlohmann/json.hpp>

#include "cli/cli_app.h"
#include "cli/stop_signals.h"
#include "platform/clock.h"
#include "session/tower_session.h"
#include "update/update_outcome.h"
#include "update/update_run.h"

namespace kv::cli {

namespace {

constexpr int kBarWidth = 28;

}  // namespace

CliUpdateDialogs::CliUpdateDialogs(Setup setup) : io_(setup) {}

void CliUpdateDialogs::ShowError(const std::string& text, const std::string& caption)
{
    fileMissing_ = true;
    errorText_ = caption + ": " + text;
}

int CliUpdateDialogs::RunVersionDialog(const VersionDialogContent& c)
{
    question_ = c.top + "\n" + c.middle;
    if (c.bottomShown && !c.bottom.empty())
        question_ += "\n" + c.bottom;
    if (!c.okShown) {
        // Refused as the dialog refuses it: only EXIT is offered.
        declined_ = true;
        return VersionDialogEndCode(VersionButton::Centre, c.exitOnClose);
    }
    if (io_.yes)
        return VersionDialogEndCode(VersionButton::Ok, c.exitOnClose);
    if (!io_.inIsTerminal) {
        declined_ = true;
        io_.err << "Not confirmed: give --yes to update without a terminal.\n";
        return VersionDialogEndCode(VersionButton::Left, c.exitOnClose);
    }
    io_.out << question_ << "\nUpdate now? [y/N] " << std::flush;
    std::string answer;
    for (;;) {
        const LineSource::Read r = io_.in.Poll(answer);
        if (r == LineSource::Read::Line)
            break;
        if (r == LineSource::Read::End || StopRequested()) {
            answer.clear();
            break;
        }
        SleepMs(kTickMs);
    }
    std::transform(answer.begin(), answer.end(), answer.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    if (answer == "y" || answer == "yes")
        return VersionDialogEndCode(VersionButton::Ok, c.exitOnClose);
    declined_ = true;
    return VersionDialogEndCode(VersionButton::Left, c.exitOnClose);
}

int CliUpdateDialogs::RunProgress(const UpdateAttempt& attempt)
{
    ran_ = true;
    lastStep_ = -1;
    lastPercentShown_ = -1;
    result_ = attempt.Run(&Hook, this);
    NoticeStop();
    if (io_.outIsTerminal && !io_.jsonEvents)
        io_.out << "\n";
    // A failure's [step.result] is the command's error message.
    succeeded_ = result_ == UPDATE_SUCCESS;
    const std::string outcome = UpdateOutcomeText(lastStep_, result_);
    if (io_.jsonEvents)
        io_.out << nlohmann::json{{"event", "update"}, {"outcome", outcome}, {"result", result_}}.dump()
                << "\n";
    else if (succeeded_)
        io_.out << outcome << "\n";
    io_.out << std::flush;
    return succeeded_ ? kProgressUpdated : kProgressFailed;
}

int CliUpdateDialogs::RunFailed()
{
    return kFailedGiveUp;
}

void CliUpdateDialogs::RunSuccess()
{
    if (!io_.jsonEvents)
        io_.out << kSuccessText << "\n";
}

void CliUpdateDialogs::Hook(void* context, int step, int /*inStep*/, int percent)
{
    if (context != nullptr)
        static_cast<CliUpdateDialogs*>(context)->ShowStep(step, percent);
}

void CliUpdateDialogs::NoticeStop()
{
    if (stopNoticed_ || !StopRequested())
        return;
    stopNoticed_ = true;
    if (io_.outIsTerminal && !io_.jsonEvents)
        io_.out << "\n" << std::flush;
    io_.err << "Interrupted: the firmware update goes on to its end (stopping a flash half-way would "
               "leave the tower without firmware); the program ends after it.\n"
            << std::flush;
}

void CliUpdateDialogs::ShowStep(int step, int percent)
{
    NoticeStop();
    const bool newStep = step != lastStep_;
    lastStep_ = step;
    const char* text = update_step_text(step);
    if (text == nullptr)
        return;
    if (io_.jsonEvents) {
        if (newStep)
            io_.out << nlohmann::json{{"event", "update"}, {"step", step}, {"text", text}}.dump() << "\n"
                    << std::flush;
        return;
    }
    if (!io_.outIsTerminal) {
        if (newStep)
            io_.out << "[" << step << "/" << (UPDATE_STEP_COUNT - 1) << "] " << text << "\n" << std::flush;
        return;
    }
    const int p = std::clamp(percent, 0, 100);
    if (!newStep && p == lastPercentShown_)
        return;
    lastPercentShown_ = p;
    const int filled = step * kBarWidth / (UPDATE_STEP_COUNT - 1);
    io_.out << "\r[" << std::string(static_cast<size_t>(filled), '#')
            << std::string(static_cast<size_t>(kBarWidth - filled), '.') << "] " << step << "/"
            << (UPDATE_STEP_COUNT - 1) << " " << text;
    if (p > 0)
        io_.out << " " << p << " %";
    io_.out << "\x1b[K" << std::flush;
}

}  // namespace kv::cli
