// The version and success dialogs on screen (offscreen), and whole updates
// through the main window against the virtual tower: started by the poll
// cycle's firmware check, retried from the menu, left with Escape.
#include <QtTest>

#include <QLabel>
#include <QPushButton>

#include "app/usb_control_app_dlg.h"
#include "decision_support.h"
#include "device/version.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/qt/desktop.h"
#include "platform/update_trace.h"
#include "sim/virtual_bootloader.h"
#include "sim/virtual_tower.h"
#include "update/firmware_update_path.h"
#include "update/update_dialogs_qt.h"
#include "update/update_run.h"

using namespace kv;

namespace {

// The program as RunKestrivane builds it, on the virtual clock and tower,
// every dialog answered with OK.
struct Program {
    explicit Program(sim::BaseControllerConfig config = {})
    {
        sim::TheVirtualTower().Clear();
        sim::TheVirtualTower().AddBaseController(config);
        sim::TheVirtualUsb().Reset();
        sim::TheVirtualUsb().bootloaderOf(0).LoadFirmware(config.firmwareVersion[5]);
        MenuCommands menu;
        menu.firmwareUpdate = [this] { path.OnFirmwareUpdate(); };
        dlg.SetMenuCommands(menu);
        dlg.OnInitDialog();
        dlg.show();
        dialogs.errorBox = [this](const std::string& text, const std::string&) {
            errors.push_back(text);
        };
        dialogs.nelo().onShown = [this](CFWUPDATE_NELO& d) {
            faces.push_back(d.middleText()->text().toStdString());
            d.okButton()->click();
        };
        dialogs.process().onRunFinished = [this](FWUPDATE_PROCESS& d) {
            results.push_back(d.updateResult());
            // The window is held off the tower while the run goes on.
            held = held && state.suspendRead == 1 && !this->dlg.pollTimerRunning() &&
                   !this->dlg.sendButton()->isEnabled() &&
                   !this->dlg.openCloseButton()->isEnabled() && !this->dlg.exitButton()->isEnabled();
            d.okButton()->click();
        };
        dialogs.failed().onShown = [this](CFWUPDATE_FAILED& d) {
            ++failedShown;
            d.okButton()->click();
        };
        dialogs.successful().onShown = [this](CFWUPDATE_SUCCESSFULL& d) {
            ++successShown;
            // Online again, the timer running, reads still suspended.
            held = held && state.suspendRead == 1 && this->dlg.pollTimerRunning() && link.IsOpen();
            d.okButton()->click();
        };
        dlg.openCloseButton()->click();
        Ticks(60);
    }
    ~Program() { link.Close(); }

    void Ticks(int n)
    {
        for (int i = 0; i < n && link.IsOpen(); ++i)
            dlg.OnTimer(kPollTimerId);
    }
    size_t Sent(uint8_t type, int b7 = -1)
    {
        size_t n = 0;
        for (const auto& r : sim::TheVirtualTower().baseController(0).outputLog())
            n += r.type() == type && (b7 < 0 || r.frame[7] == b7) ? 1 : 0;
        return n;
    }

    ScopedVirtualClock clock;
    ScopedErrCapture trace;
    DeviceState state;
    HidLink link{state};
    PatternTables patterns;
    CUSBControlAppDlg dlg{state, link, patterns};
    UpdateDialogsQt dialogs{link};
    FirmwareUpdatePath path{dlg.session(), dialogs};
    std::vector<std::string> faces, errors;
    std::vector<int> results;
    int failedShown = 0, successShown = 0;
    bool held = true;
};

sim::BaseControllerConfig TowerAt(uint8_t version, std::array<uint8_t, 6> addresses)
{
    sim::BaseControllerConfig c;
    c.firmwareVersion[5] = version;
    c.segmentAddress = addresses;
    return c;
}

int g_runs = 0;
int FailTwiceThenUpdate(int product, const char* hexPath, ProgressHook hook, void* context)
{
    return ++g_runs <= 2 ? UPDATE_NO_DEVICE : update_run(product, hexPath, hook, context);
}

}  // namespace

class DecisionDialogsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::FileBesideProgram> firmware_;

