#include "app/help/dialog_style.h"

#include <QColor>
#include <QPalette>
#include <QWidget>

namespace kv {

void ApplyDialogColours(QWidget* dialog)
{
    QPalette p = dialog->palette();
    p.setColor(QPalette::Window, QColor(0xF0, 0xF0, 0xF0));
    p.setColor(QPalette::Button, QColor(0xF0, 0xF0, 0xF0));
    p.setColor(QPalette::Base, QColor(0xFF, 0xFF, 0xFF));
    p.setColor(QPalette::WindowText, Qt::black);
    p.setColor(QPalette::Text, Qt::black);
    p.setColor(QPalette::ButtonText, Qt::black);
    dialog->setPalette(p);
    dialog->setAutoFillBackground(true);
}

QSize DialogUnits(int width, int height)
{
    // An 8 pt dialog font averages 6 x 13 pixels: 4 horizontal units per
    // average character width and 8 vertical units per character height.
    return QSize(width * 6 / 4, height * 13 / 8);
}

}  // namespace kv
