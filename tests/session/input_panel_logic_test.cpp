#include "session/input_panel_logic.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

class InputPanelTest : public ::testing::Test {
protected:
    InputPanelTest() : panel(state, model) { panel.ResetInputPanel(); }

    const InputRowModel& Line(int r) const { return model.input[static_cast<size_t>(r)]; }

    DeviceState state;
    WindowModel model;
    InputPanelLogic panel;
};

TEST_F(InputPanelTest, ShowColourSegmentDrawsTheAddressColour)
{
    struct Case {
        uint8_t address;
        bool on;
        SegmentColour colour;
        const char* name;
    };
    const Case cases[] = {
        {30, true, SegmentColour::White, "White 3"},   {8, false, SegmentColour::Red, "Red 1"},
        {17, true, SegmentColour::Yellow, "Yellow 5"}, {18, false, SegmentColour::Green, "Green 1"},
        {27, true, SegmentColour::Blue, "Blue 5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int{c.address});
        WindowModel fresh;
        model = fresh;
        panel.ResetInputPanel();
        panel.ShowColourSegment(3, c.address, c.on);
        EXPECT_EQ(Line(3).picture,
                  (TowerPicture{c.on ? PictureKind::ColourOn : PictureKind::ColourOff, c.colour}));
        EXPECT_EQ(Line(3).name, c.name);
        EXPECT_TRUE(Line(3).buttonEnabled);
        EXPECT_EQ(Line(3).caption, c.on ? "Off" : "On");
        EXPECT_EQ(state.pictureAddress[3], c.address);
        EXPECT_EQ(state.segmentFound[3], 1);
    }
}

TEST_F(InputPanelTest, PressingARowSwitchesItsSegmentOnAndOff)
{
    state.segmentAddress[1] = 14;
    panel.ShowColourSegment(1, 14, false);
    model.messageLine = "Successfull send to segment(s)";

    EXPECT_TRUE(panel.OnRowSwitch(1));
    EXPECT_EQ(Line(1).picture, (TowerPicture{PictureKind::ColourOn, SegmentColour::Yellow}));
    EXPECT_EQ(Line(1).caption, "Off");
    EXPECT_EQ(state.onState[14], 1);
    EXPECT_EQ(model.messageLine, " ");

    EXPECT_TRUE(panel.OnRowSwitch(1));
    EXPECT_EQ(Line(1).picture, (TowerPicture{PictureKind::ColourOff, SegmentColour::Yellow}));
    EXPECT_EQ(Line(1).caption, "On");
    EXPECT_EQ(state.onState[14], 0);
}

TEST_F(InputPanelTest, APressWithoutASegmentChangesNothing)
{
    const WindowModel before = model;
    const DeviceState stateBefore = state;
    EXPECT_FALSE(panel.OnRowSwitch(0));
    EXPECT_FALSE(panel.OnSoundSwitch());
    EXPECT_FALSE(panel.OnRowSwitch(5));   // not a colour row
    EXPECT_FALSE(panel.OnRowSwitch(-1));
    EXPECT_TRUE(model == before);
    EXPECT_EQ(state.onState, stateBefore.onState);

    // Acoustic 2..5 are shown but never switched from the row.
    state.segmentAddress[kSoundRow] = 34;
    EXPECT_FALSE(panel.OnSoundSwitch());
    EXPECT_EQ(state.onState[34], 0);
}

TEST_F(InputPanelTest, ASegmentKeepsItsStateWhenItMoves)
{
    state.segmentAddress[0] = 9;
    panel.ShowColourSegment(0, 9, false);
    ASSERT_TRUE(panel.OnRowSwitch(0));

    // Red 2 moves from position 0 to position 2.
    state.segmentAddress[0] = 0;
    state.segmentAddress[2] = 9;
    panel.ShowNoColourSegment(0);
    panel.ShowColourSegment(2, 9, OnStateOfRow(state, 2) != 0);
    EXPECT_EQ(Line(2).picture, (TowerPicture{PictureKind::ColourOn, SegmentColour::Red}));
    EXPECT_EQ(Line(2).caption, "Off");
    EXPECT_EQ(Line(0).picture, TowerPicture{});
    EXPECT_EQ(Line(0).caption, "On");
    EXPECT_FALSE(Line(0).buttonEnabled);
    EXPECT_EQ(state.segmentFound[0], 0);

    // The next press at the new position switches it off.
    ASSERT_TRUE(panel.OnRowSwitch(2));
    EXPECT_EQ(state.onState[9], 0);
    EXPECT_EQ(Line(2).caption, "On");
}

TEST_F(InputPanelTest, APictureAddressOutsideTheColoursLeavesThePicture)
{
    state.segmentAddress[4] = 40;
    state.pictureAddress[4] = 40;
    const TowerPicture before = Line(4).picture;
    EXPECT_TRUE(panel.OnRowSwitch(4));
    EXPECT_EQ(state.onState[40], 1);
    EXPECT_EQ(Line(4).caption, "Off");
    EXPECT_EQ(Line(4).picture, before);
}

TEST_F(InputPanelTest, SoundRowShowsAndSwitchesTheLoudspeaker)
{
    state.segmentAddress[kSoundRow] = 33;
    panel.ShowSoundSegment(false);
    EXPECT_EQ(Line(kSoundRow).picture.kind, PictureKind::SoundOff);
    EXPECT_TRUE(Line(kSoundRow).buttonEnabled);
    EXPECT_EQ(state.segmentFound[kSoundRow], 1);

    EXPECT_TRUE(panel.OnSoundSwitch());
    EXPECT_EQ(Line(kSoundRow).picture.kind, PictureKind::SoundOn);
    EXPECT_EQ(Line(kSoundRow).caption, "Off");
    EXPECT_EQ(state.onState[33], 1);
    EXPECT_TRUE(panel.OnSoundSwitch());
    EXPECT_EQ(Line(kSoundRow).picture.kind, PictureKind::SoundOff);
    EXPECT_EQ(Line(kSoundRow).caption, "On");

    panel.ShowNoSoundSegment();
    EXPECT_EQ(Line(kSoundRow).picture, TowerPicture{});
    EXPECT_FALSE(Line(kSoundRow).buttonEnabled);
    EXPECT_EQ(state.segmentFound[kSoundRow], 0);
}

TEST_F(InputPanelTest, ResetEmptiesEveryPositionButKeepsButtonsAndFoundMarks)
{
    state.segmentAddress[kSoundRow] = 33;
    for (int r = 0; r < kColourRows; ++r)
        panel.ShowColourSegment(r, static_cast<uint8_t>(8 + 5 * r), true);
    panel.ShowSoundSegment(true);
    panel.OnSoundSwitch();
    panel.ResetInputPanel();
    for (int r = 0; r < kRows; ++r) {
        EXPECT_EQ(Line(r).picture, TowerPicture{});
        EXPECT_EQ(Line(r).name, "");
        EXPECT_EQ(Line(r).caption, "On");
        EXPECT_TRUE(Line(r).buttonEnabled);
        EXPECT_EQ(state.segmentFound[static_cast<size_t>(r)], 1);
    }
}

}  // namespace
}  // namespace kv
