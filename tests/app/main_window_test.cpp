#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QtTest>

#include <functional>
#include <memory>
#include <vector>

#include "app/usb_control_app_dlg.h"
#include "device/report_protocol.h"
#include "platform/clock.h"
#include "sim/virtual_bootloader.h"
#include "sim/virtual_tower.h"
#include "tests/platform/lock_holder.h"

using namespace kv;

namespace {

// A fresh program: state, link, tables and window, over the virtual clock.
struct Program {
    Program()
        : link(state), dlg(std::make_unique<CUSBControlAppDlg>(state, link, patterns))
    {
        dlg->OnInitDialog();
        dlg->show();
    }

    sim::VirtualBaseController& tower() { return sim::TheVirtualTower().baseController(0); }

    void Ticks(int n)
    {
        for (int i = 0; i < n && link.IsOpen(); ++i)
            dlg->OnTimer(kPollTimerId);
    }

    // Opens the link and ticks until the window is in step with the tower.
    void OpenInStep()
    {
        dlg->openCloseButton()->click();
        Ticks(120);
    }

    std::vector<sim::LoggedReport> Log() { return tower().outputLog(); }

    ScopedVirtualClock clock;
    DeviceState state;
    HidLink link;
    PatternTables patterns;
    std::unique_ptr<CUSBControlAppDlg> dlg;
};

bool IsConnectionReport(const sim::LoggedReport& r)
{
    return r.type() == kOutSwitch && r.frame[7] == kMarkerConnection;
}

bool IsHostReport(const sim::LoggedReport& r, uint8_t value)
{
    return r.type() == kOutHost && r.frame[1] == value;
}

// Every present segment gets its connection report, 50 ms apart, then the
// host report with 0.
void ExpectGoodbye(const std::vector<sim::LoggedReport>& log)
{
    const uint8_t addresses[6] = {8, 13, 18, 23, 28, 33};
    std::vector<sim::LoggedReport> goodbye;
    for (const auto& r : log)
        if (IsConnectionReport(r) || r.type() == kOutHost)
            goodbye.push_back(r);
    QCOMPARE(goodbye.size(), size_t{7});
    for (size_t i = 0; i < 6; ++i) {
        QVERIFY(IsConnectionReport(goodbye[i]));
        QCOMPARE(goodbye[i].frame[1], addresses[i]);
        QCOMPARE(goodbye[i].frame[2], uint8_t{0});
        QVERIFY(goodbye[i + 1].timeUs - goodbye[i].timeUs >= 50000);
    }
    QVERIFY(IsHostReport(goodbye[6], 0));
}

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

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init() { sim::TheVirtualTower().Reset(); }

    void startsOfflineWithEveryRowDisabled()
    {
        Program p;
        CUSBControlAppDlg& w = *p.dlg;
        QCOMPARE(w.statusLine()->text(), QString("Device Status: Offline."));
        QCOMPARE(w.messageLine()->text(), QString());
        QCOMPARE(w.openCloseButton()->text(), QString("Open"));
        QVERIFY(!w.sendButton()->isEnabled());
        QVERIFY(w.firmwareUpdateAction()->isEnabled());
        QVERIFY(!w.portMappingAction()->isEnabled());
        QVERIFY(!w.changeAddressAction()->isEnabled());
        QVERIFY(!w.switchingThresholdAction()->isEnabled());
        QVERIFY(w.infoAction()->isEnabled());
        QVERIFY(!w.pollTimerRunning());
        for (int r = 0; r < kRows; ++r) {
            QVERIFY(!w.patternList(r)->isEnabled());
            QVERIFY(!w.slider(r)->isEnabled());
            QVERIFY(!w.switchButton(r)->isEnabled());
        }
        // The window cannot be resized.
        QCOMPARE(w.minimumSize(), w.maximumSize());
    }

    void openWithoutTowerWarns()
    {
        sim::TheVirtualTower().Clear();
        Program p;
        p.dlg->openCloseButton()->click();
        QCOMPARE(p.dlg->messageLine()->text(), QString("Warning: Unable to open device."));
        QCOMPARE(p.dlg->statusLine()->text(), QString("Device Status: Offline."));
        QCOMPARE(p.dlg->openCloseButton()->text(), QString("Open"));
        QVERIFY(!p.dlg->sendButton()->isEnabled());
        QVERIFY(!p.dlg->pollTimerRunning());
        QVERIFY(!p.dlg->portMappingAction()->isEnabled());
    }

