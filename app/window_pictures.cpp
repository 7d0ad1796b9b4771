#include "app/window_pictures.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>
#include <utility>

namespace kv {

namespace {

const QColor kDialogBackground(0xF0, 0xF0, 0xF0);

QColor Rgb(uint32_t rgb) { return QColor::fromRgb(static_cast<QRgb>(0xFF000000u | rgb)); }

// A small tower: three lit segments on a base, for the title and the icon.
void DrawTowerGlyph(QPainter& p, const QRectF& box)
{
    const uint32_t colours[3] = {0xFF0000, 0xFFFF00, 0x00FF00};
    const double baseH = box.height() * 0.16;
    const double segH = (box.height() - baseH) / 3.0;
    p.setPen(QPen(Qt::black, 1));
    for (int i = 0; i < 3; ++i) {
        const QRectF seg(box.left(), box.top() + i * segH, box.width(), segH);
        p.setBrush(Rgb(colours[i]));
        p.drawRect(seg);
    }
    p.setBrush(Rgb(kRimColour));
    p.drawRect(QRectF(box.left(), box.bottom() - baseH, box.width(), baseH));
}

// A picture enlarged pixel by pixel to `size` pixels of `pixelRatio` device
// pixels each.
QPixmap Enlarged(const QImage& image, QSize size, qreal pixelRatio)
{
    const qreal ratio = pixelRatio > 0 ? pixelRatio : 1.0;
    const QSize device(std::max(1, static_cast<int>(std::lround(size.width() * ratio))),
                       std::max(1, static_cast<int>(std::lround(size.height() * ratio))));
    QPixmap pixmap = QPixmap::fromImage(
        image.scaled(device, Qt::IgnoreAspectRatio, Qt::FastTransformation));
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

// An image of `width` x `height` pixels for a screen of `pixelRatio`, the
// painter's coordinates in pixels.
QImage HiDpiImage(int width, int height, qreal pixelRatio, QImage::Format format)
{
    const qreal ratio = pixelRatio > 0 ? pixelRatio : 1.0;
    QImage image(static_cast<int>(std::ceil(width * ratio)),
                 static_cast<int>(std::ceil(height * ratio)), format);
    image.setDevicePixelRatio(ratio);
    return image;
}

}  // namespace

QImage ToImage(const Picture& picture)
{
    QImage image(picture.width, picture.height, QImage::Format_RGB32);
    for (int y = 0; y < picture.height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < picture.width; ++x)
            line[x] = 0xFF000000u | picture.At(x, y);
    }
    return image;
}

const QPixmap& TowerPixmap(const TowerPicture& what)
{
    static std::map<std::pair<int, int>, QPixmap> cache;
    const std::pair<int, int> key{static_cast<int>(what.kind), static_cast<int>(what.colour)};
    auto it = cache.find(key);
    if (it == cache.end())
        it = cache.emplace(key, QPixmap::fromImage(ToImage(DrawTowerPicture(what)))).first;
    return it->second;
}

const QPixmap& BasePixmap()
{
    static const QPixmap base = QPixmap::fromImage(ToImage(DrawBase()));
    return base;
}

const QPixmap& TowerPixmap(const TowerPicture& what, QSize size, qreal pixelRatio)
{
    static std::map<std::tuple<int, int, int, int, int>, QPixmap> cache;
    const auto key = std::make_tuple(static_cast<int>(what.kind), static_cast<int>(what.colour),
                                     size.width(), size.height(),
                                     static_cast<int>(std::lround(pixelRatio * 100)));
    auto it = cache.find(key);
    if (it == cache.end())
        it = cache.emplace(key, Enlarged(ToImage(DrawTowerPicture(what)), size, pixelRatio)).first;
    return it->second;
}

const QPixmap& BasePixmap(QSize size, qreal pixelRatio)
{
    static std::map<std::tuple<int, int, int>, QPixmap> cache;
    const auto key = std::make_tuple(size.width(), size.height(),
                                     static_cast<int>(std::lround(pixelRatio * 100)));
    auto it = cache.find(key);
    if (it == cache.end())
        it = cache.emplace(key, Enlarged(ToImage(DrawBase()), size, pixelRatio)).first;
    return it->second;
}

QPixmap TitlePicture(qreal pixelRatio)
{
    QImage image = HiDpiImage(kTitleWidth, kTitleHeight, pixelRatio, QImage::Format_RGB32);
    image.fill(kDialogBackground);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::TextAntialiasing, true);
    DrawTowerGlyph(p, QRectF(3.5, 2.5, 12, 24));
    QFont font;
    font.setFamily("DejaVu Sans");
    font.setPixelSize(21);
    font.setBold(true);
    p.setFont(font);
    p.setPen(QColor(0x1E, 0x3C, 0x78));
    p.drawText(QRect(22, 0, kTitleWidth - 22, kTitleHeight), Qt::AlignLeft | Qt::AlignVCenter,
               "Kestrivane");
    p.end();
    return QPixmap::fromImage(image);
}

QPixmap MakerLogoPicture(qreal pixelRatio)
{
    QImage image = HiDpiImage(kLogoWidth, kLogoHeight, pixelRatio, QImage::Format_RGB32);
    image.fill(kDialogBackground);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::TextAntialiasing, true);
    // Five bars in the segment colours, then the product's name.
    const uint32_t colours[5] = {0xFF0000, 0xFFFF00, 0x00FF00, 0x4040FF, 0xFFFFFF};
    p.setPen(QPen(QColor(0x40, 0x40, 0x40), 1));
    for (int i = 0; i < 5; ++i) {
        p.setBrush(Rgb(colours[i]));
        p.drawRect(QRectF(2.5 + i * 9, 3.5, 7, 16));
    }
    QFont font;
    font.setFamily("DejaVu Sans");
    font.setPixelSize(15);
    font.setBold(true);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 1.5);
    p.setFont(font);
    p.setPen(QColor(0x30, 0x30, 0x30));
    p.drawText(QRect(52, 0, kLogoWidth - 52, kLogoHeight), Qt::AlignLeft | Qt::AlignVCenter,
               "NELO towers");
    p.end();
    return QPixmap::fromImage(image);
}

QIcon ApplicationIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        QImage image(size, size, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing, true);
        const double w = size * 0.5;
        DrawTowerGlyph(p, QRectF((size - w) / 2.0, size * 0.06, w, size * 0.88));
        p.end();
        icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}

}  // namespace kv
