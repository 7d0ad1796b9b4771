#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/clock.h"
#include "tool_test_support.h"
#include "tools/address_change_logic.h"

namespace kv {
namespace {

using Stack = std::array<uint8_t, 6>;

TEST(AddressChangeCounts, AddressOfEachKindAndNumber)
{
    // Kinds 1..5 (colours) and 6 (sound), numbers 1..5, give 8..37 in turn;
    // every other kind and number gives no address.
    std::vector<int> addresses, expected;
    for (int c = -1; c <= 7; ++c)
        for (int n = -1; n <= 6; ++n)
            if (AddressFor(c, n) != 0)
                addresses.push_back(AddressFor(c, n));
    for (int a = 8; a <= 37; ++a)
        expected.push_back(a);
    EXPECT_EQ(addresses, expected);
}

TEST(AddressChangeCounts, CountsAndKindsOfEachStack)
{
    struct Case {
        Stack stack;
        int count, kind;          // CountSegments
        int colourCount, colourKind;  // CountColourSegments
    };
    const Case cases[] = {
        {{0, 0, 0, 0, 0, 0}, 0, 0, 0, 0},
        {{19, 0, 0, 0, 0, 0}, 1, 3, 1, 3},
        {{0, 0, 0, 0, 0, 33}, 1, 6, 0, 0},
        {{0, 0, 0, 0, 0, 36}, 1, 6, 0, 0},
        // Numbers first: Green 2 comes after Acoustic 1.
        {{19, 0, 0, 0, 0, 33}, 2, 3, 1, 3},
        {{8, 0, 0, 0, 0, 34}, 2, 6, 1, 1},
        // Same number: the later position decides the kind.
        {{10, 25, 0, 0, 0, 0}, 2, 4, 2, 4},
        // Higher number wins over earlier position.
        {{29, 8, 0, 0, 0, 0}, 2, 5, 2, 5},
        // The only colour segment off position 0: no kind for the New Colour list.
        {{0, 19, 0, 0, 0, 0}, 1, 3, 1, 0},
        // Bytes that are no segment addresses.
        {{7, 33, 38, 255, 0, 32}, 0, 0, 0, 0},
        {{12, 0, 0, 0, 0, 7}, 1, 1, 1, 1},
    };
    for (const Case& c : cases) {
        DeviceState s;
        s.segmentAddress = c.stack;
        AddressChangeState a;
        a.changeKind = 99;
        EXPECT_EQ(CountSegments(a, s), c.count) << int(c.stack[0]) << "," << int(c.stack[1]);
        EXPECT_EQ(a.changeKind, c.kind) << int(c.stack[0]) << "," << int(c.stack[1]);
        a.changeKind = 99;
        EXPECT_EQ(CountColourSegments(a, s), c.colourCount);
        EXPECT_EQ(a.changeKind, c.colourKind) << int(c.stack[0]) << "," << int(c.stack[1]);
    }
}

TEST(AddressChangeCounts, FirstColourAddressSkipsWhatIsNoColour)
{
    DeviceState s;
    s.segmentAddress = {0, 50, 33, 19, 8, 0};
    EXPECT_EQ(FirstColourAddress(s), 19);
    s.segmentAddress = {0, 0, 0, 0, 0, 33};
    EXPECT_EQ(FirstColourAddress(s), 0);
}

TEST(AddressChangeMenu, TheConnectedSegmentsDecideWhatOpens)
{
    struct Case {
        Stack stack;
        bool linkOpen;
        ChangeAddressStep step;
    };
    const Case cases[] = {
        {{19, 0, 0, 0, 0, 0}, false, ChangeAddressStep::Nothing},
        {{0, 0, 0, 0, 0, 0}, true, ChangeAddressStep::Instructions},
        {{19, 13, 0, 0, 0, 0}, true, ChangeAddressStep::Instructions},
        {{19, 0, 0, 0, 0, 33}, true, ChangeAddressStep::Instructions},
        {{0, 0, 0, 0, 0, 33}, true, ChangeAddressStep::AcousticRefused},
        {{19, 0, 0, 0, 0, 0}, true, ChangeAddressStep::NewColour},
    };
    for (const Case& c : cases) {
        DeviceState s;
        s.segmentAddress = c.stack;
        AddressChangeState a;
        EXPECT_EQ(DecideChangeAddress(a, s, c.linkOpen), c.step) << int(c.stack[0]);
        EndChangeAddress(a);
        EXPECT_EQ(a.changeKind, 0);
    }
}

TEST(AddressChangeInstructions, TextsFollowTheSegmentsOnEachOk)
{
    DeviceState s;
    AddressChangeState a;
    OpenInstructions(a, s);
    EXPECT_EQ(a.instructionText, std::string(101, ' ') + "Please add a segment!");

    s.segmentAddress = {19, 0, 0, 0, 0, 33};
    OpenInstructions(a, s);
    const std::string removeOthers =
        "Please remove all other segments and push the Ok button. Only the required segment "
        "should be connected.";
    EXPECT_EQ(a.instructionText, removeOthers);
    EXPECT_FALSE(InstructionsOk(a, s));  // still two: nothing changes
    EXPECT_EQ(a.instructionText, removeOthers);

    s.segmentAddress = {0, 0, 0, 0, 0, 33};
    EXPECT_FALSE(InstructionsOk(a, s));
    EXPECT_EQ(a.instructionText,
              std::string(49, ' ') + "Please remove the acoustic segment and add a LED segment!");

    s.segmentAddress = {0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(InstructionsOk(a, s));
    EXPECT_EQ(a.instructionText, std::string(101, ' ') + "Please add a segment!");

    s.segmentAddress = {24, 0, 0, 0, 0, 0};
    EXPECT_TRUE(InstructionsOk(a, s));
    EXPECT_EQ(a.changeKind, 4);
}

class NewColour : public ::testing::Test {
protected:
    void SetUp() override
    {
        device.segmentAddress = {19, 0, 0, 0, 0, 0};  // a single Green 2
        device.onState[19] = 1;
        ASSERT_EQ(DecideChangeAddress(a, device, true), ChangeAddressStep::NewColour);
        OpenNewColour(a, device, rec.io, true);
    }
    std::optional<ToolMessage> Tick() { return NewColourTick(a, device, rec.io); }

    ScopedVirtualClock clock;
    DeviceState device;
    AddressChangeState a;
    test::RecordingIo rec;
};

TEST_F(NewColour, OpeningSwitchesTheSegmentOff)
{
    ASSERT_EQ(rec.written.size(), 1u);
    EXPECT_EQ(rec.written[0], (Report{0, 19, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 4}));
    EXPECT_EQ(device.onState[19], 0);
}

TEST_F(NewColour, ChoosingTheCurrentAddressSendsNothingAndAnswersSameAddress)
{
    Tick();
    SelectNewColour(a, 1);  // "  Green 2"
    EXPECT_EQ(a.newAddress, 19);
    SubmitNewColour(a, device, rec.io);
    EXPECT_TRUE(rec.OfType(5).empty());
    Tick();
    EXPECT_EQ(a.statusTone, kToneWarning);
    EXPECT_EQ(a.statusText, "              Same address!                Please try again!");
}

TEST_F(NewColour, AnUnconfirmedChangeIsGivenUpOnTheEleventhTick)
{
    Tick();
    SelectNewColour(a, 4);
    SubmitNewColour(a, device, rec.io);
    for (int tick = 1; tick <= 10; ++tick) {
        Tick();
        ASSERT_EQ(a.statusText, "Please wait!") << "tick " << tick;
    }
    Tick();
    EXPECT_EQ(a.statusText, "Transmision failed!");
    EXPECT_EQ(a.statusTone, kToneFailure);
    EXPECT_EQ(a.awaitingResult, 0);
}

TEST_F(NewColour, ChoosingAnotherItemEndsTheWaitWithoutAResult)
{
    Tick();
    SubmitNewColour(a, device, rec.io);
    SelectNewColour(a, 2);
    EXPECT_EQ(a.statusText, " ");
    for (int tick = 0; tick < 15; ++tick)
        Tick();
    EXPECT_EQ(a.statusText, " ");
}

TEST_F(NewColour, SubmitWithTwoSegmentsOnlyWarns)
{
    device.segmentAddress[1] = 13;
    auto warning = Tick();
    ASSERT_TRUE(warning);
    EXPECT_EQ(warning->caption, "Warning");
    EXPECT_EQ(warning->text,
              "Please remove all other segments. Only the required segment should be connected.");
    auto msg = SubmitNewColour(a, device, rec.io);
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->text, warning->text);
    EXPECT_EQ(a.awaitingResult, 0);
    EXPECT_TRUE(rec.OfType(5).empty());
}

TEST_F(NewColour, ARemovedSegmentEmptiesTheListAndSubmitAsksForASegment)
{
    rec.written.clear();
    device.segmentAddress[0] = 0;
    Tick();
    EXPECT_EQ(a.statusText, " ");
    EXPECT_EQ(a.listItems, (std::array<std::string, 5>{}));
    EXPECT_EQ(a.newAddress, 0);
    EXPECT_EQ(a.currentColour, "");
    ASSERT_EQ(rec.written.size(), 1u);
    EXPECT_EQ(rec.written[0], (Report{0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 4}));

    auto msg = SubmitNewColour(a, device, rec.io);
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->text, "Please add a segment!     ");
    EXPECT_EQ(msg->caption, "Warning");
    EXPECT_EQ(rec.written.size(), 1u);

