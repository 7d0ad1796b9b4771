#include "ui/dialog_style.h"

#include <QApplication>
#include <QColor>
#include <QComboBox>
#include <QEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QFontMetrics>
#include <QPalette>
#include <QPointer>
#include <QProxyStyle>
#include <QSlider>
#include <QStyleFactory>
#include <QWidget>

#include <algorithm>

namespace kv {

namespace {

// Controls whose value the wheel changes. Scroll bars are not among them:
// they only move what is shown (an open list scrolls under the wheel).
bool TakesWheelOnlyWithFocus(const QObject* object)
{
    return qobject_cast<const QComboBox*>(object) != nullptr ||
           qobject_cast<const QSlider*>(object) != nullptr;
}

constexpr char kChosenProperty[] = "kvChosenForWheel";

class WheelGuard : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // Tab and Backtab pressed by the user, told apart from the focus a
        // dialog hands its first control when it opens (which also reads
        // as Tab).
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            tabPressed_ = key == Qt::Key_Tab || key == Qt::Key_Backtab;
        } else if (event->type() == QEvent::KeyRelease) {
            tabPressed_ = false;
        }
        if (!TakesWheelOnlyWithFocus(watched))
            return QObject::eventFilter(watched, event);
        auto* widget = static_cast<QWidget*>(watched);
        switch (event->type()) {
        case QEvent::Polish:
            // A list that takes the focus from the wheel would let the same
            // turn change it.
            if (widget->focusPolicy() == Qt::WheelFocus)
                widget->setFocusPolicy(Qt::StrongFocus);
            break;
        case QEvent::FocusIn: {
            // Other focus (its own list closed, its window active again)
            // leaves the choice as it was.
            const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
            if (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason)
                widget->setProperty(kChosenProperty, tabPressed_);
            break;
        }
        case QEvent::MouseButtonPress:
            // A click chooses the control, also one that held the focus.
            widget->setProperty(kChosenProperty, true);
            break;
        case QEvent::Wheel:
            if (!widget->hasFocus() || !widget->property(kChosenProperty).toBool()) {
                event->ignore();
                return true;
            }
            break;
        default:
            break;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool tabPressed_ = false;
};

class ListPopupStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override
    {
        if (hint == SH_ComboBox_Popup)
            return 0;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

}  // namespace

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
    ApplyProgramManners();
}

DialogUnitScale::DialogUnitScale(const QFont& font)
{
    // As the desktop defines it: the width of the 52 letters, averaged and
    // rounded, and the font's line height.
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    baseX_ = std::max(1, (letters / 26 + 1) / 2);
    baseY_ = std::max(1, metrics.height());
}

int DialogUnitScale::X(int units) const { return (units * baseX_ + 2) / 4; }

int DialogUnitScale::Y(int units) const { return (units * baseY_ + 4) / 8; }

QSize DialogUnits(const QWidget* widget, int width, int height)
{
    return DialogUnitScale(widget->font()).Size(width, height);
}

void ApplyProgramManners()
{
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (app == nullptr)
        return;
    static QPointer<WheelGuard> guard;
    if (!guard) {
        guard = new WheelGuard(app);
        app->installEventFilter(guard);
    }
    // Over the desktop's own style where Fusion is missing.
    if (dynamic_cast<ListPopupStyle*>(QApplication::style()) == nullptr)
        QApplication::setStyle(new ListPopupStyle(QStyleFactory::create(QStringLiteral("Fusion"))));
}

}  // namespace kv
