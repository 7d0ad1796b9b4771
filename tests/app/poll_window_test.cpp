// The window following the tower live: warm-up, a user's change on its way to
// the tower and back, and the once-per-connection firmware check.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QtTest>

#include <memory>

#include "app/usb_control_app_dlg.h"
#include "device/report_protocol.h"
#include "platform/clock.h"
#include "sim/virtual_tower.h"

using namespace kv;

namespace {

struct Program {
    Program() : link(state), dlg(std::make_unique<CUSBControlAppDlg>(state, link, patterns))
    {
        dlg->OnInitDialog();
        dlg->show();
    }

    sim::VirtualBaseController& tower() { return sim::TheVirtualTower().baseController(0); }

    void Tick() { dlg->OnTimer(kPollTimerId); }

    ScopedVirtualClock clock;
    DeviceState state;
    HidLink link;
    PatternTables patterns;
    std::unique_ptr<CUSBControlAppDlg> dlg;
};

// True once every type the window needs has been counted four times since
// the program started.
bool InStepNow(const DeviceState& s)
{
    for (int type : {1, 2, 3, 4, 5, 6, 8})
        if (s.reportSeen[static_cast<size_t>(type - 1)] == 0)
            return false;
    return true;
}

}  // namespace

class PollWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init() { sim::TheVirtualTower().Reset(); }

    void panelsWaitForACompleteStateEvenWithoutType7()
    {
        Program p;
        // A stream without threshold reports still brings the window in step.
        p.tower().mutableConfig().reportOrder = {8, 6, 5, 4, 3, 2, 1};
        p.dlg->openCloseButton()->click();
        int ticks = 0;
        while (!InStepNow(p.state) && ticks < 200) {
            // Until the last missing type has come four times, nothing shows.
            QCOMPARE(p.dlg->nameText(0)->text(), QString());
            QCOMPARE(p.dlg->model().input[0].picture.kind, PictureKind::Empty);
            QVERIFY(!p.dlg->patternList(0)->isEnabled());
            p.Tick();
            ++ticks;
        }
        QVERIFY(ticks >= 4 * 7 - 1);
        // The tick that completed the state has refreshed everything.
        QCOMPARE(p.dlg->nameText(0)->text(), QString("Red 1"));
        QVERIFY(p.dlg->patternList(0)->isEnabled());
        QCOMPARE(p.state.reportSeen[6], uint8_t{0});

        // Reopening needs one fresh report of each type, not a new warm-up.
        p.dlg->openCloseButton()->click();
        QCOMPARE(p.dlg->nameText(0)->text(), QString());
        p.dlg->openCloseButton()->click();
        for (int i = 0; i < 7; ++i)
            p.Tick();
        QCOMPARE(p.dlg->nameText(0)->text(), QString("Red 1"));
    }

    void aTypicalRoad()
    {
        Program p;
        p.dlg->openCloseButton()->click();
        for (int i = 0; i < 60; ++i)
            p.Tick();
        QCOMPARE(p.dlg->patternList(1)->currentIndex(), 0);

        // "Alarm Flash" for "Color Segment 2": composed and pending, not sent.
        p.tower().ClearOutputLog();
        p.dlg->patternList(1)->setCurrentIndex(5);
        QCOMPARE(p.state.rowPending[1], uint8_t{1});
        QVERIFY(p.tower().outputLog().empty());

        p.dlg->sendButton()->click();
        QCOMPARE(p.tower().config().patternCode[1], uint8_t{5});
        QCOMPARE(p.dlg->messageLine()->text(), QString("Successfull send to segment(s)"));
        QVERIFY(p.dlg->pollTimerRunning());

        // The text stays for 70 ticks, while the tower reports the new pattern
        // back, and is then blanked.
        for (int i = 0; i < 69; ++i) {
            p.Tick();
            QCOMPARE(p.dlg->messageLine()->text(), QString("Successfull send to segment(s)"));
        }
        p.Tick();
        QCOMPARE(p.dlg->messageLine()->text(), QString(" "));
        QCOMPARE(p.state.patternCode[1], uint8_t{5});
        QCOMPARE(p.dlg->patternList(1)->currentIndex(), 5);
        QCOMPARE(p.state.rowPending[1], uint8_t{0});
        QCOMPARE(p.state.rowCommand[1].patternCode, uint8_t{5});
    }

    void firmware28EnablesTheToolsOncePerConnection()
    {
        Program p;
        int updates = 0;
        MenuCommands menu;
        menu.firmwareUpdate = [&updates] { ++updates; };
        p.dlg->SetMenuCommands(menu);
        p.dlg->openCloseButton()->click();
        p.dlg->EnableToolMenu(false);
        for (int i = 0; i < 60; ++i)
            p.Tick();
        QVERIFY(p.dlg->portMappingAction()->isEnabled());
        QVERIFY(p.dlg->switchingThresholdAction()->isEnabled());
        // Greyed again, it stays greyed: the check ran once.
        p.dlg->EnableToolMenu(false);
        for (int i = 0; i < 60; ++i)
            p.Tick();
        QVERIFY(!p.dlg->portMappingAction()->isEnabled());
        QCOMPARE(updates, 0);
    }

    void anotherVersionStartsTheUpdateOnceAndEndsWithoutIt()
    {
        Program p;
        p.tower().mutableConfig().firmwareVersion[kBaseControllerSlot] = 25;
        int updates = 0;
        MenuCommands menu;
        menu.firmwareUpdate = [&updates] { ++updates; };
        p.dlg->SetMenuCommands(menu);
        p.dlg->openCloseButton()->click();
        for (int i = 0; i < 200 && p.link.IsOpen(); ++i)
            p.Tick();
        QCOMPARE(updates, 1);
        QVERIFY(!p.link.IsOpen());
        QVERIFY(!p.dlg->pollTimerRunning());
        QCOMPARE(p.dlg->statusLine()->text(), QString("Device Status: Offline."));
        QVERIFY(!p.dlg->portMappingAction()->isEnabled());
        QCOMPARE(p.tower().hostConnected(), 0);
    }
};

QTEST_MAIN(PollWindowTest)
#include "poll_window_test.moc"
