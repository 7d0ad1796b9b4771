// Renders the application icon's SVG drawing into a square PNG at build time.
//
//   kv_render_icon <drawing.svg> <out.png> <size>
//
// Fails (non-zero) when the drawing cannot be read, when it renders to an
// empty picture, or when the PNG cannot be written, so a broken drawing
// stops the build instead of shipping a blank icon.
#include <QImage>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kMinSize = 16;
constexpr int kMaxSize = 1024;

bool HasVisiblePixels(const QImage& image)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) != 0)
                return true;
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <drawing.svg> <out.png> <size>\n", argc > 0 ? argv[0] : "kv_render_icon");
        return 2;
    }
    char* end = nullptr;
    const long size = std::strtol(argv[3], &end, 10);
    if (end == argv[3] || *end != '\0' || size < kMinSize || size > kMaxSize) {
        std::fprintf(stderr, "kv_render_icon: size must be %d..%d, not '%s'\n", kMinSize, kMaxSize, argv[3]);
        return 2;
    }

    QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
    if (!renderer.isValid()) {
        std::fprintf(stderr, "kv_render_icon: cannot read the drawing %s\n", argv[1]);
        return 1;
    }

    QImage image(static_cast<int>(size), static_cast<int>(size), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, QRectF(0, 0, static_cast<qreal>(size), static_cast<qreal>(size)));
    }
    if (!HasVisiblePixels(image)) {
        std::fprintf(stderr, "kv_render_icon: %s renders to an empty picture\n", argv[1]);
        return 1;
    }
    if (!image.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "kv_render_icon: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
