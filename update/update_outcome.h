// What happens around the update run, without a dialog: one attempt as the
// progress dialog runs it (the check of the file, the Base Controller sent
// into its boot loader, the run), and the outcome text after it. Every front
// end of the update runs its attempts through these.
#pragma once

#include <functional>
#include <string>

#include "platform/progress.h"

namespace kv {

class HidLink;

// The update run and the check of the file before it, as functions a test
// may replace (update_run and update_check_file by default).
using UpdateFunction = int (*)(int product, const char* hexPath, ProgressHook hook, void* context);

// One attempt of the firmware update over a link. Run checks the file first:
// a file the run could not program is refused before the Base Controller is
// touched, so the tower keeps running its firmware. Only then the bootloader
// report goes out and the run starts. Either way the link is closed after.
struct UpdateAttempt {
    HidLink* link = nullptr;
    std::string hexPath;
    UpdateFunction check = nullptr;
    UpdateFunction update = nullptr;
    // Called right after the Base Controller was sent into its boot loader.
    std::function<void()> onBootloader;

    // The run's result (UPDATE_SUCCESS or a failure code); progress goes to
    // hook(context, ...).
    int Run(ProgressHook hook, void* context) const;
};

// An attempt with the given check and run (the program's own unless a test
// puts others in).
UpdateAttempt MakeUpdateAttempt(HidLink& link, const std::string& hexPath, UpdateFunction check,
                                UpdateFunction update);

// Longest outcome text, without its terminating zero.
constexpr int kUpdateOutcomeMax = 149;

// Opens the link if it is not open, writes the bootloader report and closes
// the link. A Base Controller already in its boot loader has no HID
// interface: then nothing is sent and the run finds the boot loader directly.
// True when the report was written.
bool SendBootloaderReport(HidLink& link);

// The outcome shown after a run: the success text for result 0, else the
// error code [step.result].
std::string UpdateOutcomeText(int lastStep, int result);

}  // namespace kv
