// The two things the progress dialog does around the update run, without the
// dialog: sending the Base Controller into its boot loader before the run,
// and the outcome text after it. Every front end of the update uses these.
#pragma once

#include <string>

namespace kv {

class HidLink;

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
