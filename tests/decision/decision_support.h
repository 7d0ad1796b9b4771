// Shared by the update decision tests: a file placed beside the test program
// (where the program looks for its firmware and release notes), a recording
// main window, and update dialogs answered from a script.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/device_state.h"
#include "sync/main_view.h"
#include "update/update_dialogs.h"

namespace kv::test {

// Writes a file at ExeRelativePath(relativePath), creating its folder; the
// file (and a folder it created) is removed again on destruction.
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

// A main window that records what is done to it, in order ("status:...",
// "send:1", "timer:start", ...). It keeps the current state of what the update
// path changes.
class RecordingView : public MainView {
public:
    explicit RecordingView(DeviceState& state) : state_(state) {}

    std::vector<std::string> calls;
    std::string statusLine = "Device Status: Offline.";
    std::string messageLine;
    std::string openCloseCaption = "Open";
    bool sendEnabled = false;
    bool openCloseEnabled = true;
    bool exitEnabled = true;
    bool toolsEnabled = false;
    bool timerRunning = false;
    // suspendRead as it stood when the timer was last started.
    int suspendReadAtTimerStart = -1;
    int endedWith = -1;
    int firmwareUpdateCalls = 0;
    std::function<void()> onFirmwareUpdate;

    bool Called(const std::string& call) const;

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
    void SetStatusLine(const std::string& text) override;
    void SetMessageLine(const std::string& text) override;
    void TransferTexts() override;
    void SetOpenCloseCaption(const std::string& text) override;
    void EnableSend(bool enabled) override;
    void EnableOpenClose(bool enabled) override;
    void EnableExit(bool enabled) override;
    void StartPollTimer() override;
    void StopPollTimer() override;
    void EnableToolMenu(bool enabled) override;
    void OnOpenClose() override { calls.push_back("openclose"); }
    void OnFirmwareUpdate() override;
    void EndMainWindow(int result) override;

private:
    DeviceState& state_;
};

// Update dialogs answered from a script. Every dialog run is recorded in
// `shown` ("error", "version", "progress", "failed", "success").
class ScriptedDialogs : public UpdateDialogs {
public:
    std::vector<std::string> shown;
    std::string errorText, errorCaption;
    VersionDialogContent lastFace;
    int versionAnswer = kVersionDialogOk;
    // One end code per progress run; the last one repeats.
    std::vector<int> progressAnswers{1};
    std::vector<int> failedAnswers{2};
    // What a progress run does before it ends (the real one sends the
    // bootloader report and closes the link).
    std::function<void(int attempt)> duringProgress;
    std::function<void()> duringSuccess;

    int Count(const std::string& dialog) const;

    void ShowError(const std::string& text, const std::string& caption) override;
    int RunVersionDialog(const VersionDialogContent& content) override;
    int RunProgress(const std::string& hexPath) override;
    int RunFailed() override;
    void RunSuccess() override;

private:
    int progressRuns_ = 0;
    int failedRuns_ = 0;
};

}  // namespace kv::test
