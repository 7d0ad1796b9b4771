// Unplugging the tower anywhere in a scripted use of the window.
//
// The script: Open, the warm-up and the first refresh, a Send of several
// rows, the send and wait of each tool dialog (port mapping, address change,
// switching threshold), Close. A clean run fixes how many poll ticks run and
// how many output reports the tower takes; then the script runs once more
// for every tick, with the tower unplugged just before it, and once for
// every write, with the tower unplugged right after it.
//
// Every run must: go Offline at the first poll tick that runs after the
// unplug; never show a send or a tool result as a success that the tower
// does not hold; end Offline; come back Online after plugging in and Open.
// The main window's poll timer and the dialogs' timers are fired by the
// script on the virtual clock, so the runs are the same each time.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QtTest>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/usb_control_app_dlg.h"
#include "device/report_protocol.h"
#include "platform/clock.h"
#include "sim/virtual_tower.h"
#include "tools/address_change_dialog.h"
#include "tools/port_mapping_dialog.h"
#include "tools/switching_threshold_dialog.h"
#include "tools/tool_commands.h"

using namespace kv;

namespace {

constexpr uint64_t kPollUs = 30000;

const QString kOffline = QStringLiteral("Device Status: Offline.");
const QString kOnline = QStringLiteral("Device Status: Online.");
const QString kSendSucceeded = QStringLiteral("Successfull send to segment(s)");
const QString kPortMapSucceeded =
    QStringLiteral("   Addresses have been     transmitted successfully!");
const QString kAddressSucceeded =
    QStringLiteral("         Address has been           changed successfully!");
const QString kThresholdSucceeded =
    QStringLiteral("    The transfer was                successful!");

// The maps the script sends: first input port 2 also switches the sound
// segment, then Red 2 takes input port 1.
const std::array<uint8_t, 5> kScriptAcousticMap = {8, 13 | 0x80, 18, 23, 28 | 0x80};
const std::array<uint8_t, 5> kScriptPortMap = {9, 13 | 0x80, 18, 23, 28 | 0x80};
constexpr uint8_t kScriptNewAddress = 9;  // Red 1 becomes Red 2
constexpr uint8_t kScriptThreshold = 110;  // the "12.0 V" preset

struct Fault {
    int unplugBeforeTick = -1;    // poll tick (0 = the first) before which the plug is pulled
    int unplugAfterWrites = -1;   // output reports the tower takes before the plug is pulled
};

// What a run saw.
struct Outcome {
    int pollTicks = 0;
    size_t writes = 0;
    size_t patternReportsOfSend = 0;
    QString portMapStatus;
    QString addressStatus;
    QString thresholdStatus;
    std::vector<std::string> problems;
};

class ScriptRun {
public:
    explicit ScriptRun(Fault fault) : fault_(fault)
    {
        // A fresh program over the program-wide state the tool dialogs use.
        sim::TheVirtualTower().Reset();
        TheDeviceState() = DeviceState();
        ThePatternTables() = PatternTables();
        ThePortMappingState() = PortMappingState();
        PresetPortCodes();
        TheAddressChangeState() = AddressChangeState();
        TheSwitchingThresholdState() = SwitchingThresholdState();
        window_ = std::make_unique<CUSBControlAppDlg>(TheDeviceState(), TheHidLink(),
                                                      ThePatternTables());
        CUSBControlAppDlg* w = window_.get();
        MenuCommands menu;
        menu.portMapping = [w] { RunPortMapping(w->session(), w); };
        menu.changeAddress = [w] { RunChangeAddress(w->session(), w); };
        menu.switchingThreshold = [w] { RunSwitchingThreshold(w->session(), w); };
        window_->SetMenuCommands(menu);
        window_->OnInitDialog();
        window_->show();
        if (fault_.unplugAfterWrites >= 0)
            Tower().UnplugAfterOutputReports(static_cast<uint64_t>(fault_.unplugAfterWrites));
    }
    ~ScriptRun()
    {
        window_.reset();
        TheHidLink().Close();
    }

    const Outcome& outcome() const { return out_; }

    void Play()
    {
        CUSBControlAppDlg& w = *window_;
        w.openCloseButton()->click();
        Ticks(50);  // warm-up and the first refresh
        SendSeveralRows();
        Ticks(20);
        // Red 1 switched on from the window; the poll cycle sends its state.
        if (w.switchButton(0)->isEnabled())
            w.switchButton(0)->click();
        Ticks(10);
        PortMapping();
        // The user takes all segments but Red 1 off for the address change.
        Tower().mutableConfig().segmentAddress = {8, 0, 0, 0, 0, 0};
        Ticks(20);
        ChangeAddress();
        Threshold();
        Ticks(10);
        // An open link needs its poll timer, or an unplug would never be seen.
        Expect(!TheHidLink().IsOpen() || w.pollTimerRunning(), "link open without its poll timer");
        Expect(Tower().pluggedIn() || !TheHidLink().IsOpen(), "the link outlived the unplug");
        if (TheHidLink().IsOpen())
            w.openCloseButton()->click();
        Expect(w.statusLine()->text() == kOffline, "not Offline at the end");
        Expect(!TheHidLink().IsOpen() && !w.pollTimerRunning(), "link or timer left running");
        out_.pollTicks = pollTicks_;
        out_.writes = Tower().outputLog().size();
    }

