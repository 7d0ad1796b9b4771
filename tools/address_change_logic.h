// Address change: the "&Change Address" menu decision, the instruction dialog
// that asks for exactly one colour segment, and the New Colour dialog that
// sends the address change report and watches the tower for the new address.
// One working state for the whole run, shared by the three.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "device/device_state.h"
#include "tools/tool_common_logic.h"

namespace kv {

constexpr int kNewColourItems = 5;
constexpr int kNewColourTickMs = 250;
constexpr uint32_t kAddressChangeWaitMs = 100;
// Ticks that may pass unconfirmed; the next one reports the failure.
constexpr uint8_t kAddressChangeVerifyLimit = 10;
constexpr uint8_t kNoKindShown = 255;
constexpr uint8_t kSoundKind = 6;

extern const char* const kAcousticRefusedText;     // the menu's message box
extern const char* const kAcousticRefusedCaption;  // "Adress Change"
extern const char* const kWarningCaption;          // "Warning"
extern const char* const kAddSegmentText;          // 101 blanks + "Please add a segment!"
extern const char* const kRemoveOthersText;        // instruction dialog
extern const char* const kRemoveAcousticText;      // 49 blanks + ...
extern const char* const kAddSegmentWarning;       // "Please add a segment!     "
extern const char* const kRemoveOthersWarning;
extern const char* const kAddressChangedText;
extern const char* const kSameAddressText;
extern const char* const kTransmisionFailedText;
extern const char* const kNoNewAddressText;

struct AddressChangeState {
    uint8_t changeKind = 0;  // 0 none, 1..5 colour index, 6 sound
    uint8_t segmentCount = 0;
    uint8_t newAddress = 0;
    uint8_t submittedOldAddress = 0;
    uint8_t awaitingResult = 0;
    uint8_t multipleWarned = 0;
    uint8_t shownKind = kNoKindShown;
    uint8_t statusTone = kToneNeutral;
    uint8_t verifyTicks = 0;

    // What the instruction dialog shows.
    std::string instructionText;
    // What the New Colour dialog shows.
    std::array<std::string, kNewColourItems> listItems{};
    int listIndex = -1;
    std::string currentColour;
    std::string statusText;
    bool submitEnabled = true;
};

// The program's one instance.
AddressChangeState& TheAddressChangeState();

// Colour positions holding a colour address, plus one when the sound position
// holds 33..37; changeKind becomes the kind of the last match.
int CountSegments(AddressChangeState& a, const DeviceState& s);
// The same over the colour positions only; changeKind is forced to 0 when
// position 0 holds no colour address.
int CountColourSegments(AddressChangeState& a, const DeviceState& s);
// Address of the first colour position that holds a colour address, or 0.
uint8_t FirstColourAddress(const DeviceState& s);
// 2 same address, 1 not yet, 0 confirmed.
int CheckAddressChange(const AddressChangeState& a, const DeviceState& s);

// What the "&Change Address" menu command opens.
enum class ChangeAddressStep {
    Nothing,          // link closed
    Instructions,     // CChangeAddress
    AcousticRefused,  // message box, caption "Adress Change"
    NewColour,        // CNEWSEGMENT
};
ChangeAddressStep DecideChangeAddress(AddressChangeState& a, const DeviceState& s, bool linkOpen);
// After the dialog or the message box has closed.
void EndChangeAddress(AddressChangeState& a);

// Instruction dialog.
void OpenInstructions(AddressChangeState& a, const DeviceState& s);
// OK: true when the instruction dialog closes and the New Colour dialog runs.
bool InstructionsOk(AddressChangeState& a, const DeviceState& s);

// New Colour dialog.
// The list item text of an address for the kind's list ("  Green 2").
std::string NewColourItemText(uint8_t address);
void FillNewColourList(AddressChangeState& a, DeviceState& s, const ToolIo& io);
void OpenNewColour(AddressChangeState& a, DeviceState& s, const ToolIo& io, bool linkOpen);
void SelectNewColour(AddressChangeState& a, int index);
std::optional<ToolMessage> SubmitNewColour(AddressChangeState& a, const DeviceState& s,
                                           const ToolIo& io);
std::optional<ToolMessage> NewColourTick(AddressChangeState& a, DeviceState& s,
                                         const ToolIo& io);
// The New Colour dialog is gone: its next opening fills the list again.
void CloseNewColour(AddressChangeState& a);

}  // namespace kv
