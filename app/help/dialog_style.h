// The look shared by the Help dialogs: #F0F0F0 background, white edit and
// list backgrounds, black text; sizes given in dialog units.
#pragma once

#include <QSize>

class QWidget;

namespace kv {

void ApplyDialogColours(QWidget* dialog);

// Dialog units of an 8 pt dialog font to pixels.
QSize DialogUnits(int width, int height);

}  // namespace kv