    void openOfATowerAnotherProgramHoldsNamesItAndSendsNothing()
    {
        test::LockFolder folder;
        const std::string path = sim::TheVirtualTower().hidDevices().front().path;
        test::LockHolder holder("kestrivaned", [&] {
            static DeviceState state;
            static HidLink link(state);
            link.SetDevicePath(path);
            return link.Open() != nullptr;
        });
        QVERIFY(holder.holds());
        Program p;
        p.dlg->openCloseButton()->click();
        QCOMPARE(p.dlg->messageLine()->text(),
                 QString("Warning: Unable to open device. The tower is held by kestrivaned (pid %1).")
                     .arg(holder.pid()));
        QCOMPARE(p.dlg->statusLine()->text(), QString("Device Status: Offline."));
        QVERIFY(!p.dlg->pollTimerRunning());
        QVERIFY(p.Log().empty());
        QCOMPARE(sim::TheVirtualTower().hidApi().openCalls, 0);

        // The holder ends: the next Open takes the tower.
        holder.Release();
        p.dlg->openCloseButton()->click();
        QCOMPARE(p.dlg->statusLine()->text(), QString("Device Status: Online."));
        QVERIFY(!p.Log().empty());
    }

    void openGoesOnlineAndFillsBothPanels()
    {
        Program p;
        CUSBControlAppDlg& w = *p.dlg;
        w.openCloseButton()->click();
        QCOMPARE(w.statusLine()->text(), QString("Device Status: Online."));
        QCOMPARE(w.openCloseButton()->text(), QString("Close"));
        QVERIFY(w.sendButton()->isEnabled());
        QVERIFY(w.pollTimerRunning());
        QCOMPARE(w.pollTimerInterval(), 30);
        QVERIFY(w.portMappingAction()->isEnabled());
        const auto log = p.Log();
        QCOMPARE(log.size(), size_t{1});
        QVERIFY(IsHostReport(log[0], 1));

        p.Ticks(120);
        const char* names[5] = {"Red 1", "Yellow 1", "Green 1", "Blue 1", "White 1"};
        for (int r = 0; r < kColourRows; ++r) {
            QVERIFY(w.patternList(r)->isEnabled());
            QVERIFY(w.switchButton(r)->isEnabled());
            QCOMPARE(w.nameText(r)->text(), QString(names[r]));
            QCOMPARE(w.model().input[static_cast<size_t>(r)].picture.kind, PictureKind::ColourOff);
        }
        QCOMPARE(w.model().input[kSoundRow].picture.kind, PictureKind::SoundOff);
        QVERIFY(w.slider(kSoundRow)->isEnabled());
        QCOMPARE(w.slider(kSoundRow)->value(), 166);
        QCOMPARE(w.percentBox(kSoundRow)->text(), QString("50"));
        // Every segment got its connection report once the state was complete.
        int connection = 0;
        for (const auto& r : p.Log())
            connection += IsConnectionReport(r) ? 1 : 0;
        QCOMPARE(connection, 6);
    }

    void closeSaysGoodbyeAndGoesOffline()
    {
        Program p;
        CUSBControlAppDlg& w = *p.dlg;
        p.OpenInStep();
        w.slider(2)->setValue(40);
        p.tower().ClearOutputLog();

        w.openCloseButton()->click();
        ExpectGoodbye(p.Log());
        QVERIFY(!w.pollTimerRunning());
        QVERIFY(!p.link.IsOpen());
        QCOMPARE(w.statusLine()->text(), QString("Device Status: Offline."));
        QCOMPARE(w.openCloseButton()->text(), QString("Open"));
        QVERIFY(!w.sendButton()->isEnabled());
        QVERIFY(!w.portMappingAction()->isEnabled());
        for (int r = 0; r < kRows; ++r) {
            QVERIFY(!w.patternList(r)->isEnabled());
            QVERIFY(!w.switchButton(r)->isEnabled());
            QCOMPARE(w.switchButton(r)->text(), QString("On"));
            QCOMPARE(w.model().input[static_cast<size_t>(r)].picture.kind, PictureKind::Empty);
            QCOMPARE(w.patternList(r)->currentIndex(), 0);
        }
        QCOMPARE(w.slider(2)->value(), 128);
        QCOMPARE(w.percentBox(2)->text(), QString("50"));
        QCOMPARE(w.slider(kSoundRow)->value(), 120);
        QCOMPARE(w.percentBox(kSoundRow)->text(), QString("1"));
    }

