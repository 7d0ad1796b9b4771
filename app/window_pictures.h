// The main window's pictures as Qt pixmaps: the tower pictures drawn by
// segment_pictures, and the program-name title, the maker's logo and the
// application icon drawn here.
#pragma once

#include <QIcon>
#include <QImage>
#include <QPixmap>

#include "app/segment_pictures.h"
#include "session/window_model.h"

namespace kv {

constexpr int kTitleWidth = 162;
constexpr int kTitleHeight = 29;
constexpr int kLogoWidth = 190;
constexpr int kLogoHeight = 23;

QImage ToImage(const Picture& picture);
// The picture of a tower position, drawn once per kind and kept.
const QPixmap& TowerPixmap(const TowerPicture& what);
const QPixmap& BasePixmap();

// The same pictures shown `size` large on a screen of `pixelRatio` device
// pixels per pixel: every picture pixel becomes a block of device pixels
// (no smoothing), so lines stay sharp at any size and scale. Kept per size.
const QPixmap& TowerPixmap(const TowerPicture& what, QSize size, qreal pixelRatio);
const QPixmap& BasePixmap(QSize size, qreal pixelRatio);

// Drawn for a screen of `pixelRatio` device pixels per pixel; the pixmap's
// size in pixels stays the same.
QPixmap TitlePicture(qreal pixelRatio = 1.0);
QPixmap MakerLogoPicture(qreal pixelRatio = 1.0);
QIcon ApplicationIcon();

}  // namespace kv
