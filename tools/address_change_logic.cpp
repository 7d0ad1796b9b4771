#include "tools/address_change_logic.h"

#include <cstddef>

#include "platform/clock.h"

namespace kv {

const char* const kAcousticRefusedText = "The address of acoustic segment can not be changed.";
const char* const kAcousticRefusedCaption = "Adress Change";
const char* const kWarningCaption = "Warning";
const char* const kAddSegmentText =
    "                                                                                          "
    "           Please add a segment!";
const char* const kRemoveOthersText =
    "Please remove all other segments and push the Ok button. Only the required segment "
    "should be connected.";
const char* const kRemoveAcousticText =
    "                                                 "
    "Please remove the acoustic segment and add a LED segment!";
const char* const kAddSegmentWarning = "Please add a segment!     ";
const char* const kRemoveOthersWarning =
    "Please remove all other segments. Only the required segment should be connected.";
const char* const kAddressChangedText = "         Address has been           changed successfully!";
const char* const kSameAddressText =
    "              Same address!                Please try again!";
const char* const kTransmisionFailedText = "Transmision failed!";
const char* const kNoNewAddressText =
    "No new address to send!  Nothing was sent.\n"
    "Please put the segment directly on the Base Controller.";

namespace {

const char* const kPleaseWait = "Please wait!";

// Walks the colour positions number by number, colour by colour, and the
// sound position after each number; returns the count and leaves the kind of
// the last match in changeKind.
int CountIn(AddressChangeState& a, const DeviceState& s, bool withSound)
{
    int count = 0;
    a.changeKind = 0;
    for (int n = 1; n <= 5; ++n) {
        for (size_t k = 0; k < kColourRows; ++k) {
            for (int c = 1; c <= 5; ++c) {
                if (s.segmentAddress[k] == AddressFor(c, n)) {
                    ++count;
                    a.changeKind = static_cast<uint8_t>(c);
                }
            }
        }
        if (withSound && s.segmentAddress[kSoundRow] == AddressFor(kSoundKind, n)) {
            ++count;
            a.changeKind = kSoundKind;
        }
    }
    return count;
}

// "Current Colour:" shows the list text of a colour address, nothing for 0,
// and stays as it is for anything else.
void ShowCurrentColour(AddressChangeState& a, uint8_t address)
{
    if (IsColourAddress(address))
        a.currentColour = NewColourItemText(address);
    else if (address == 0)
        a.currentColour.clear();
}

void SendSwitchOff(uint8_t address, const ToolIo& io)
{
    io.Write(BuildSwitchReport(address, 0));
}

}  // namespace

AddressChangeState& TheAddressChangeState()
{
    static AddressChangeState state;
    return state;
}

int CountSegments(AddressChangeState& a, const DeviceState& s)
{
    return CountIn(a, s, true);
}

int CountColourSegments(AddressChangeState& a, const DeviceState& s)
{
    const int count = CountIn(a, s, false);
    if (!IsColourAddress(s.segmentAddress[0]))
        a.changeKind = 0;
    return count;
}

uint8_t FirstColourAddress(const DeviceState& s)
{
    for (size_t k = 0; k < kColourRows; ++k)
        if (IsColourAddress(s.segmentAddress[k]))
            return s.segmentAddress[k];
    return 0;
}

int CheckAddressChange(const AddressChangeState& a, const DeviceState& s)
{
    if (a.newAddress == a.submittedOldAddress)
        return 2;
    if (a.newAddress != s.segmentAddress[0] || a.newAddress == 0 || s.segmentAddress[0] == 0)
        return 1;
    return 0;
}

ChangeAddressStep DecideChangeAddress(AddressChangeState& a, const DeviceState& s, bool linkOpen)
{
    if (!linkOpen)
        return ChangeAddressStep::Nothing;
    a.changeKind = 0;
    const int count = CountSegments(a, s);
    if (count != 1)
        return ChangeAddressStep::Instructions;
    if (s.segmentAddress[kSoundRow] == kSoundAddress)
        return ChangeAddressStep::AcousticRefused;
    return ChangeAddressStep::NewColour;
}

void EndChangeAddress(AddressChangeState& a)
{
    a.changeKind = 0;
}

void OpenInstructions(AddressChangeState& a, const DeviceState& s)
{
    a.instructionText = CountSegments(a, s) == 0 ? kAddSegmentText : kRemoveOthersText;
}

bool InstructionsOk(AddressChangeState& a, const DeviceState& s)
{
    const int count = CountSegments(a, s);
    if (count == 1 && a.changeKind == kSoundKind) {
        a.instructionText = kRemoveAcousticText;
        return false;
    }
    if (count == 1)
        return true;
    if (count == 0)
        a.instructionText = kAddSegmentText;
    return false;
}

std::string NewColourItemText(uint8_t address)
{
    if (IsColourAddress(address))
        return std::string("  ") + AddressLabel(address);
    if (address >= 33 && address <= 37)
        return std::string(" ") + AddressLabel(address);
    return std::string();
}

void FillNewColourList(AddressChangeState& a, DeviceState& s, const ToolIo& io)
{
    const int kind = a.changeKind;
    for (int i = 0; i < kNewColourItems; ++i) {
        const size_t item = static_cast<size_t>(i);
        a.listItems[item] = (kind >= 1 && kind <= kSoundKind)
                                ? NewColourItemText(AddressFor(kind, i + 1))
                                : std::string();
    }
    if (kind >= 1 && kind <= kSoundKind)
        a.submitEnabled = true;
    ShowCurrentColour(a, FirstColourAddress(s));
    a.newAddress = (kind >= 1 && kind <= kSoundKind) ? AddressFor(kind, 1) : 0;
    a.listIndex = 0;
    // The segment at position 0 is switched off while its address may change.
    SendSwitchOff(s.segmentAddress[0], io);
    SetOnStateOfRow(s, 0, 0);
}

void OpenNewColour(AddressChangeState& a, DeviceState& s, const ToolIo& io, bool linkOpen)
{
    a.statusText.clear();
    a.statusTone = kToneNeutral;
    a.currentColour.clear();
    a.submitEnabled = linkOpen;
    FillNewColourList(a, s, io);
    a.shownKind = a.changeKind;
}

void SelectNewColour(AddressChangeState& a, int index)
{
    if (index < 0 || index >= kNewColourItems)
        return;
    a.listIndex = index;
    a.awaitingResult = 0;
    a.statusText = " ";
    if (a.changeKind >= 1 && a.changeKind <= 5)
        a.newAddress = AddressFor(a.changeKind, index + 1);
}

std::optional<ToolMessage> SubmitNewColour(AddressChangeState& a, const DeviceState& s,
                                           const ToolIo& io)
{
    std::optional<ToolMessage> message;
    a.statusText.clear();
    if (a.segmentCount == 0) {
        a.awaitingResult = 0;
        a.statusText = " ";
        message = ToolMessage{kAddSegmentWarning, kWarningCaption};
    } else if (a.segmentCount == 1) {
        const uint8_t old = FirstColourAddress(s);
        if (!IsColourAddress(old) || !IsColourAddress(a.newAddress)) {
            // With the only segment off position 0 the list is empty and there
            // is no new address; a report naming address 0 (or a sound
            // address) as the new one is never sent. The user is told to put
            // the segment on position 0, and "Current Colour:" names the
            // segment as it is now, not as it was when the list was filled.
            a.awaitingResult = 0;
            a.statusTone = kToneFailure;
            a.statusText = kNoNewAddressText;
            ShowCurrentColour(a, old);
        } else {
            a.awaitingResult = 1;
            a.submittedOldAddress = old;
            if (old != a.newAddress) {
                io.Write(BuildAddressChangeReport(old, a.newAddress));
                SleepMs(kAddressChangeWaitMs);
            }
            a.statusTone = kToneNeutral;
            a.statusText = kPleaseWait;
        }
    } else {
        a.awaitingResult = 0;
        message = ToolMessage{kRemoveOthersWarning, kWarningCaption};
    }
    a.verifyTicks = 0;
    return message;
}

std::optional<ToolMessage> NewColourTick(AddressChangeState& a, DeviceState& s, const ToolIo& io)
{
    const int r = CheckAddressChange(a, s);
    if (a.awaitingResult == 1) {
        if (r == 0) {
            a.statusTone = kToneSuccess;
            a.statusText = kAddressChangedText;
            ShowCurrentColour(a, s.segmentAddress[0]);
            a.awaitingResult = 0;
        } else if (r == 1) {
            if (a.verifyTicks >= kAddressChangeVerifyLimit) {
                a.statusTone = kToneFailure;
                a.statusText = kTransmisionFailedText;
                a.verifyTicks = 0;
                a.awaitingResult = 0;
            }
            ++a.verifyTicks;
        } else {
            a.statusTone = kToneWarning;
            a.statusText = kSameAddressText;
            a.awaitingResult = 0;
        }
    }
    a.segmentCount = static_cast<uint8_t>(CountColourSegments(a, s));
    if (a.segmentCount > 1) {
        if (a.multipleWarned == 0) {
            a.multipleWarned = 1;
            a.statusText = " ";
            return ToolMessage{kRemoveOthersWarning, kWarningCaption};
        }
        return std::nullopt;
    }
    a.multipleWarned = 0;
    if (a.segmentCount == 0)
        a.statusText = " ";
    if (a.changeKind != a.shownKind) {
        FillNewColourList(a, s, io);
        a.shownKind = a.changeKind;
    }
    if (a.statusText == kNoNewAddressText) {
        // The advice stands until the segment sits on position 0; beside it
        // "Current Colour:" follows the segment the user moves around.
        if (a.changeKind != 0)
            a.statusText = " ";
        else
            ShowCurrentColour(a, FirstColourAddress(s));
    }
    return std::nullopt;
}

void CloseNewColour(AddressChangeState& a)
{
    a.shownKind = kNoKindShown;
}

}  // namespace kv