    void closeBoxWhileOnlineSaysGoodbyeBeforeTheWindowGoes()
    {
        Program p;
        p.OpenInStep();
        p.tower().ClearOutputLog();
        QVERIFY(p.dlg->close());
        ExpectGoodbye(p.Log());
        QVERIFY(!p.dlg->isVisible());
        QCOMPARE(p.dlg->result(), 0);
        QVERIFY(!p.link.IsOpen());
        QVERIFY(!p.dlg->pollTimerRunning());
    }

    void enterAndEscapeLeaveTheWindowOpen()
    {
        Program p;
        p.OpenInStep();
        p.tower().ClearOutputLog();
        for (QWidget* focus : {static_cast<QWidget*>(p.dlg.get()),
                               static_cast<QWidget*>(p.dlg->exitButton()),
                               static_cast<QWidget*>(p.dlg->openCloseButton())}) {
            focus->setFocus();
            for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
                QTest::keyClick(focus, key);
        }
        QVERIFY(p.dlg->isVisible());
        QVERIFY(p.link.IsOpen());
        QCOMPARE(p.dlg->openCloseButton()->text(), QString("Close"));
        QVERIFY(p.Log().empty());
    }

    void changedPatternAndSliderReachTheTowerOnSend()
    {
        Program p;
        CUSBControlAppDlg& w = *p.dlg;
        p.OpenInStep();
        p.tower().ClearOutputLog();
        w.patternList(1)->setCurrentIndex(5);  // "Alarm Flash"
        w.slider(1)->setValue(200);
        QCOMPARE(w.percentBox(1)->text(), QString("78"));
        QCOMPARE(p.state.rowPending[1], uint8_t{1});
        QVERIFY(p.Log().empty());  // composed, not sent

        w.sendButton()->click();
        const auto log = p.Log();
        QCOMPARE(log.size(), size_t{4});
        const sim::Frame switchOff = {0, 13, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 4};
        QCOMPARE(log[0].frame, switchOff);
        QCOMPARE(log[1].frame, (sim::Frame{0, 13, 2, 0, 5, 0, 200, 5, 1}));
        QCOMPARE(log[2].frame, (sim::Frame{0, 0, 5, 1, 0, 0, 0, 1, 2}));
        QCOMPARE(log[3].frame, switchOff);
        QVERIFY(w.pollTimerRunning());

        // The text stays for 70 ticks, while the tower reports the new pattern
        // back, and is then blanked.
        for (int i = 0; i < 69; ++i) {
            p.Ticks(1);
            QCOMPARE(w.messageLine()->text(), QString("Successfull send to segment(s)"));
        }
        p.Ticks(1);
        QCOMPARE(w.messageLine()->text(), QString(" "));
        QCOMPARE(w.patternList(1)->currentIndex(), 5);
        QCOMPARE(w.slider(1)->value(), 200);
        QCOMPARE(p.state.rowPending[1], uint8_t{0});
    }

    // A keyboard change to a slider is a change like any other, also when the
    // device moved the slider in between.
    void keyboardChangeToASliderIsSent()
    {
        Program p;
        CUSBControlAppDlg& w = *p.dlg;
        p.OpenInStep();
        QSlider* slider = w.slider(0);
        slider->setFocus();
        QTest::keyClick(slider, Qt::Key_End);
        QCOMPARE(slider->value(), 255);
        QCOMPARE(w.percentBox(0)->text(), QString("100"));
        QCOMPARE(int{p.state.rowPending[0]}, 1);

        // Not sent: the device's own change drops it, and the same key again
        // is a change against what the device reported.
        p.tower().mutableConfig().level[0] = 100;
        p.Ticks(10);
        QCOMPARE(slider->value(), 100);
        QCOMPARE(int{p.state.rowPending[0]}, 0);
        QTest::keyClick(slider, Qt::Key_End);
        QCOMPARE(w.percentBox(0)->text(), QString("100"));
        QCOMPARE(int{p.state.rowPending[0]}, 1);
        p.tower().ClearOutputLog();
        w.sendButton()->click();
        const auto log = p.Log();
        QCOMPARE(log.size(), size_t{4});
        QCOMPARE(int{log[1].frame[6]}, 255);
    }

