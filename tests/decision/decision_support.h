// Shared by the update decision tests: a file put beside the test program
// (where the program looks for its firmware and release notes), a session's
// host that keeps how the session ended, and update dialogs answered from a
// script.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "device/device_state.h"
#include "session/session_host.h"
#include "update/update_dialogs.h"

namespace kv::test {

// A file at ExeRelativePath(relativePath); removed with the folder it made.
class FileBesideProgram {
public:
    FileBesideProgram(const std::string& relativePath, const std::string& content);
    ~FileBesideProgram();
    FileBesideProgram(const FileBesideProgram&) = delete;
    FileBesideProgram& operator=(const FileBesideProgram&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string createdFolder_;
};

// The demo firmware of a version as Intel HEX text.
std::string FirmwareHexOfVersion(uint8_t version);

// The front end of a session the update path runs over: how the session
// ended, if it did.
class RecordingHost : public SessionHost {
public:
    int endedWith = -1;
    void SessionEnded(int result) override { endedWith = result; }
};

// Every dialog run is recorded in `shown` ("error", "version", "progress",
// "failed", "success"); the answers are set by the test.
class ScriptedDialogs : public UpdateDialogs {
public:
    std::vector<std::string> shown;
    std::string error;  // caption|text of the last message box
    VersionDialogContent face;
    int versionAnswer = kVersionDialogOk, progressAnswer = 1, failedAnswer = 2;
    // What a progress run does first (the real one sends the bootloader
    // report and closes the link).
    std::function<void()> duringProgress;

    void ShowError(const std::string& text, const std::string& caption) override
    {
        shown.push_back("error");
        error = caption + "|" + text;
    }
    int RunVersionDialog(const VersionDialogContent& content) override
    {
        shown.push_back("version");
        face = content;
        return versionAnswer;
    }
    int RunProgress(const UpdateAttempt&) override
    {
        shown.push_back("progress");
        if (duringProgress)
            duringProgress();
        return progressAnswer;
    }
    int RunFailed() override
    {
        shown.push_back("failed");
        return failedAnswer;
    }
    void RunSuccess() override { shown.push_back("success"); }
};

}  // namespace kv::test
