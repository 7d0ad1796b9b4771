// The main window on the screen it is run on (a small or scaled offscreen
// screen, see CMakeLists.txt): it stands inside the screen's available area,
// and every control can be scrolled into view. Where the screen is large
// enough the whole client shows, without scroll bars.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QtTest>

#include <algorithm>
#include <vector>

#include "app/usb_control_app_dlg.h"
#include "platform/clock.h"
#include "sim/virtual_tower.h"

using namespace kv;

class WindowFitTest : public QObject {
    Q_OBJECT

private slots:
    void everyControlIsReachableOnThisScreen()
    {
        sim::TheVirtualTower().Reset();
        ScopedVirtualClock clock;
        DeviceState state;
        HidLink link(state);
        PatternTables patterns;
        CUSBControlAppDlg w(state, link, patterns);
        w.OnInitDialog();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));

        const QRect area = w.screen()->availableGeometry();
        QScrollArea* view = w.clientView();
        const QSize client = view->widget()->size();
        const bool small = qEnvironmentVariableIntValue("KV_SCREEN_TOO_SMALL") == 1;
        // The window around the whole client: menu bar and frame added.
        const QSize whole = client + (w.size() - view->size()) +
                            (w.frameGeometry().size() - w.geometry().size());
        QCOMPARE(whole.width() > area.width() || whole.height() > area.height(), small);
        QVERIFY2(area.contains(w.frameGeometry()),
                 qPrintable(QString("%1,%2 %3x%4 in %5x%6")
                                .arg(w.frameGeometry().x())
                                .arg(w.frameGeometry().y())
                                .arg(w.frameGeometry().width())
                                .arg(w.frameGeometry().height())
                                .arg(area.width())
                                .arg(area.height())));
        if (!small) {
            QCOMPARE(view->viewport()->size(), client);
            QVERIFY(!view->horizontalScrollBar()->isVisible());
            QVERIFY(!view->verticalScrollBar()->isVisible());
        }

        std::vector<QWidget*> controls{w.sendButton(), w.openCloseButton(), w.exitButton()};
        for (int r = 0; r < kRows; ++r)
            controls.insert(controls.end(), {w.switchButton(r), w.patternList(r), w.slider(r),
                                             w.percentBox(r)});
        const QRect shown(view->viewport()->mapTo(&w, QPoint(0, 0)), view->viewport()->size());
        QVERIFY(w.rect().contains(shown));
        for (QWidget* control : controls) {
            // Scrolled just far enough to show its far edges, the bars
            // stopping at their ends.
            const QPoint in = control->mapTo(view->widget(), QPoint(0, 0));
            view->horizontalScrollBar()->setValue(
                std::max(0, in.x() + control->width() - view->viewport()->width()));
            view->verticalScrollBar()->setValue(
                std::max(0, in.y() + control->height() - view->viewport()->height()));
            const QRect at(control->mapTo(&w, QPoint(0, 0)), control->size());
            QVERIFY2(shown.contains(at), qPrintable(control->metaObject()->className()));
        }
        // Tab brings the control it reaches into view.
        view->horizontalScrollBar()->setValue(0);
        view->verticalScrollBar()->setValue(0);
        w.activateWindow();
        w.openCloseButton()->setFocus();
        QTest::keyClick(w.openCloseButton(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), w.exitButton());
        QVERIFY(shown.contains(QRect(w.exitButton()->mapTo(&w, QPoint(0, 0)), w.exitButton()->size())));
    }
};

QTEST_MAIN(WindowFitTest)
#include "window_fit_test.moc"