    // Plugs the tower back in and presses Open: the window comes in step.
    void ComeBack()
    {
        CUSBControlAppDlg& w = *window_;
        if (!Tower().pluggedIn())
            Tower().PlugIn();
        w.openCloseButton()->click();
        Ticks(60);
        Expect(w.statusLine()->text() == kOnline, "not Online after plugging back in");
        Expect(w.pollTimerRunning(), "poll timer not running after Open");
        Expect(!w.nameText(0)->text().isEmpty(), "segment not shown after Open");
        w.openCloseButton()->click();
    }

private:
    sim::VirtualBaseController& Tower() { return sim::TheVirtualTower().baseController(0); }

    void Expect(bool ok, const std::string& what)
    {
        if (!ok)
            out_.problems.push_back(what + " (poll tick " + std::to_string(pollTicks_) + ")");
    }

    // One period of the main window's timer; the tick runs if the timer does.
    void Tick()
    {
        clock_.clock().Advance(kPollUs);
        CUSBControlAppDlg& w = *window_;
        if (!w.pollTimerRunning())
            return;
        if (pollTicks_ == fault_.unplugBeforeTick)
            Tower().Unplug();
        const bool gone = !Tower().pluggedIn();
        ++pollTicks_;
        w.OnTimer(kPollTimerId);
        if (gone) {
            Expect(!TheHidLink().IsOpen(), "link still open a tick after the unplug");
            Expect(!w.pollTimerRunning(), "poll timer still running a tick after the unplug");
            Expect(w.statusLine()->text() == kOffline, "not Offline a tick after the unplug");
            Expect(!w.sendButton()->isEnabled(), "Send enabled while Offline");
            Expect(!w.portMappingAction()->isEnabled(), "tools enabled while Offline");
        }
    }
    void Ticks(int n)
    {
        for (int i = 0; i < n; ++i)
            Tick();
    }
    // Lets one period of a dialog timer pass and fires it if it still runs.
    bool Step(QTimer* timer, const std::function<void()>& fire)
    {
        const uint64_t end = NowUs() + static_cast<uint64_t>(timer->interval()) * 1000;
        while (NowUs() < end)
            Tick();
        if (!timer->isActive())
            return false;
        fire();
        return true;
    }

    size_t PatternReports()
    {
        size_t n = 0;
        for (const auto& r : Tower().outputLog())
            n += (r.type() == kOutPatternFirst || r.type() == kOutPatternSecond) ? 1 : 0;
        return n;
    }

    void SendSeveralRows()
    {
        CUSBControlAppDlg& w = *window_;
        if (w.patternList(1)->isEnabled())
            w.patternList(1)->setCurrentIndex(5);  // "Alarm Flash"
        if (w.slider(0)->isEnabled())
            w.slider(0)->setValue(200);
        if (w.slider(3)->isEnabled())
            w.slider(3)->setValue(40);
        if (!w.sendButton()->isEnabled())
            return;
        const size_t before = PatternReports();
        w.sendButton()->click();
        out_.patternReportsOfSend = PatternReports() - before;
        // The success text only when every pattern report of the Send went out.
        if (w.messageLine()->text() == kSendSucceeded)
            Expect(out_.patternReportsOfSend == 6, "a Send with lost reports shown as a success");
        else
            Expect(w.messageLine()->text() == QStringLiteral("Warning: Failed send to device!"),
                   "a Send without its result text");
    }

    // Runs a menu command whose dialog `drive` works while it is modal, then
    // closes it. A greyed entry opens nothing.
    void RunModal(QAction* entry, const std::function<void(QWidget*)>& drive)
    {
        if (!entry->isEnabled())
            return;
        bool driven = false;
        QTimer::singleShot(0, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            driven = modal != nullptr;
            if (modal == nullptr)
                return;
            drive(modal);
            if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
                d->done(0);
        });
        entry->trigger();
        Expect(driven, "the menu entry opened no dialog");
    }

    // Two sends in one opening: the acoustic flag of input port 2 alone,
    // then Red 2 on input port 1.
    void PortMapping()
    {
        RunModal(window_->portMappingAction(), [this](QWidget* modal) {
            auto* dlg = qobject_cast<CPort_Mapping*>(modal);
            Expect(dlg != nullptr, "port mapping did not open");
            if (dlg == nullptr)
                return;
            auto sendAndWait = [this, dlg](const std::array<uint8_t, 5>& map) {
                dlg->sendButton()->click();
                auto check = [this, dlg, &map] {
                    out_.portMapStatus = dlg->statusText()->text();
                    if (out_.portMapStatus == kPortMapSucceeded)
                        Expect(Tower().config().portMap == map,
                               "port map shown as transmitted, the tower does not hold it");
                };
                for (int i = 0; i < 12 && Step(dlg->verifyTimer(), [dlg] { dlg->OnVerifyTick(); });
                     ++i)
                    check();
                check();
            };
            dlg->acousticBox(1)->click();
            sendAndWait(kScriptAcousticMap);
            dlg->cell(0, 1)->setCurrentIndex(2);
            emit dlg->cell(0, 1)->activated(2);
            sendAndWait(kScriptPortMap);
        });
    }

