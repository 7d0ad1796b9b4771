// What a user meets in the window and the dialogs: the mouse wheel, larger
// fonts and screens, the Tab order, the taskbar window that owns its dialogs,
// the drop-down lists and the padded status texts of the tools.
#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QStyleOptionComboBox>
#include <QTimer>
#include <QWheelEvent>
#include <QWindow>
#include <QtTest>

#include <memory>
#include <vector>

#include "app/help/about_dialog.h"
#include "app/help/info_dialog.h"
#include "app/usb_control_app.h"
#include "app/window_pictures.h"
#include "device/hid_link.h"
#include "device/pattern_tables.h"
#include "platform/clock.h"
#include "sim/virtual_tower.h"
#include "tools/address_change_dialog.h"
#include "tools/port_mapping_dialog.h"
#include "tools/switching_threshold_dialog.h"
#include "update/update_dialogs_qt.h"

using namespace kv;

// Qt's door for events that come from the window system (declared a friend
// of QCoreApplication).
bool qt_sendSpontaneousEvent(QObject* receiver, QEvent* event)
{
    return QCoreApplication::sendSpontaneousEvent(receiver, event);
}

namespace {

// The program as InitInstance builds it: the window on the program's state
// and link, its dialogs made for it.
struct Program {
    Program()
        : dlg(std::make_unique<CUSBControlAppDlg>(TheDeviceState(), TheHidLink(),
                                                  ThePatternTables())),
          dialogs(std::make_unique<ProgramDialogs>(*dlg))
    {
        dlg->SetMenuCommands(dialogs->Commands());
    }
    ~Program()
    {
        dialogs.reset();
        dlg.reset();
        TheHidLink().Close();
    }

    // Shown, active and in step with the virtual tower.
    void OpenInStep()
    {
        dlg->OnInitDialog();
        dlg->show();
        dlg->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(dlg.get()));
        dlg->openCloseButton()->click();
        for (int i = 0; i < 120 && TheHidLink().IsOpen(); ++i)
            dlg->OnTimer(kPollTimerId);
        QVERIFY(dlg->patternList(kSoundRow)->isEnabled());
    }

    ScopedVirtualClock clock;
    std::unique_ptr<CUSBControlAppDlg> dlg;
    std::unique_ptr<ProgramDialogs> dialogs;
};

// The wheel turned over the middle of `widget`, as the window system
// delivers it: a spontaneous event to the window, which finds the widget
// under the mouse (and may hand it the focus first).
void Wheel(QWidget* widget, int steps)
{
    QWidget* top = widget->window();
    const QPointF at = widget->mapTo(top, QPointF(widget->width() / 2.0, widget->height() / 2.0));
    QWheelEvent event(at, top->mapToGlobal(at), QPoint(), QPoint(0, 120 * steps), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    qt_sendSpontaneousEvent(top->windowHandle(), &event);
}

ToolLink OpenLink()
{
    ToolLink link;
    link.write = [](const uint8_t*, size_t) { return 1; };
    link.isOpen = [] { return true; };
    return link;
}

// Every text in `top` shows whole: each visible label (one line), button,
// box and list has room for its text, or for each entry of its list.
void ExpectNothingCut(QWidget* top)
{
    for (QWidget* widget : top->findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(top))
            continue;
        QStringList texts;
        QRect room = widget->contentsRect();
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            if (label->wordWrap()) {
                QVERIFY2(room.height() >= label->heightForWidth(room.width()) - 1,
                         qPrintable(label->text()));
                continue;
            }
            texts << label->text();
        } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
            texts << button->text();
            room.adjust(3, 2, -3, -2);
        } else if (qobject_cast<QLineEdit*>(widget) != nullptr) {
            texts << QStringLiteral("200");
            room.adjust(3, 0, -3, 0);
        } else if (auto* list = qobject_cast<QComboBox*>(widget)) {
            QStyleOptionComboBox option;
            option.initFrom(list);
            room = list->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                 QStyle::SC_ComboBoxEditField, list);
            for (int i = 0; i < list->count(); ++i)
                texts << list->itemText(i);
        }
        const QFontMetrics metrics(widget->font());
        for (const QString& text : texts) {
            if (text.isEmpty())
                continue;
            QVERIFY2(room.width() >= metrics.horizontalAdvance(text), qPrintable(text));
            QVERIFY2(room.height() >= metrics.height(), qPrintable(text));
        }
    }
}

}  // namespace

class WindowUsabilityTest : public QObject {
    Q_OBJECT

private slots:
    void init() { sim::TheVirtualTower().Reset(); }