    // The poll timer itself, not a test calling its handler, keeps the window
    // in step, also after slider and list changes.
    void pollTimerRunsOnThroughSliderAndListChanges()
    {
        Program p;
        CUSBControlAppDlg& w = *p.dlg;
        w.openCloseButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(w.nameText(0)->text(), QString("Red 1"), 30000);
        const std::function<void()> changes[] = {[&] { w.slider(2)->setValue(40); },
                                                  [&] { w.patternList(1)->setCurrentIndex(4); }};
        uint8_t address = 29;
        for (const auto& change : changes) {
            change();
            QVERIFY(w.pollTimerRunning());
            QCOMPARE(int{p.state.suspendRead}, 0);
            p.tower().mutableConfig().segmentAddress[4] = address;
            QTRY_COMPARE_WITH_TIMEOUT(w.nameText(4)->text(), QString(AddressLabel(address)), 30000);
            ++address;
        }
    }

    // The sound slider's scale is the widget's: 0..100 for a melody, 119..213
    // for a tone pattern, and its box never shows more than 100.
    void soundSliderScaleFollowsThePattern()
    {
        Program p;
        CUSBControlAppDlg& w = *p.dlg;
        p.tower().mutableConfig().patternCode[kSoundRow] = 16;  // "Car Alarm"
        p.OpenInStep();  // first volume 166: 2 * 166 - 1 is past the scale
        QSlider* slider = w.slider(kSoundRow);
        const struct {
            int item;
            int min;
            int max;
        } picks[] = {{16, 0, 100}, {4, 119, 213}, {16, 0, 100}, {0, 119, 213}};
        for (const auto& pick : picks) {
            if (w.patternList(kSoundRow)->currentIndex() != pick.item)
                w.patternList(kSoundRow)->setCurrentIndex(pick.item);
            QCOMPARE(slider->minimum(), pick.min);
            QCOMPARE(slider->maximum(), pick.max);
            QVERIFY(w.percentBox(kSoundRow)->text().toInt() <= 100);
            QVERIFY(p.state.volumeMemory[16] <= 100);
        }
    }

    void rowButtonSwitchesTheSegmentThroughThePollCycle()
    {
        Program p;
        CUSBControlAppDlg& w = *p.dlg;
        p.OpenInStep();
        w.switchButton(0)->click();
        QCOMPARE(w.switchButton(0)->text(), QString("Off"));
        QCOMPARE(w.model().input[0].picture,
                 (TowerPicture{PictureKind::ColourOn, SegmentColour::Red}));
        QCOMPARE(int{p.state.onState[8]}, 1);
        QCOMPARE(w.messageLine()->text(), QString(" "));
        // What the label shows: full red body, rim band, the black row 12.
        const QImage shown = w.towerPicture(0)->pixmap().toImage();
        QCOMPARE(shown.size(), QSize(100, 60));
        QCOMPARE(shown.pixel(50, 30), qRgb(0xFF, 0x00, 0x00));
        QCOMPARE(shown.pixel(50, 5), qRgb(0xFA, 0xFA, 0xFA));
        QCOMPARE(shown.pixel(50, 12), qRgb(0, 0, 0));
        QCOMPARE(w.towerPicture(1)->pixmap().toImage().pixel(50, 30), qRgb(0xFE, 0xFF, 0xD3));
        QVERIFY(w.pollTimerRunning());
        p.Ticks(20);
        QCOMPARE(int{p.tower().switchState(8).on}, 1);
        QCOMPARE(int{p.tower().switchState(8).marker}, int{kMarkerState});
    }

