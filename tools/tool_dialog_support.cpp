#include "tools/tool_dialog_support.h"

#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QPalette>
#include <QStringList>

#include <algorithm>

#include "ui/dialog_style.h"
#include "session/tower_session.h"

namespace kv {

ToolLink SessionToolLink(TowerSession& session)
{
    ToolLink link;
    link.write = [&session](const uint8_t* buffer, size_t length) {
        return session.link().WriteReport(buffer, length);
    };
    link.isOpen = [&session] { return session.IsOpen(); };
    return link;
}

const QFont& ToolBoldFont()
{
    static const QFont font = [] {
        QFont f(QStringLiteral("Arial"));
        f.setPixelSize(18);
        f.setWeight(QFont::Bold);
        return f;
    }();
    return font;
}

QColor ToneColour(uint8_t tone)
{
    switch (tone) {
    case kToneFailure:
        return QColor(223, 0, 0);
    case kToneSuccess:
        return QColor(0, 128, 0);
    case kToneWarning:
        return QColor(255, 127, 0);
    default:
        return QColor(0, 0, 0);
    }
}

void SetColouredText(QLabel* label, const std::string& text, const QColor& colour)
{
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, colour);
    label->setPalette(pal);
    label->setText(ToQ(text));
}

void ApplyToolPalette(QWidget* dialog)
{
    QPalette pal = dialog->palette();
    pal.setColor(QPalette::Window, QColor(240, 240, 240));
    pal.setColor(QPalette::Base, QColor(255, 255, 255));
    pal.setColor(QPalette::WindowText, QColor(0, 0, 0));
    pal.setColor(QPalette::Text, QColor(0, 0, 0));
    dialog->setPalette(pal);
    dialog->setAutoFillBackground(true);
    ApplyProgramManners();
}

void FitStatusField(QLabel* field, std::initializer_list<const char*> texts)
{
    field->setWordWrap(false);
    field->setAlignment(Qt::AlignCenter);
    const QFontMetrics metrics(field->font());
    int widest = 0;
    qsizetype lines = 1;
    for (const char* text : texts) {
        const QStringList textLines = QString::fromLatin1(text).split(QLatin1Char('\n'));
        lines = std::max(lines, textLines.size());
        for (const QString& line : textLines)
            widest = std::max(widest, metrics.horizontalAdvance(line));
    }
    const QMargins margins = field->contentsMargins();
    field->setMinimumWidth(widest + 2 * metrics.averageCharWidth() + margins.left() +
                           margins.right());
    field->setMinimumHeight(static_cast<int>(lines) * metrics.lineSpacing() + margins.top() +
                            margins.bottom());
}

void ShowToolMessageBox(QWidget* parent, const ToolMessage& message)
{
    QMessageBox::warning(parent, ToQ(message.caption), ToQ(message.text));
}

}  // namespace kv
