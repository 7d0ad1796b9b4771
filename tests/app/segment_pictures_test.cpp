#include "app/segment_pictures.h"

#include <gtest/gtest.h>

#include <utility>

namespace kv {
namespace {

constexpr uint32_t kBlack = 0x000000;
constexpr uint32_t kRim = 0xFAFAFA;
constexpr uint32_t kWhite = 0xFFFFFF;

// Outline on the left, right and top, the rim band rows 1..11, the black row
// 12, and no bottom line.
void ExpectSegmentFrame(const Picture& p)
{
    ASSERT_EQ(p.width, 100);
    ASSERT_EQ(p.height, 60);
    for (int x = 0; x < 100; ++x) {
        EXPECT_EQ(p.At(x, 0), kBlack) << x;
        EXPECT_EQ(p.At(x, 12), kBlack) << x;
    }
    for (int y = 0; y < 60; ++y) {
        EXPECT_EQ(p.At(0, y), kBlack) << y;
        EXPECT_EQ(p.At(99, y), kBlack) << y;
    }
    for (int y = 1; y <= 11; ++y)
        for (int x = 1; x <= 98; ++x)
            ASSERT_EQ(p.At(x, y), kRim) << x << "," << y;
    EXPECT_NE(p.At(50, 59), kBlack);
}

TEST(SegmentPictures, ColourSegmentsAndTheEmptyPosition)
{
    const std::pair<TowerPicture, uint32_t> cases[] = {
        {{PictureKind::ColourOn, SegmentColour::Red}, 0xFF0000},
        {{PictureKind::ColourOff, SegmentColour::Red}, 0xFF8080},
        {{PictureKind::ColourOn, SegmentColour::Yellow}, 0xFFFF00},
        {{PictureKind::ColourOff, SegmentColour::Yellow}, 0xFEFFD3},
        {{PictureKind::ColourOn, SegmentColour::Green}, 0x00FF00},
        {{PictureKind::ColourOff, SegmentColour::Green}, 0xC0FFC0},
        {{PictureKind::ColourOn, SegmentColour::Blue}, 0x4040FF},
        {{PictureKind::ColourOff, SegmentColour::Blue}, 0xC0C0FF},
        {{PictureKind::ColourOn, SegmentColour::White}, 0xFFFFFF},
        {{PictureKind::ColourOff, SegmentColour::White}, 0xDCDCDC},
        {{}, 0xF0F0F0},
    };
    for (const auto& [picture, body] : cases) {
        SCOPED_TRACE(body);
        const Picture p = DrawTowerPicture(picture);
        ExpectSegmentFrame(p);
        for (int y = 13; y < 60; ++y)
            for (int x = 1; x <= 98; ++x)
                ASSERT_EQ(p.At(x, y), body) << x << "," << y;
    }
}

int Count(const Picture& p, uint32_t colour)
{
    int n = 0;
    for (int y = 13; y < 60; ++y)
        for (int x = 1; x <= 98; ++x)
            n += p.At(x, y) == colour ? 1 : 0;
    return n;
}

int Brightness(uint32_t rgb) { return ((rgb >> 16) & 0xFF) + ((rgb >> 8) & 0xFF) + (rgb & 0xFF); }

TEST(SegmentPictures, LoudspeakerWithAndWithoutWaves)
{
    const Picture on = DrawTowerPicture({PictureKind::SoundOn, SegmentColour::Red});
    const Picture off = DrawTowerPicture({PictureKind::SoundOff, SegmentColour::Red});
    ExpectSegmentFrame(on);
    ExpectSegmentFrame(off);

    // Grille: dark when on, light when off.
    EXPECT_LT(Brightness(on.At(90, 20)), 3 * 0x60);
    EXPECT_GT(Brightness(off.At(90, 20)), 3 * 0xB0);

    // The speaker's magnet is filled white when on, and only outlined when
    // off; the waves lie on the axis to the right of the cone.
    EXPECT_EQ(on.At(33, 36), kWhite);
    EXPECT_NE(off.At(33, 36), kWhite);
    EXPECT_GT(Brightness(off.At(33, 36)), 3 * 0xB0);  // the grille shows through
    EXPECT_EQ(off.At(30, 36), 0x7A7A7Au);
    for (int x : {55, 61, 67}) {
        EXPECT_EQ(on.At(x, 36), kWhite) << x;
        EXPECT_NE(off.At(x, 36), kWhite) << x;
    }
    EXPECT_EQ(Count(off, kWhite), 0);
    EXPECT_GT(Count(on, kWhite), 150);
}

TEST(SegmentPictures, BaseIsOutlinedAllRound)
{
    const Picture p = DrawBase();
    ASSERT_EQ(p.width, 100);
    ASSERT_EQ(p.height, 13);
    for (int x = 0; x < 100; ++x) {
        EXPECT_EQ(p.At(x, 0), kBlack);
        EXPECT_EQ(p.At(x, 12), kBlack);
    }
    for (int y = 0; y < 13; ++y) {
        EXPECT_EQ(p.At(0, y), kBlack);
        EXPECT_EQ(p.At(99, y), kBlack);
    }
    for (int y = 1; y <= 11; ++y)
        for (int x = 1; x <= 98; ++x)
            ASSERT_EQ(p.At(x, y), kRim);
}

}  // namespace
}  // namespace kv