    void boostedPatternDoublesTheSliderUpToTheTower()
    {
        Program p;
        CUSBControlAppDlg& w = *p.dlg;
        p.OpenInStep();
        w.patternList(0)->setCurrentIndex(7);  // "Single Quick Flash (Slow)"
        QCOMPARE(w.scaleLabel(0)->text(), QString("200 %"));
        QCOMPARE(w.slider(0)->value(), 64);
        QCOMPARE(w.percentBox(0)->text(), QString("50"));
        // Dragging: every position on the way is taken.
        w.slider(0)->setSliderDown(true);
        for (int pos = 65; pos <= 255; pos += 10)
            w.slider(0)->setSliderPosition(pos);
        w.slider(0)->setSliderPosition(255);
        w.slider(0)->setSliderDown(false);
        QCOMPARE(w.percentBox(0)->text(), QString("200"));
        QCOMPARE(int{p.state.levelMemory[7][0]}, 510);
        p.tower().ClearOutputLog();
        w.sendButton()->click();
        const auto log = p.Log();
        QCOMPARE(log.size(), size_t{4});
        const sim::Frame first = {0, 8, 2, 0, 7, 1, 254, 1, 1};
        QCOMPARE(log[1].frame, first);
        p.Ticks(60);
        QCOMPARE(int{p.tower().config().level[0]}, 510);
        QCOMPARE(w.slider(0)->value(), 255);
        QCOMPARE(w.scaleLabel(0)->text(), QString("200 %"));
    }

    void absentSegmentsLeaveTheirRowsDisabled()
    {
        sim::TheVirtualTower().Clear();
        sim::BaseControllerConfig config;
        config.segmentAddress = {8, 13, 0, 23, 28, 0};
        sim::TheVirtualTower().AddBaseController(config);
        Program p;
        CUSBControlAppDlg& w = *p.dlg;
        p.OpenInStep();
        QVERIFY(w.patternList(1)->isEnabled());
        QVERIFY(!w.patternList(2)->isEnabled());
        QVERIFY(!w.switchButton(2)->isEnabled());
        QCOMPARE(w.model().input[2].picture.kind, PictureKind::Empty);
        QCOMPARE(w.nameText(2)->text(), QString());
        QVERIFY(!w.slider(kSoundRow)->isEnabled());
        QCOMPARE(w.model().input[kSoundRow].picture.kind, PictureKind::Empty);
        QCOMPARE(w.slider(kSoundRow)->value(), 120);
        QCOMPARE(w.percentBox(kSoundRow)->text(), QString("1"));

        // A press there changes nothing, but the poll timer runs on.
        const WindowModel before = w.model();
        w.OnRowSwitch(2);
        w.OnSoundSwitch();
        QVERIFY(w.model() == before);
        QVERIFY(w.pollTimerRunning());
        QCOMPARE(int{p.state.suspendRead}, 0);
    }