private slots:
    void init()
    {
        firmware_ = std::make_unique<test::FileBesideProgram>(
            kFirmwareFileRelativePath, test::FirmwareHexOfVersion(ProgramVersion));
    }
    void cleanup()
    {
        firmware_.reset();
        SetDesktopOpener({});
    }

    void versionDialogEndsByItsButtonsAndEscape()
    {
        CFWUPDATE_NELO d;
        DeviceState s;
        s.segmentAddress = {8, 0, 0, 0, 0, 0};
        // Offered again (leaving changes nothing), refused (EXIT only),
        // forced (leaving closes the program).
        const std::pair<uint8_t, std::array<int, 4>> rows[] = {
            {28, {2, 0, 1, 2}}, {23, {0, 3, 0, 3}}, {25, {3, 0, 1, 3}}};
        for (const auto& [version, codes] : rows) {
            s.firmwareVersion[kBaseControllerSlot] = version;
            const VersionDialogContent face = DecideVersionDialog(true, s);
            for (int k = 0; k < 4; ++k) {
                QPushButton* button = k == 0 ? d.leftButton() : k == 1 ? d.centreButton() : d.okButton();
                d.onShown = [k, button](CFWUPDATE_NELO& x) {
                    if (k == 3)
                        QTest::keyClick(&x, Qt::Key_Escape);
                    else if (button->isVisible())
                        button->click();
                    else
                        x.done(0);  // a hidden button cannot be pressed
                };
                QCOMPARE(d.run(face), codes[size_t(k)]);
            }
        }
        QVERIFY(d.middleText()->font().bold());
        QCOMPARE(d.middleText()->font().pixelSize(), 20);
        QCOMPARE(d.palette().color(QPalette::Window), QColor(0xF0, 0xF0, 0xF0));
    }

    void releaseNotesOpenWhenThereAndAreMissedWhenNot()
    {
        std::vector<std::string> opened, errors;
        SetDesktopOpener([&](DesktopTarget, const std::string& target) {
            opened.push_back(target);
            return true;
        });
        CFWUPDATE_SUCCESSFULL d;
        d.showError = [&](const std::string& t, const std::string& c) { errors.push_back(c + "|" + t); };
        bool stayed = false;
        d.onShown = [&](CFWUPDATE_SUCCESSFULL& x) {
            QTest::keyClick(&x, Qt::Key_Return);  // the default button
            stayed = x.isVisible();
            x.okButton()->click();
        };
        d.run();  // no notes beside the program
        QVERIFY(stayed);
        QVERIFY(opened.empty());
        QCOMPARE(errors, std::vector<std::string>{"File Not Found Error|Release notes not found.\n"
                                                  "Please do a re-install of Kestrivane."});
        test::FileBesideProgram notes(kReleaseNotesRelativePath, "%PDF-1.4\n%%EOF\n");
        d.run();
        QVERIFY(!stayed);
        QCOMPARE(opened, std::vector<std::string>{notes.path()});
        QCOMPARE(d.versionText()->text(), QString("2.8"));
    }

    void firmwareCheckUpdatesAnOlderTowerAndComesBackOnline()
    {
        Program p(TowerAt(25, {0, 0, 0, 0, 0, 0}));
        QVERIFY(p.held);
        QVERIFY(p.errors.empty());
        QCOMPARE(p.faces, std::vector<std::string>{"from v2.5 to v2.8"});
        QCOMPARE(p.results, std::vector<int>{0});  // the real update, on the boot loader
        QCOMPARE(p.successShown, 1);
        QCOMPARE(sim::TheVirtualUsb().bootloaderOf(0).flashedVersion(), ProgramVersion);
        QVERIFY(p.link.IsOpen() && p.dlg.isVisible());
        QCOMPARE(p.dlg.statusLine()->text(), QString("Device Status: Online."));
        QCOMPARE(p.dlg.openCloseButton()->text(), QString("Close"));
        QVERIFY(p.dlg.sendButton()->isEnabled() && p.dlg.exitButton()->isEnabled());
        QVERIFY(p.dlg.portMappingAction()->isEnabled());
        QVERIFY(p.dlg.changeAddressAction()->isEnabled());
        QVERIFY(p.dlg.switchingThresholdAction()->isEnabled());
        // The tower reports its new version and no second update starts.
        p.Ticks(300);
        QCOMPARE(p.state.firmwareVersion[kBaseControllerSlot], ProgramVersion);
        QCOMPARE(p.faces.size(), size_t{1});
        QVERIFY(p.link.IsOpen() && p.dlg.isVisible());
    }

    void menuUpdateFailsTwiceThenSucceeds()
    {
        Program p;
        p.path.updateFunction = &FailTwiceThenUpdate;
        g_runs = 0;
        sim::TheVirtualTower().baseController(0).ClearOutputLog();
        p.dlg.firmwareUpdateAction()->trigger();
        QCOMPARE(p.faces, std::vector<std::string>{"v2.8"});
        QCOMPARE(p.results, (std::vector<int>{3, 3, 0}));
        QCOMPARE(p.failedShown, 2);
        QCOMPARE(p.successShown, 1);
        QVERIFY(p.held);
        QCOMPARE(p.dlg.statusLine()->text(), QString("Device Status: Online."));
        QVERIFY(p.dlg.pollTimerRunning());
        QCOMPARE(p.state.suspendRead, uint8_t{0});
        // Goodbye while the link was open, one bootloader report (later
        // attempts find the boot loader waiting), hello once it is back.
        QCOMPARE(p.Sent(4, 0xAA), size_t{6});
        QCOMPARE(p.Sent(0x7F), size_t{1});
        QCOMPARE(p.Sent(6), size_t{2});  // later attempts find the boot loader waiting
        // The window follows the tower again and greets its six segments.
        sim::TheVirtualTower().baseController(0).ClearOutputLog();
        p.Ticks(200);
        QCOMPARE(p.dlg.nameText(0)->text(), QString("Red 1"));
        QCOMPARE(p.Sent(4, 0xAA), size_t{6});
    }

    void escapeAfterASuccessfulRunShowsNeitherDialogAndStaysOffline()
    {
        Program p;
        p.dialogs.process().onRunFinished = [&p](FWUPDATE_PROCESS& d) {
            p.results.push_back(d.updateResult());
            QTest::keyClick(&d, Qt::Key_Escape);
        };
        p.dlg.firmwareUpdateAction()->trigger();
        QCOMPARE(p.results, std::vector<int>{0});
        QCOMPARE(p.successShown + p.failedShown, 0);
        QVERIFY(!p.link.IsOpen() && !p.dlg.pollTimerRunning());
        QVERIFY(!p.dlg.sendButton()->isEnabled() && !p.dlg.openCloseButton()->isEnabled());
        QVERIFY(p.dlg.exitButton()->isEnabled());
    }
};

QTEST_MAIN(DecisionDialogsTest)
#include "decision_dialogs_test.moc"
