// "Firmware Update Process": the progress dialog of a firmware update. Its
// first timer tick sends the Base Controller into its boot loader and runs the
// whole update on the user-interface thread; the step text and the bar follow
// the run's steps, and the dialog ends with 1 (updated) or 3 (failed), or 2
// with Escape once the run is over.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "platform/progress.h"
#include "update/update_dialogs.h"
#include "update/update_outcome.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace kv {

class HidLink;

class FWUPDATE_PROCESS : public QDialog {
    Q_OBJECT
public:
    // End codes.
    static constexpr int kUpdated = kProgressUpdated;
    static constexpr int kCancelled = kProgressEscaped;  // Escape after the run
    static constexpr int kFailed = kProgressFailed;
    // Result and last step shown before a run.
    static constexpr int kNoResult = 13;
    static constexpr int kNoStep = 8;
    // Delay of the tick that starts the run.
    static constexpr int kStartDelayMs = 100;
    // Longest outcome text, without its terminating zero.
    static constexpr int kMessageMax = kUpdateOutcomeMax;

    using UpdateFunction = kv::UpdateFunction;

    // Over the program's HidLink.
    explicit FWUPDATE_PROCESS(QWidget* parent = nullptr);
    FWUPDATE_PROCESS(HidLink& link, QWidget* parent);

    // Resets result and step, shows the dialog modally and returns its end
    // code (1, 3 or 2). The first tick runs the attempt: the update path's
    // (with its checks), or one over the dialog's link with the two functions
    // below.
    int run(const UpdateAttempt& attempt);
    int run(const std::string& path);

    // What run() does before it shows the dialog: result 13, last step 8,
    // the attempt stored, the controls in their initial state. With show()
    // this runs the dialog without blocking (the start timer is started on
    // show).
    void Prepare(const UpdateAttempt& attempt);
    void Prepare(const std::string& path);

    // For run(path): the update run (update_run) and the check of the file
    // before the Base Controller is touched (update_check_file), unless a
    // test puts others in. A refused file ends the run with the check's
    // result: no bootloader report, no run, the link closed as after any run.
    UpdateFunction updateFunction;
    UpdateFunction checkFunction;
    // Called when the run is over and OK is enabled (a test may click here).
    std::function<void(FWUPDATE_PROCESS&)> onRunFinished;

    int updateResult() const { return result_; }
    int lastStep() const { return lastStep_; }
    bool runFinished() const { return finished_; }
    const std::string& path() const { return attempt_.hexPath; }

    QLabel* stepText() const { return stepText_; }
    QProgressBar* progressBar() const { return bar_; }
    QLabel* messageLine() const { return message_; }
    QPushButton* okButton() const { return ok_; }
    QTimer* startTimer() const { return timer_; }

    // The progress hook the dialog registers for its run.
    static void ProgressHookOf(void* context, int step, int inStep, int percent);

public slots:
    // The first (and only) tick of the start timer: runs the update.
    void OnStartTick();
    void OnOk();

protected:
    void showEvent(QShowEvent* event) override;
    // Escape and the window's close request end the dialog only after the run.
    void reject() override;

private:
    void Build();
    void ShowStep(int step);
    // Shows the warning once the Base Controller has left its firmware.
    void ShowWarning();

    HidLink& link_;
    int result_ = kNoResult;
    int lastStep_ = kNoStep;
    UpdateAttempt attempt_;
    bool running_ = false;
    bool finished_ = false;

    QLabel* stepText_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QLabel* message_ = nullptr;
    QPushButton* ok_ = nullptr;
    QTimer* timer_ = nullptr;
};

}  // namespace kv