    void wheelChangesOnlyWhatTheUserGaveTheFocus()
    {
        Program p;
        p.OpenInStep();
        CUSBControlAppDlg& w = *p.dlg;
        QComboBox* list = w.patternList(1);
        QSlider* slider = w.slider(1);
        const int code = list->currentIndex();
        const int position = slider->value();
        w.sendButton()->setFocus();
        Wheel(list, -1);
        Wheel(slider, 3);
        QCOMPARE(list->currentIndex(), code);
        QCOMPARE(slider->value(), position);
        QCOMPARE(TheDeviceState().rowPending[1], uint8_t{0});

        // Reached with Tab, they take it.
        w.switchButton(1)->setFocus();
        QTest::keyClick(w.switchButton(1), Qt::Key_Tab);
        Wheel(list, -1);
        QCOMPARE(list->currentIndex(), code + 1);
        QTest::keyClick(list, Qt::Key_Tab);
        Wheel(slider, 3);
        QVERIFY(slider->value() != position);

        // The focus a dialog hands its first list when it opens is nobody's
        // choice; a click is.
        PortMappingState map;
        CPort_Mapping mapping(map, TheDeviceState(), OpenLink(), &w);
        mapping.Prepare();
        mapping.show();
        mapping.activateWindow();
        QComboBox* cell = mapping.cell(0, 1);
        QTRY_VERIFY(cell->hasFocus());
        const int item = cell->currentIndex();
        Wheel(cell, -1);
        QCOMPARE(int{map.cellNumber[0][0]}, item);
        QTest::mouseClick(cell, Qt::LeftButton);
        cell->hidePopup();
        Wheel(cell, -1);
        QCOMPARE(cell->currentIndex(), item + 1);
    }

    void largerFontAndScreenCutNothing()
    {
        const QFont before = QApplication::font();
        QFont large = before;
        large.setPointSizeF(before.pointSizeF() * 1.6);
        QApplication::setFont(large);
        {
            Program p;
            p.OpenInStep();
            CUSBControlAppDlg& w = *p.dlg;
            ExpectNothingCut(&w);
            // The tower's pictures grew with the lines and still touch.
            QVERIFY(w.pictureSize().height() > kSegmentHeight);
            for (int r = 1; r < kRows; ++r)
                QCOMPARE(w.towerPicture(r)->geometry().bottom() + 1, w.towerPicture(r - 1)->y());
            QCOMPARE(w.towerPicture(0)->pixmap().deviceIndependentSize().toSize(), w.pictureSize());
            // A font changed while the window runs lays it out again.
            const int line = w.pictureSize().height();
            w.setFont(QFont(large.family(), static_cast<int>(large.pointSizeF() * 1.3)));
            ExpectNothingCut(&w);
            QVERIFY(w.pictureSize().height() > line);

            PortMappingState map;
            CPort_Mapping mapping(map, TheDeviceState(), OpenLink(), &w);
            AddressChangeState change;
            CChangeAddress instructions(change, TheDeviceState(), &w);
            CNEWSEGMENT newColour(change, TheDeviceState(), OpenLink(), &w);
            SwitchingThresholdState threshold;
            CSwitchingThreshold thresholdDialog(threshold, TheDeviceState(), OpenLink(), &w);
            mapping.Prepare();
            instructions.Prepare();
            thresholdDialog.Prepare();
            UpdateDialogsQt& update = p.dialogs->updateDialogs();
            for (QDialog* dialog : std::vector<QDialog*>{
                     &p.dialogs->info(), &p.dialogs->about(), &update.nelo(), &update.failed(),
                     &update.successful(), &mapping, &instructions, &newColour, &thresholdDialog}) {
                dialog->show();
                ExpectNothingCut(dialog);
                dialog->hide();
            }
        }
        QApplication::setFont(before);

        // At twice the pixels a picture pixel is a sharp 2 x 2 block: the
        // black line of row 12 stays black beside the rim and the body.
        const QImage red = TowerPixmap(TowerPicture{PictureKind::ColourOn, SegmentColour::Red},
                                       QSize(kSegmentWidth, kSegmentHeight), 2.0)
                               .toImage();
        QCOMPARE(red.size(), QSize(2 * kSegmentWidth, 2 * kSegmentHeight));
        const QRgb column[4] = {qRgb(0xFA, 0xFA, 0xFA), qRgb(0, 0, 0), qRgb(0, 0, 0),
                                qRgb(0xFF, 0, 0)};
        for (int i = 0; i < 4; ++i)
            QCOMPARE(red.pixel(100, 23 + i), column[i]);
        const QPixmap title = TitlePicture(2.0);
        QCOMPARE(title.size(), QSize(2 * kTitleWidth, 2 * kTitleHeight));
        QCOMPARE(title.deviceIndependentSize().toSize(), QSize(kTitleWidth, kTitleHeight));
    }

