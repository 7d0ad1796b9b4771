// The pictures of the tower, drawn pixel by pixel: the colour segments (full
// and pale), the empty position, the sound segment with and without waves and
// the base. 24-bit colours as 0xRRGGBB.
#pragma once

#include <cstdint>
#include <vector>

#include "session/window_model.h"

namespace kv {

constexpr int kSegmentWidth = 100;
constexpr int kSegmentHeight = 60;
constexpr int kBaseHeight = 13;

// Rows of a segment picture: outline on top, rim band, a black line, body.
constexpr int kRimFirstRow = 1;
constexpr int kRimLastRow = 11;
constexpr int kRimLineRow = 12;
constexpr int kBodyFirstRow = 13;

constexpr uint32_t kOutlineColour = 0x000000;
constexpr uint32_t kRimColour = 0xFAFAFA;
constexpr uint32_t kEmptyBodyColour = 0xF0F0F0;

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;  // row by row

    Picture(int w, int h, uint32_t fill);
    uint32_t At(int x, int y) const;
    void Set(int x, int y, uint32_t colour);
};

// Body colour of a colour segment, switched on (full) or off (pale).
uint32_t BodyColour(SegmentColour colour, bool on);

// The picture for what a position shows.
Picture DrawTowerPicture(const TowerPicture& what);
Picture DrawColourSegment(SegmentColour colour, bool on);
Picture DrawEmptySegment();
Picture DrawSoundSegment(bool on);
Picture DrawBase();

}  // namespace kv