    void ChangeAddress()
    {
        RunModal(window_->changeAddressAction(), [this](QWidget* modal) {
            auto* dlg = qobject_cast<CNEWSEGMENT*>(modal);
            Expect(dlg != nullptr, "the New Colour dialog did not open");
            if (dlg == nullptr)
                return;
            // A message box would block the script: record it instead. With
            // the tower gone the dialog may warn (no segment left); with the
            // tower there it has no reason to.
            dlg->showMessage = [this](const ToolMessage& m) {
                Expect(!Tower().pluggedIn(), "message box \"" + m.text + "\"");
            };
            Step(dlg->tickTimer(), [dlg] { dlg->OnVerifyTick(); });
            dlg->newColourList()->setCurrentIndex(1);
            emit dlg->newColourList()->activated(1);
            dlg->submitButton()->click();
            auto check = [this, dlg] {
                out_.addressStatus = dlg->statusText()->text();
                if (out_.addressStatus == kAddressSucceeded)
                    Expect(Tower().config().segmentAddress[0] == kScriptNewAddress,
                           "address shown as changed, the tower does not hold it");
            };
            for (int i = 0; i < 12 && TheAddressChangeState().awaitingResult == 1; ++i) {
                Step(dlg->tickTimer(), [dlg] { dlg->OnVerifyTick(); });
                check();
            }
            check();
            dlg->showMessage = nullptr;
        });
    }

    void Threshold()
    {
        RunModal(window_->switchingThresholdAction(), [this](QWidget* modal) {
            auto* dlg = qobject_cast<CSwitchingThreshold*>(modal);
            Expect(dlg != nullptr, "switching threshold did not open");
            if (dlg == nullptr)
                return;
            Step(dlg->tickTimer(), [dlg] { dlg->OnThresholdTick(); });
            dlg->presetButton(4)->click();
            dlg->sendButton()->click();
            auto check = [this, dlg] {
                out_.thresholdStatus = dlg->statusText()->text();
                if (out_.thresholdStatus == kThresholdSucceeded)
                    Expect(Tower().config().switchingThreshold == kScriptThreshold,
                           "threshold shown as transferred, the tower does not hold it");
            };
            for (int i = 0; i < 6 && TheSwitchingThresholdState().confirmPending == 1; ++i) {
                Step(dlg->tickTimer(), [dlg] { dlg->OnThresholdTick(); });
                check();
            }
            check();
        });
    }

    ScopedVirtualClock clock_;
    Fault fault_;
    std::unique_ptr<CUSBControlAppDlg> window_;
    int pollTicks_ = 0;
    Outcome out_;
};

QString Describe(const Fault& f, const Outcome& o)
{
    QString s = f.unplugBeforeTick >= 0    ? QStringLiteral("unplugged before poll tick %1").arg(f.unplugBeforeTick)
                : f.unplugAfterWrites >= 0 ? QStringLiteral("unplugged after write %1").arg(f.unplugAfterWrites)
                                           : QStringLiteral("no unplug");
    for (const std::string& p : o.problems)
        s += QStringLiteral("\n  ") + QString::fromStdString(p);
    return s;
}

}  // namespace

class UnplugSweepTest : public QObject {
    Q_OBJECT

private slots:
    void cleanupTestCase() { DestroyToolDialogs(); }

    void cleanRunConfirmsEverySend()
    {
        ScriptRun run(Fault{});
        run.Play();
        const Outcome& o = run.outcome();
        QVERIFY2(o.problems.empty(), qPrintable(Describe(Fault{}, o)));
        QCOMPARE(o.patternReportsOfSend, size_t{6});
        QCOMPARE(o.portMapStatus, kPortMapSucceeded);
        QCOMPARE(o.addressStatus, kAddressSucceeded);
        QCOMPARE(o.thresholdStatus, kThresholdSucceeded);
        QVERIFY(o.pollTicks > 200);
    }

    void unplugAtEveryTickAndEveryWrite()
    {
        Outcome clean;
        {
            ScriptRun run(Fault{});
            run.Play();
            clean = run.outcome();
        }
        std::vector<Fault> faults;
        for (int t = 0; t < clean.pollTicks; ++t)
            faults.push_back(Fault{t, -1});
        for (size_t n = 0; n < clean.writes; ++n)
            faults.push_back(Fault{-1, static_cast<int>(n)});

        int failures = 0;
        for (const Fault& f : faults) {
            ScriptRun run(f);
            run.Play();
            run.ComeBack();
            const Outcome& o = run.outcome();
            if (!o.problems.empty() && ++failures <= 5)
                qWarning("%s", qPrintable(Describe(f, o)));
        }
        QCOMPARE(failures, 0);
    }
};

QTEST_MAIN(UnplugSweepTest)
#include "unplug_sweep_test.moc"
