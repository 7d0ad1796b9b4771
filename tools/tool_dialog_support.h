// Shared pieces of the three tool dialogs: the link they write through, the
// bold title font, the status colours and the message box.
#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <QWidget>
#include <functional>
#include <initializer_list>
#include <string>

#include "tools/tool_common_logic.h"

class QLabel;

namespace kv {

class TowerSession;

// How a tool dialog reaches the Base Controller: the link of the session it
// was given. Tests may put their own functions in.
struct ToolLink {
    std::function<int(const uint8_t*, size_t)> write;
    std::function<bool()> isOpen;
};
ToolLink SessionToolLink(TowerSession& session);

// Bold Arial, 18 pixels high, weight 700; made once for the run.
const QFont& ToolBoldFont();

// Status colours: neutral black, failure RGB(223, 0, 0), success
// RGB(0, 128, 0), warning RGB(255, 127, 0).
QColor ToneColour(uint8_t tone);

// Sets a label's text and text colour.
void SetColouredText(QLabel* label, const std::string& text, const QColor& colour);

// Dialog background RGB(240, 240, 240), white edit and list backgrounds.
void ApplyToolPalette(QWidget* dialog);

// A status field for the tools' blank-padded texts: centred, never wrapped,
// at least as wide as the widest line of `texts` in the field's font and as
// high as the text with the most lines, so a text never wraps at a place its
// blanks were not made for and none is cut.
void FitStatusField(QLabel* field, std::initializer_list<const char*> texts);

// Shows a message box with an exclamation icon and one OK button.
void ShowToolMessageBox(QWidget* parent, const ToolMessage& message);

inline QString ToQ(const std::string& s) { return QString::fromStdString(s); }

}  // namespace kv
