// Shared by the update decision tests: a file put beside the test program
// (where the program looks for its firmware and release notes), a main window
// that keeps what the update path set, and update dialogs answered from a
// script.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "device/device_state.h"
#include "sync/main_view.h"
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

class RecordingView : public MainView {
public:
    int changes = 0;  // calls that change what the window shows
    std::string status = "Device Status: Offline.", message, caption = "Open";
    bool send = false, openClose = true, exit = true, tools = false, timer = false;
    int endedWith = -1;

    void SelectPatterns(const std::array<uint8_t, 6>&) override {}
    void ShowColourLevel(int, uint16_t, bool) override {}
    void ShowSoundLevel(bool, uint16_t) override {}
    void SetScaleLabel(int, bool) override {}
    void EnableRow(int, bool) override {}
    void DisableAllRows() override {}
    void ResetOutputPanel() override {}
    void ShowColourSegment(int, uint8_t, bool) override {}
    void ShowNoColourSegment(int) override {}
    void ShowSoundSegment(bool) override {}
    void ShowNoSoundSegment() override {}
    void ResetInputPanel() override {}
    void TransferTexts() override {}
    void OnOpenClose() override {}
    void OnFirmwareUpdate() override {}
    void SetStatusLine(const std::string& t) override { Set(status, t); }
    void SetMessageLine(const std::string& t) override { Set(message, t); }
    void SetOpenCloseCaption(const std::string& t) override { Set(caption, t); }
    void EnableSend(bool on) override { Set(send, on); }
    void EnableOpenClose(bool on) override { Set(openClose, on); }
    void EnableExit(bool on) override { Set(exit, on); }
    void EnableToolMenu(bool on) override { Set(tools, on); }
    void StopPollTimer() override { Set(timer, false); }
    void StartPollTimer() override { Set(timer, true); }
    void EndMainWindow(int result) override { Set(endedWith, result); }

private:
    template <typename T, typename V>
    void Set(T& field, const V& value)
    {
        field = value;
        ++changes;
    }
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
    int RunProgress(const std::string&) override
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
