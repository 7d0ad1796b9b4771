// The look and manners shared by the program's window and dialogs:
// #F0F0F0 background, white edit and list backgrounds, black text; sizes
// given in dialog units of the dialog's own font; lists and sliders that take
// the mouse wheel only when the user has given them the focus; drop-down
// lists that open as a white list with a scroll bar.
#pragma once

#include <QSize>

class QFont;
class QWidget;

namespace kv {

void ApplyDialogColours(QWidget* dialog);

// Dialog units of a font: horizontally a quarter, vertically an eighth of
// the font's average character width and height. An 8 pt dialog font of 6 x
// 13 pixels gives 4 units per 6 pixels across and 8 units per 13 pixels down;
// a larger font (or a larger desktop font size) gives larger units.
class DialogUnitScale {
public:
    explicit DialogUnitScale(const QFont& font);

    int X(int units) const;
    int Y(int units) const;
    QSize Size(int width, int height) const { return QSize(X(width), Y(height)); }

    // Average character width and character height of the font, in pixels.
    int baseX() const { return baseX_; }
    int baseY() const { return baseY_; }

private:
    int baseX_;
    int baseY_;
};

// Dialog units of the widget's font to pixels.
QSize DialogUnits(const QWidget* widget, int width, int height);

// The manners of every window and dialog of the program, set once on the
// running application (later calls do nothing): drop-down lists and sliders
// ignore the mouse wheel unless the user has given them the focus (by a
// click or Tab; not the focus a window gives its first control
// when it opens), so scrolling over a window never changes a value nobody
// chose; and the program's style, the same on every desktop: Fusion, with
// drop-down lists that open as a white list of limited height with a
// vertical scroll bar instead of a menu of all entries.
void ApplyProgramManners();

}  // namespace kv
