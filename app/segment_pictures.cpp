#include "app/segment_pictures.h"

#include <array>
#include <cmath>
#include <cstddef>

namespace kv {

namespace {

struct Point {
    double x;
    double y;
};

// The loudspeaker: a magnet block and a cone opening to the right, centred
// on the body.
constexpr int kSpeakerCentreY = 36;
constexpr int kMagnetLeft = 30;
constexpr int kMagnetRight = 37;
constexpr int kMagnetHalf = 6;
constexpr int kConeRight = 47;
constexpr int kConeHalf = 15;
// Three sound waves around the cone's mouth.
constexpr std::array<double, 3> kWaveRadii = {8.0, 14.0, 20.0};
constexpr double kWaveHalfWidth = 1.1;

constexpr uint32_t kGrilleDarkBase = 0x505050;
constexpr uint32_t kGrilleDarkDot = 0x303030;
constexpr uint32_t kGrilleLightBase = 0xD2D2D2;
constexpr uint32_t kGrilleLightDot = 0xB9B9B9;
constexpr uint32_t kSpeakerWhite = 0xFFFFFF;
constexpr uint32_t kSpeakerGrey = 0x7A7A7A;

// Convex polygon, corners in clockwise or counter-clockwise order.
bool InsidePolygon(const std::array<Point, 4>& poly, double x, double y)
{
    int sign = 0;
    for (size_t i = 0; i < poly.size(); ++i) {
        const Point& a = poly[i];
        const Point& b = poly[(i + 1) % poly.size()];
        const double cross = (b.x - a.x) * (y - a.y) - (b.y - a.y) * (x - a.x);
        const int s = cross > 1e-9 ? 1 : (cross < -1e-9 ? -1 : 0);
        if (s == 0)
            continue;
        if (sign == 0)
            sign = s;
        else if (s != sign)
            return false;
    }
    return true;
}

bool InsideSpeaker(int x, int y)
{
    const int cy = kSpeakerCentreY;
    if (x >= kMagnetLeft && x <= kMagnetRight && y >= cy - kMagnetHalf && y <= cy + kMagnetHalf)
        return true;
    const std::array<Point, 4> cone = {{
        {static_cast<double>(kMagnetRight), static_cast<double>(cy - kMagnetHalf)},
        {static_cast<double>(kConeRight), static_cast<double>(cy - kConeHalf)},
        {static_cast<double>(kConeRight), static_cast<double>(cy + kConeHalf)},
        {static_cast<double>(kMagnetRight), static_cast<double>(cy + kMagnetHalf)},
    }};
    return InsidePolygon(cone, x, y);
}

bool OnWave(int x, int y)
{
    const double dx = x - kConeRight;
    const double dy = y - kSpeakerCentreY;
    if (dx <= 0 || std::fabs(dy) > dx)  // a quarter turn opening to the right
        return false;
    const double r = std::sqrt(dx * dx + dy * dy);
    for (double radius : kWaveRadii)
        if (std::fabs(r - radius) <= kWaveHalfWidth)
            return true;
    return false;
}

// Outline, rim band and the black line under it; the body is left to the
// caller.
Picture SegmentFrame(uint32_t body)
{
    Picture p(kSegmentWidth, kSegmentHeight, body);
    for (int x = 0; x < kSegmentWidth; ++x) {
        p.Set(x, 0, kOutlineColour);
        p.Set(x, kRimLineRow, kOutlineColour);
    }
    for (int y = kRimFirstRow; y <= kRimLastRow; ++y)
        for (int x = 1; x < kSegmentWidth - 1; ++x)
            p.Set(x, y, kRimColour);
    for (int y = 0; y < kSegmentHeight; ++y) {
        p.Set(0, y, kOutlineColour);
        p.Set(kSegmentWidth - 1, y, kOutlineColour);
    }
    return p;
}

}  // namespace

Picture::Picture(int w, int h, uint32_t fill)
    : width(w), height(h), pixels(static_cast<size_t>(w) * static_cast<size_t>(h), fill)
{
}

uint32_t Picture::At(int x, int y) const
{
    if (x < 0 || y < 0 || x >= width || y >= height)
        return 0;
    return pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
}

void Picture::Set(int x, int y, uint32_t colour)
{
    if (x < 0 || y < 0 || x >= width || y >= height)
        return;
    pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)] = colour;
}

uint32_t BodyColour(SegmentColour colour, bool on)
{
    switch (colour) {
    case SegmentColour::Red: return on ? 0xFF0000 : 0xFF8080;
    case SegmentColour::Yellow: return on ? 0xFFFF00 : 0xFEFFD3;
    case SegmentColour::Green: return on ? 0x00FF00 : 0xC0FFC0;
    case SegmentColour::Blue: return on ? 0x4040FF : 0xC0C0FF;
    case SegmentColour::White: return on ? 0xFFFFFF : 0xDCDCDC;
    }
    return kEmptyBodyColour;
}

Picture DrawColourSegment(SegmentColour colour, bool on)
{
    return SegmentFrame(BodyColour(colour, on));
}

Picture DrawEmptySegment() { return SegmentFrame(kEmptyBodyColour); }

Picture DrawSoundSegment(bool on)
{
    Picture p = SegmentFrame(on ? kGrilleDarkBase : kGrilleLightBase);
    const uint32_t dot = on ? kGrilleDarkDot : kGrilleLightDot;
    for (int y = kBodyFirstRow; y < kSegmentHeight; ++y)
        for (int x = 1; x < kSegmentWidth - 1; ++x)
            if ((x % 3 == 0) && ((y - kBodyFirstRow) % 3 == 1))
                p.Set(x, y, dot);
    for (int y = kBodyFirstRow; y < kSegmentHeight; ++y) {
        for (int x = 1; x < kSegmentWidth - 1; ++x) {
            const bool inside = InsideSpeaker(x, y);
            if (on) {
                if (inside || OnWave(x, y))
                    p.Set(x, y, kSpeakerWhite);
            } else if (inside && (!InsideSpeaker(x - 1, y) || !InsideSpeaker(x + 1, y) ||
                                  !InsideSpeaker(x, y - 1) || !InsideSpeaker(x, y + 1))) {
                p.Set(x, y, kSpeakerGrey);
            }
        }
    }
    return p;
}

Picture DrawBase()
{
    Picture p(kSegmentWidth, kBaseHeight, kRimColour);
    for (int x = 0; x < kSegmentWidth; ++x) {
        p.Set(x, 0, kOutlineColour);
        p.Set(x, kBaseHeight - 1, kOutlineColour);
    }
    for (int y = 0; y < kBaseHeight; ++y) {
        p.Set(0, y, kOutlineColour);
        p.Set(kSegmentWidth - 1, y, kOutlineColour);
    }
    return p;
}

Picture DrawTowerPicture(const TowerPicture& what)
{
    switch (what.kind) {
    case PictureKind::ColourOn: return DrawColourSegment(what.colour, true);
    case PictureKind::ColourOff: return DrawColourSegment(what.colour, false);
    case PictureKind::SoundOn: return DrawSoundSegment(true);
    case PictureKind::SoundOff: return DrawSoundSegment(false);
    case PictureKind::Empty: break;
    }
    return DrawEmptySegment();
}

}  // namespace kv
