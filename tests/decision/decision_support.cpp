#include "decision_support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "assets/demo/demo_assets.h"
#include "platform/paths.h"

namespace kv::test {

FileBesideProgram::FileBesideProgram(const std::string& relativePath, const std::string& content)
    : path_(ExeRelativePath(relativePath))
{
    const std::filesystem::path p(path_);
    std::error_code ec;
    if (!std::filesystem::exists(p.parent_path(), ec)) {
        std::filesystem::create_directories(p.parent_path(), ec);
        createdFolder_ = p.parent_path().string();
    }
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
}

FileBesideProgram::~FileBesideProgram()
{
    std::error_code ec;
    std::filesystem::remove(path_, ec);
    if (!createdFolder_.empty())
        std::filesystem::remove(createdFolder_, ec);
}

std::string FirmwareHexOfVersion(uint8_t version)
{
    return demo::IntelHexText(demo::MakeDemoFirmwareImage(version));
}

bool RecordingView::Called(const std::string& call) const
{
    return std::find(calls.begin(), calls.end(), call) != calls.end();
}

void RecordingView::SetStatusLine(const std::string& text)
{
    statusLine = text;
    calls.push_back("status:" + text);
}

void RecordingView::SetMessageLine(const std::string& text)
{
    messageLine = text;
    calls.push_back("message:" + text);
}

void RecordingView::TransferTexts() { calls.push_back("transfer"); }

void RecordingView::SetOpenCloseCaption(const std::string& text)
{
    openCloseCaption = text;
    calls.push_back("caption:" + text);
}

void RecordingView::EnableSend(bool enabled)
{
    sendEnabled = enabled;
    calls.push_back(enabled ? "send:1" : "send:0");
}

void RecordingView::EnableOpenClose(bool enabled)
{
    openCloseEnabled = enabled;
    calls.push_back(enabled ? "openclose:1" : "openclose:0");
}

void RecordingView::EnableExit(bool enabled)
{
    exitEnabled = enabled;
    calls.push_back(enabled ? "exit:1" : "exit:0");
}

void RecordingView::StartPollTimer()
{
    timerRunning = true;
    suspendReadAtTimerStart = state_.suspendRead;
    calls.push_back("timer:start");
}

void RecordingView::StopPollTimer()
{
    timerRunning = false;
    calls.push_back("timer:stop");
}

void RecordingView::EnableToolMenu(bool enabled)
{
    toolsEnabled = enabled;
    calls.push_back(enabled ? "tools:1" : "tools:0");
}

void RecordingView::OnFirmwareUpdate()
{
    ++firmwareUpdateCalls;
    if (onFirmwareUpdate)
        onFirmwareUpdate();
}

void RecordingView::EndMainWindow(int result)
{
    endedWith = result;
    calls.push_back("end:" + std::to_string(result));
}

int ScriptedDialogs::Count(const std::string& dialog) const
{
    return static_cast<int>(std::count(shown.begin(), shown.end(), dialog));
}

void ScriptedDialogs::ShowError(const std::string& text, const std::string& caption)
{
    shown.push_back("error");
    errorText = text;
    errorCaption = caption;
}

int ScriptedDialogs::RunVersionDialog(const VersionDialogContent& content)
{
    shown.push_back("version");
    lastFace = content;
    return versionAnswer;
}

namespace {
int Nth(const std::vector<int>& answers, int n)
{
    if (answers.empty())
        return 0;
    return answers[static_cast<size_t>(std::min<int>(n, static_cast<int>(answers.size()) - 1))];
}
}  // namespace

int ScriptedDialogs::RunProgress(const std::string&)
{
    shown.push_back("progress");
    if (duringProgress)
        duringProgress(progressRuns_);
    return Nth(progressAnswers, progressRuns_++);
}

int ScriptedDialogs::RunFailed()
{
    shown.push_back("failed");
    return Nth(failedAnswers, failedRuns_++);
}

void ScriptedDialogs::RunSuccess()
{
    shown.push_back("success");
    if (duringSuccess)
        duringSuccess();
}

}  // namespace kv::test
