// The update path's dialogs on a command line: the version question on the
// terminal (or --yes), the run with a progress bar on a terminal and one line
// per step otherwise, and no second attempt after a failure.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>

#include "update/update_dialogs.h"

namespace kv::cli {

class LineSource;

class CliUpdateDialogs : public UpdateDialogs {
public:
    struct Setup {
        std::ostream& out;
        std::ostream& err;
        LineSource& in;
        bool outIsTerminal = false;
        bool inIsTerminal = false;
        bool yes = false;
        // Progress as JSON lines (a session with --json).
        bool jsonEvents = false;
    };
    explicit CliUpdateDialogs(Setup setup);

    void ShowError(const std::string& text, const std::string& caption) override;
    int RunVersionDialog(const VersionDialogContent& content) override;
    int RunProgress(const UpdateAttempt& attempt) override;
    int RunFailed() override;
    void RunSuccess() override;

    // How the last path ended.
    bool fileMissing() const { return fileMissing_; }
    bool declined() const { return declined_; }
    bool ran() const { return ran_; }
    int result() const { return result_; }
    int lastStep() const { return lastStep_; }
    bool succeeded() const { return succeeded_; }
    // The version question's text, for the message of a refused update.
    const std::string& question() const { return question_; }

    static void Hook(void* context, int step, int inStep, int percent);

private:
    void ShowStep(int step, int percent);

    Setup io_;
    bool fileMissing_ = false;
    bool declined_ = false;
    bool ran_ = false;
    bool succeeded_ = false;
    int result_ = -1;
    int lastStep_ = -1;
    int lastPercentShown_ = -1;
    std::string question_;
};

}  // namespace kv::cli