    void unplugGoesOfflineWithinATick()
    {
        Program p;
        p.OpenInStep();
        p.tower().Unplug();
        p.Ticks(2);
        QCOMPARE(p.dlg->statusLine()->text(), QString("Device Status: Offline."));
        QVERIFY(!p.dlg->pollTimerRunning());
        QVERIFY(!p.dlg->switchButton(0)->isEnabled());
    }

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
            p.Ticks(1);
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
        p.Ticks(7);
        QCOMPARE(p.dlg->nameText(0)->text(), QString("Red 1"));
    }

    void firmware28EnablesTheToolsOncePerConnection()
    {
        Program p;
        int updates = 0;
        MenuCommands menu;
        menu.firmwareUpdate = [&updates] { ++updates; };
        p.dlg->SetMenuCommands(menu);
        p.dlg->openCloseButton()->click();
        p.dlg->session().EnableToolMenu(false);
        p.Ticks(60);
        QVERIFY(p.dlg->portMappingAction()->isEnabled());
        QVERIFY(p.dlg->switchingThresholdAction()->isEnabled());
        // Greyed again, it stays greyed: the check ran once.
        p.dlg->session().EnableToolMenu(false);
        p.Ticks(60);
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
        p.Ticks(200);
        QCOMPARE(updates, 1);
        QVERIFY(!p.link.IsOpen());
        QVERIFY(!p.dlg->pollTimerRunning());
        QCOMPARE(p.dlg->statusLine()->text(), QString("Device Status: Offline."));
        QVERIFY(!p.dlg->portMappingAction()->isEnabled());
        QCOMPARE(p.tower().hostConnected(), 0);
    }
    void openThatFindsNoTowerSaysWhatToCheck()
    {
        struct Case {
            const char* name;
            std::function<void()> bus;
            const char* hint;
        };
        const Case cases[] = {
            {"nothing attached", [] {}, kNoTowerHint},
            {"held by another program",
             [] { sim::TheVirtualTower().AddBaseController({}, false); }, kNotOpenableHint},
            {"waiting in its boot loader", [] { sim::TheVirtualUsb().AddBootloader(0); },
             kBootloaderHint},
        };
        for (const Case& c : cases) {
            sim::TheVirtualTower().Clear();
            sim::TheVirtualUsb().Reset();
            Program p;  // on its clock, the bus as it comes
            c.bus();
            p.dlg->openCloseButton()->click();
            QVERIFY2(!p.link.IsOpen(), c.name);
            // The warning stays as it is, first; what to check comes below it.
            QCOMPARE(p.dlg->messageLine()->text(), QString("Warning: Unable to open device."));
            QCOMPARE(p.dlg->hintLine()->text(), QString(c.hint));
            QCOMPARE(p.dlg->messageLine()->toolTip(), QString(c.hint));
            QVERIFY(p.dlg->hintLine()->isVisibleTo(p.dlg.get()));
        }
        sim::TheVirtualUsb().Reset();

        // The next message takes the hint away.
        sim::TheVirtualTower().Reset();
        Program p;
        sim::TheVirtualTower().baseController(0).Unplug();
        p.dlg->openCloseButton()->click();
        sim::TheVirtualTower().baseController(0).PlugIn();
        p.OpenInStep();
        QCOMPARE(p.dlg->hintLine()->text(), QString());
    }

    void severalTowersAreChosenAndOneOpensAsBefore()
    {
        sim::TheVirtualTower().Clear();
        sim::VirtualBaseController& first = sim::TheVirtualTower().AddBaseController();
        sim::VirtualBaseController& second = sim::TheVirtualTower().AddBaseController();
        const std::string secondPath = sim::TheVirtualTower().hidDevices()[1].path;
        Program p;
        std::vector<std::vector<std::string>> asked;
        int answer = -1;
        p.dlg->chooseTower = [&](const std::vector<std::string>& entries) {
            asked.push_back(entries);
            return answer;
        };
        // Not chosen: nothing opens, nothing is sent.
        p.dlg->openCloseButton()->click();
        QVERIFY(!p.link.IsOpen());
        QCOMPARE(p.dlg->messageLine()->text(), QString());

        answer = 1;
        p.dlg->openCloseButton()->click();
        QVERIFY(p.link.IsOpen());
        QCOMPARE(p.link.devicePath(), secondPath);
        QCOMPARE(second.hostConnected(), 1);
        QCOMPARE(first.hostConnected(), -1);
        p.Ticks(120);
        p.dlg->openCloseButton()->click();
        QCOMPARE(asked.size(), size_t{2});
        QCOMPARE(asked[1], (std::vector<std::string>{"/dev/hidraw-virtual0, firmware not known yet",
                                                    "/dev/hidraw-virtual1, firmware not known yet"}));
        // The next choice knows the firmware of the one this window had.
        answer = -1;
        p.dlg->openCloseButton()->click();
        QCOMPARE(asked.back()[1], std::string("/dev/hidraw-virtual1, firmware 2.8"));

        // One tower left: opened without a question, the first found.
        first.Unplug();
        p.dlg->openCloseButton()->click();
        QCOMPARE(asked.size(), size_t{3});
        QVERIFY(p.link.IsOpen());
        QCOMPARE(p.link.devicePath(), std::string());
    }

    void offlineWindowNoticesATowerArrivingAndLeavesItClosed()
    {
        sim::TheVirtualTower().Clear();
        sim::TheVirtualUsb().Reset();
        Program p;
        CUSBControlAppDlg& w = *p.dlg;
        QVERIFY(w.watchTimerRunning());
        w.OnWatch();
        QCOMPARE(w.messageLine()->text(), QString());

        sim::TheVirtualUsb().AddBootloader(0);
        w.OnWatch();
        QCOMPARE(w.messageLine()->text(), QString(kBootloaderArrivedText));
        QCOMPARE(w.hintLine()->text(), QString(kBootloaderHint));

        sim::TheVirtualTower().AddBaseController();
        w.OnWatch();
        QCOMPARE(w.messageLine()->text(), QString(kTowerArrivedText));
        QCOMPARE(w.hintLine()->text(), QString("Press \"Open\" to connect."));
        QVERIFY(!p.link.IsOpen());
        QCOMPARE(p.tower().hostConnected(), -1);
        sim::TheVirtualUsb().Reset();

        // Online the lists are left alone; offline again, the watch goes on.
        p.OpenInStep();
        QVERIFY(!w.watchTimerRunning());
        w.openCloseButton()->click();
        QVERIFY(w.watchTimerRunning());
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
