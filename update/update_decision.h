// The decisions around a firmware update, without any widget: which of the
// four faces the version dialog shows (offered, offered again, refused,
// forced), which end code its buttons give, and the fixed texts and file
// names of the update path.
#pragma once

#include <string>

#include "device/device_state.h"

namespace kv {

// Files installed beside the program.
inline constexpr const char* kFirmwareFileRelativePath = "firmware\\basis_firmware.hex";
inline constexpr const char* kReleaseNotesRelativePath = "Release_Notes.pdf";

// Message boxes of the update path.
inline constexpr const char* kFirmwareMissingText =
    "Firmware file not found.\nPlease do a re-install of Kestrivane.";
inline constexpr const char* kFirmwareMissingCaption = "Firmware Update Error";
inline constexpr const char* kReleaseNotesMissingText =
    "Release notes not found.\nPlease do a re-install of Kestrivane.";
inline constexpr const char* kReleaseNotesMissingCaption = "File Not Found Error";
// The release notes are there, but the desktop has no program to open them.
inline constexpr const char* kNoPdfViewerCaption = "Release Notes";
std::string NoPdfViewerText(const std::string& notesPath);

// Captions and texts of the version and success dialogs.
inline constexpr const char* kVersionDialogCaption = "Firmware Update";
inline constexpr const char* kSuccessDialogCaption = "Firmware Update Successful";
inline constexpr const char* kSuccessText = "Your base controller has been successfully updated.";
inline constexpr const char* kSuccessVersionLabel = "Firmware Version Base:";
inline constexpr const char* kShowReleaseNotesCaption = "SHOW RELEASE NOTES";

// End codes of the version dialog.
constexpr int kVersionDialogOk = 1;
constexpr int kVersionDialogCancel = 2;
constexpr int kVersionDialogCloseProgram = 3;

// Result the main window ends with when the user leaves through the version
// dialog.
constexpr int kMainWindowClosedForUpdate = 3;

// Base Controllers below this version are only updated with every segment
// removed.
constexpr uint8_t kSegmentsMustGoBelowVersion = 24;

// Room each text of the version dialog is formatted into, terminator included.
constexpr size_t kVersionTextRoom = 300;

// The four faces of the version dialog.
enum class VersionCase : int {
    LinkClosed = 1,      // offered, whatever the device runs
    UpToDate = 2,        // offered again with the same version
    RemoveSegments = 3,  // refused until the segments are off: EXIT only
    Mismatch = 4,        // offered, and leaving closes the program
};

// Everything the version dialog shows for one opening.
struct VersionDialogContent {
    VersionCase which = VersionCase::LinkClosed;
    std::string top;
    std::string middle;  // bold
    std::string bottom;
    bool bottomShown = true;
    std::string leftCaption;
    bool leftShown = true;
    bool centreShown = false;  // "EXIT"
    bool okShown = true;
    // Leaving through the left or centre button (or closing the dialog)
    // closes the program.
    bool exitOnClose = false;
};

// The buttons of the version dialog. Closing the dialog (Escape, close box)
// counts as the left button.
enum class VersionButton { Left, Centre, Ok };

// The face the version dialog shows for the link state and what the Base
// Controller reported (firmwareVersion[5], segmentAddress[0..5]).
VersionDialogContent DecideVersionDialog(bool linkOpen, const DeviceState& state);

// End code of a button: OK 1; the others 3 with exit-on-close, else 2.
int VersionDialogEndCode(VersionButton button, bool exitOnClose);

// The version line of the success dialog: the version just programmed.
std::string SuccessVersionText();

}  // namespace kv