    // Another segment put on: the list follows its colour.
    device.segmentAddress[0] = 23;
    Tick();
    EXPECT_EQ(a.listItems[0], "  Blue 1");
    EXPECT_EQ(a.currentColour, "  Blue 1");
    EXPECT_EQ(rec.written.back(), (Report{0, 23, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 4}));
}

TEST(NewColourSwitchOff, FillingTheListSwitchesOffWhatSitsAtPositionZero)
{
    struct Case {
        Stack stack;
        uint8_t switchedOff;
    };
    const Case cases[] = {
        {{19, 0, 0, 0, 0, 0}, 19},
        {{0, 19, 0, 0, 0, 0}, 0},  // position 0 empty: address 0, as the tower has it
        {{24, 8, 0, 0, 0, 33}, 24},
        {{40, 12, 0, 0, 0, 0}, 40},
    };
    for (const Case& c : cases) {
        ScopedVirtualClock clock;
        test::RecordingIo rec;
        DeviceState s;
        s.segmentAddress = c.stack;
        s.onState.fill(1);
        AddressChangeState a;
        CountColourSegments(a, s);
        OpenNewColour(a, s, rec.io, true);
        ASSERT_EQ(rec.written.size(), 1u) << int(c.stack[0]);
        EXPECT_EQ(rec.written[0], (Report{0, c.switchedOff, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 4}))
            << int(c.stack[0]);
        // Recorded as off is the segment at position 0, and only that one.
        EXPECT_EQ(s.onState[c.stack[0]], c.stack[0] == 0 ? 1 : 0) << int(c.stack[0]);
        EXPECT_EQ(s.onState[c.stack[1]], 1) << int(c.stack[0]);
    }
}

TEST(NewColourSafety, NoReportNamesAddressZeroOrASoundAddressAsTheNewOne)
{
    ScopedVirtualClock clock;
    test::RecordingIo rec;

    // The only colour segment sits at position 1.
    DeviceState s;
    s.segmentAddress = {0, 19, 0, 0, 0, 0};
    AddressChangeState a;
    ASSERT_EQ(DecideChangeAddress(a, s, true), ChangeAddressStep::NewColour);
    OpenNewColour(a, s, rec.io, true);
    NewColourTick(a, s, rec.io);
    ASSERT_EQ(a.segmentCount, 1);
    ASSERT_EQ(a.newAddress, 0);
    // Swapped for another segment, still off position 0: the list (empty)
    // is not filled again, so "Current Colour:" would still name Green 2.
    s.segmentAddress = {0, 0, 26, 0, 0, 0};
    NewColourTick(a, s, rec.io);
    EXPECT_FALSE(SubmitNewColour(a, s, rec.io));
    EXPECT_TRUE(rec.OfType(5).empty());
    EXPECT_EQ(a.awaitingResult, 0);
    EXPECT_EQ(a.statusTone, kToneFailure);
    EXPECT_EQ(a.statusText,
              "No new address to send!  Nothing was sent.\n"
              "Please put the segment directly on the Base Controller.");
    EXPECT_EQ(a.currentColour, "  Blue 4");

    // While the advice stands, "Current Colour:" follows the segment.
    s.segmentAddress = {0, 0, 0, 19, 0, 0};
    NewColourTick(a, s, rec.io);
    EXPECT_EQ(a.currentColour, "  Green 2");
    EXPECT_EQ(a.statusText, kNoNewAddressText);
    // Put on the Base Controller directly: the advice is done with.
    s.segmentAddress = {19, 0, 0, 0, 0, 0};
    NewColourTick(a, s, rec.io);
    EXPECT_EQ(a.statusText, " ");
    EXPECT_EQ(a.listItems[0], "  Green 1");
    EXPECT_EQ(a.currentColour, "  Green 2");

    // A lone sound segment at another acoustic address reaches the dialog
    // with the sound list; Submit must not send 0 -> 33 either.
    DeviceState sound;
    sound.segmentAddress = {0, 0, 0, 0, 0, 34};
    AddressChangeState b;
    ASSERT_EQ(DecideChangeAddress(b, sound, true), ChangeAddressStep::NewColour);
    OpenNewColour(b, sound, rec.io, true);
    EXPECT_EQ(b.listItems[0], " Acoustic 1");
    EXPECT_EQ(b.newAddress, 33);
    b.segmentCount = 1;  // left from an earlier opening
    SubmitNewColour(b, sound, rec.io);
    EXPECT_TRUE(rec.OfType(5).empty());
    // Opened again, the dialog starts without the refusal.
    ASSERT_EQ(b.statusTone, kToneFailure);
    OpenNewColour(b, sound, rec.io, true);
    EXPECT_EQ(b.statusText, "");
    EXPECT_EQ(b.statusTone, kToneNeutral);
}

}  // namespace
}  // namespace kv