    void tabWalksTheWindowInReadingOrder()
    {
        Program p;
        p.OpenInStep();
        CUSBControlAppDlg& w = *p.dlg;
        std::vector<QWidget*> expected;
        for (int r = kRows - 1; r >= 0; --r)
            expected.insert(expected.end(), {w.switchButton(r), w.patternList(r), w.slider(r)});
        expected.insert(expected.end(), {w.sendButton(), w.openCloseButton(), w.exitButton()});
        w.exitButton()->setFocus();
        for (QWidget* next : expected) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
        }
    }

    void mainWindowIsATaskbarWindowThatOwnsEveryDialog()
    {
        Program p;
        CUSBControlAppDlg& w = *p.dlg;
        QCOMPARE(w.windowType(), Qt::Window);
        QVERIFY(!w.windowIcon().isNull());
        UpdateDialogsQt& update = p.dialogs->updateDialogs();
        for (QWidget* dialog : std::vector<QWidget*>{&p.dialogs->info(), &p.dialogs->about(),
                                                     &update.nelo(), &update.process(),
                                                     &update.failed(), &update.successful()})
            QCOMPARE(dialog->parentWidget(), &w);
        QCOMPARE(w.findChildren<CPort_Mapping*>().size(), qsizetype{1});
        QCOMPARE(w.findChildren<CChangeAddress*>().size(), qsizetype{1});
        QCOMPARE(w.findChildren<CNEWSEGMENT*>().size(), qsizetype{1});
        QCOMPARE(w.findChildren<CSwitchingThreshold*>().size(), qsizetype{1});

        // Running: not modal, kept above no other window; Escape and Enter
        // leave it open; Info opens modally over it; Exit ends it with 0.
        bool seen = false;
        QTimer::singleShot(0, &w, [&] {
            seen = !w.isModal() && w.windowHandle()->modality() == Qt::NonModal &&
                   w.windowHandle()->transientParent() == nullptr;
            QTest::keyClick(&w, Qt::Key_Escape);
            QTest::keyClick(&w, Qt::Key_Return);
            seen = seen && w.isVisible();
            QTimer::singleShot(0, &w, [&] {
                CInfo& info = p.dialogs->info();
                seen = seen && QApplication::activeModalWidget() == &info &&
                       info.windowHandle()->transientParent() == w.windowHandle();
                info.accept();
                QTimer::singleShot(0, &w, [&] { w.exitButton()->click(); });
            });
            w.infoAction()->trigger();
        });
        QCOMPARE(w.DoModal(), 0);
        QVERIFY(seen);
        QVERIFY(!w.isVisible());
    }

    void listsOpenAsAScrollingListOfLimitedHeight()
    {
        Program p;
        p.OpenInStep();
        QComboBox* sounds = p.dlg->patternList(kSoundRow);
        sounds->showPopup();
        QAbstractItemView* view = sounds->view();
        QTRY_VERIFY(view->isVisible());
        QVERIFY(view->verticalScrollBar()->isVisible());
        QVERIFY(view->height() < sounds->count() * view->sizeHintForRow(0));
        // The open list scrolls under the wheel.
        Wheel(view->viewport(), -1);
        QVERIFY(view->verticalScrollBar()->value() > 0);
        sounds->hidePopup();
    }

    void paddedStatusTextsSitOnOneCentredLine()
    {
        DeviceState device;
        PortMappingState map;
        CPort_Mapping mapping(map, device, OpenLink());
        AddressChangeState change;
        CNEWSEGMENT newColour(change, device, OpenLink());
        SwitchingThresholdState threshold;
        CSwitchingThreshold thresholdDialog(threshold, device, OpenLink());
        const std::pair<QLabel*, const char*> cases[] = {
            {mapping.statusText(), kPortMapSuccess},
            {mapping.statusText(), kPortMapSameAddresses},
            {newColour.statusText(), kAddressChangedText},
            {newColour.statusText(), kSameAddressText},
            {thresholdDialog.statusText(), kThresholdSuccess}};
        for (const auto& [field, text] : cases) {
            field->window()->show();
            field->setText(QString::fromLatin1(text));
            QVERIFY(!field->wordWrap());
            QVERIFY(field->alignment() & Qt::AlignHCenter);
            const int needed = QFontMetrics(field->font()).horizontalAdvance(field->text());
            QVERIFY2(field->contentsRect().width() >= needed, text);
        }
    }
};

QTEST_MAIN(WindowUsabilityTest)
#include "window_usability_test.moc"
