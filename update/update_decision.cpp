#include "update/update_decision.h"

#include <array>
#include <cstdio>

#include "device/version.h"

namespace kv {
namespace {

// Each text goes through a buffer of fixed room, as the dialog keeps it; a
// longer one is cut, never overrun.
std::string Format1(const char* format, const std::string& a)
{
    std::array<char, kVersionTextRoom> buffer{};
    std::snprintf(buffer.data(), buffer.size(), format, a.c_str());
    return std::string(buffer.data());
}

std::string Format2(const char* format, const std::string& a, const std::string& b)
{
    std::array<char, kVersionTextRoom> buffer{};
    std::snprintf(buffer.data(), buffer.size(), format, a.c_str(), b.c_str());
    return std::string(buffer.data());
}

bool AnySegmentAttached(const DeviceState& state)
{
    for (int i = 0; i < kColourRows; ++i)
        if (state.segmentAddress[static_cast<size_t>(i)] != 0)
            return true;
    // Only the first acoustic address counts for the sound position.
    return state.segmentAddress[kSoundRow] == kSoundAddress;
}

}  // namespace

VersionDialogContent DecideVersionDialog(bool linkOpen, const DeviceState& state)
{
    const std::string program = FormatVersion(ProgramVersion);
    const uint8_t device = state.firmwareVersion[kBaseControllerSlot];
    VersionDialogContent c;

    if (!linkOpen) {
        c.which = VersionCase::LinkClosed;
        c.top = "Press OK to update your Base Controller to version:";
        c.middle = Format1("%s\n\nPlease Note:", program);
        c.bottom =
            "If you expect your Base Controller running an older version than v2.4:\n"
            "\t- please remove all segments before running the update\n"
            "\t- please ensure your nelo is connected to an USB2.0 port";
        c.leftCaption = "Cancel";
        c.exitOnClose = false;
        return c;
    }
    if (device == ProgramVersion) {
        c.which = VersionCase::UpToDate;
        c.top =
            "The firmware of your Base Controller is up to date.\n"
            "Press OK to update with the same version:";
        c.middle = Format1("v%s", program);
        c.bottom.clear();
        c.bottomShown = false;
        c.leftCaption = "Cancel";
        c.exitOnClose = false;
        return c;
    }
    if (device < kSegmentsMustGoBelowVersion && AnySegmentAttached(state)) {
        c.which = VersionCase::RemoveSegments;
        c.top = "The firmware of your Base Controller would need to be updated:";
        c.middle = Format2("from v%s to v%s\n\nWhat you need to do before is:",
                           FormatVersion(device), program);
        c.bottom =
            "Remove all segments from Base Controller.\nand\n"
            "Ensure your nelo is connected to an USB2.0 port.";
        c.leftShown = false;
        c.centreShown = true;
        c.okShown = false;
        c.exitOnClose = true;
        return c;
    }
    c.which = VersionCase::Mismatch;
    c.top =
        "The firmware of your Base Controller does not match.\n"
        "Press OK to update your Base Controller:";
    c.middle = Format2("from v%s to v%s", FormatVersion(device), program);
    c.bottom = "Press EXIT to close the application.";
    c.leftCaption = "EXIT";
    c.exitOnClose = true;
    return c;
}

int VersionDialogEndCode(VersionButton button, bool exitOnClose)
{
    if (button == VersionButton::Ok)
        return kVersionDialogOk;
    return exitOnClose ? kVersionDialogCloseProgram : kVersionDialogCancel;
}

std::string SuccessVersionText() { return FormatVersion(ProgramVersion); }

std::string NoPdfViewerText(const std::string& notesPath)
{
    return "No program to open PDF files was found, so the release notes cannot be shown.\n"
           "Install a PDF viewer, or open the file yourself:\n" +
           notesPath;
}

}  // namespace kv
