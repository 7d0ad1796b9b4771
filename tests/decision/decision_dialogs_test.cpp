// The version and success dialogs on screen (offscreen), and whole updates
// through the main window against the virtual tower: started by the poll
// cycle's firmware check and from the menu, with retries, Escape after the
// run and the release notes.
#include <QtTest>

#include <QLabel>
#include <QPushButton>

#include <memory>
#include <string>
#include <vector>

#include "app/usb_control_app_dlg.h"
#include "decision_support.h"
#include "device/hid_link.h"
#include "device/pattern_tables.h"
#include "device/version.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/qt/desktop.h"
#include "platform/update_trace.h"
#include "sim/virtual_bootloader.h"
#include "sim/virtual_tower.h"
#include "update/firmware_update_path.h"
#include "update/update_decision.h"
#include "update/update_dialogs_qt.h"
#include "update/update_run.h"

using namespace kv;
using kv::test::FileBesideProgram;

namespace {

DeviceState StateWith(uint8_t version, std::array<uint8_t, 6> addresses)
{
    DeviceState s;
    s.firmwareVersion[kBaseControllerSlot] = version;
    s.segmentAddress = addresses;
    return s;
}

// Clicks `button` on a dialog once it is on screen; a dialog still open after
// the click stays open (the caller's fallback closes it).
template <typename Dialog>
void AnswerWith(Dialog& d, QPushButton* (Dialog::*button)() const)
{
    d.onShown = [button](Dialog& shown) { (shown.*button)()->click(); };
}

// A dialog that fails to close would leave the test waiting: close it after
// a while and let the test see it.
struct Watchdog {
    explicit Watchdog(QDialog& d)
    {
        QTimer::singleShot(5000, &d, [&d, this] {
            if (d.isVisible()) {
                fired = true;
                d.done(99);
            }
        });
    }
    bool fired = false;
};

// The program as RunKestrivane builds it, over its own state, link and main
// window, on the virtual clock and the virtual tower.
struct Program {
    explicit Program(sim::BaseControllerConfig config = {})
    {
        if (link_.IsOpen())
            link_.Close();
        sim::TheVirtualTower().Clear();
        sim::TheVirtualTower().AddBaseController(config);
        sim::TheVirtualUsb().Reset();
        dlg = std::make_unique<CUSBControlAppDlg>(state, link_, patterns);
        dialogs = std::make_unique<UpdateDialogsQt>(link_);
        path = std::make_unique<FirmwareUpdatePath>(state, link_, *dlg, dlg->sendPath(),
                                                    dlg->pollCycle(), *dialogs);
        MenuCommands menu;
        menu.firmwareUpdate = [this] { path->OnFirmwareUpdate(); };
        dlg->SetMenuCommands(menu);
        dlg->OnInitDialog();
        dlg->show();
        dialogs->errorBox = [this](const std::string& text, const std::string& caption) {
            errors.push_back(caption + "|" + text);
        };
        dialogs->nelo().onShown = [this](CFWUPDATE_NELO& d) {
            faces.push_back(d.middleText()->text().toStdString());
            d.okButton()->click();
        };
        dialogs->process().onRunFinished = [this](FWUPDATE_PROCESS& p) {
            results.push_back(p.updateResult());
            p.okButton()->click();
        };
        dialogs->failed().onShown = [this](CFWUPDATE_FAILED& d) {
            ++failedShown;
            d.okButton()->click();
        };
        dialogs->successful().onShown = [this](CFWUPDATE_SUCCESSFULL& d) {
            ++successShown;
            suspendDuringSuccess = state.suspendRead;
            d.okButton()->click();
        };
    }
    ~Program()
    {
        if (link_.IsOpen())
            link_.Close();
    }

    sim::VirtualBaseController& tower() { return sim::TheVirtualTower().baseController(0); }
    HidLink& link() { return link_; }

    void Ticks(int n)
    {
        for (int i = 0; i < n && link_.IsOpen(); ++i)
            dlg->OnTimer(kPollTimerId);
    }

    ScopedVirtualClock clock;
    ScopedErrCapture trace;
    DeviceState state;
    PatternTables patterns;
    std::unique_ptr<CUSBControlAppDlg> dlg;
    std::unique_ptr<UpdateDialogsQt> dialogs;
    std::unique_ptr<FirmwareUpdatePath> path;
    std::vector<std::string> errors;
    std::vector<std::string> faces;
    std::vector<int> results;
    int failedShown = 0;
    int successShown = 0;
    int suspendDuringSuccess = -1;

private:
    HidLink link_{state};
};

sim::BaseControllerConfig TowerAt(uint8_t version, std::array<uint8_t, 6> addresses)
{
    sim::BaseControllerConfig c;
    c.firmwareVersion[kBaseControllerSlot] = version;
    c.segmentAddress = addresses;
    return c;
}

// Runs a failing update twice, then the real one.
int g_runs = 0;
int FailTwiceThenUpdate(int product, const char* hexPath, ProgressHook hook, void* context)
{
    if (++g_runs <= 2) {
        hook(context, UPDATE_STEP_CONNECT, 0, 0);
        return UPDATE_NO_DEVICE;
    }
    return update_run(product, hexPath, hook, context);
}

}  // namespace

class DecisionDialogsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<FileBesideProgram> firmware_;

private slots:
    void init()
    {
        firmware_ = std::make_unique<FileBesideProgram>(
            kFirmwareFileRelativePath, kv::test::FirmwareHexOfVersion(ProgramVersion));
    }
    void cleanup()
    {
        firmware_.reset();
        SetDesktopOpener({});
    }

    void versionDialogShowsEachFaceAndEndsByItsButtons()
    {
        CFWUPDATE_NELO d;
        struct Row {
            VersionDialogContent face;
            bool left, centre, ok, bottom;
        };
        const std::array<uint8_t, 6> full{8, 13, 18, 23, 28, 33};
        const Row rows[] = {
            {DecideVersionDialog(false, StateWith(23, full)), true, false, true, true},
            {DecideVersionDialog(true, StateWith(28, full)), true, false, true, false},
            {DecideVersionDialog(true, StateWith(23, full)), false, true, false, true},
            {DecideVersionDialog(true, StateWith(25, full)), true, false, true, true},
        };
        for (const Row& row : rows) {
            const int leave = row.face.exitOnClose ? 3 : 2;
            // Every shown button, then Escape, each on a fresh run.
            std::vector<std::pair<std::function<void(CFWUPDATE_NELO&)>, int>> answers;
            if (row.left)
                answers.push_back({[](CFWUPDATE_NELO& x) { x.leftButton()->click(); }, leave});
            if (row.centre)
                answers.push_back({[](CFWUPDATE_NELO& x) { x.centreButton()->click(); }, leave});
            if (row.ok)
                answers.push_back({[](CFWUPDATE_NELO& x) { x.okButton()->click(); }, 1});
            answers.push_back({[](CFWUPDATE_NELO& x) { QTest::keyClick(&x, Qt::Key_Escape); }, leave});
            for (const auto& [answer, expected] : answers) {
                bool looked = false;
                d.onShown = [&](CFWUPDATE_NELO& x) {
                    looked = true;
                    QCOMPARE(x.windowTitle(), QString("Firmware Update"));
                    QCOMPARE(x.topText()->text().toStdString(), row.face.top);
                    QCOMPARE(x.middleText()->text().toStdString(), row.face.middle);
                    QCOMPARE(x.bottomText()->isVisible(), row.bottom);
                    QCOMPARE(x.leftButton()->isVisible(), row.left);
                    QCOMPARE(x.centreButton()->isVisible(), row.centre);
                    QCOMPARE(x.okButton()->isVisible(), row.ok);
                    QCOMPARE(x.centreButton()->text(), QString("EXIT"));
                    QCOMPARE(x.okButton()->text(), QString("OK"));
                    if (row.left)
                        QCOMPARE(x.leftButton()->text().toStdString(), row.face.leftCaption);
                    answer(x);
                };
                Watchdog guard(d);
                QCOMPARE(d.run(row.face), expected);
                QVERIFY(looked);
                QVERIFY(!guard.fired);
            }
        }
        const QFont middle = d.middleText()->font();
        QVERIFY(middle.bold());
        QCOMPARE(middle.pixelSize(), 20);
        QCOMPARE(middle.family(), QString("Arial"));
        QCOMPARE(d.palette().color(QPalette::Window), QColor(0xF0, 0xF0, 0xF0));
        QCOMPARE(d.topText()->palette().color(QPalette::WindowText), QColor(Qt::black));
    }

    void releaseNotesOpenThroughTheDesktopAndCloseTheDialog()
    {
        FileBesideProgram notes(kReleaseNotesRelativePath, "%PDF-1.4\n%%EOF\n");
        std::vector<std::pair<DesktopTarget, std::string>> opened;
        SetDesktopOpener([&](DesktopTarget kind, const std::string& target) {
            opened.push_back({kind, target});
            return true;
        });
        CFWUPDATE_SUCCESSFULL d;
        std::vector<std::string> errors;
        d.showError = [&](const std::string& t, const std::string&) { errors.push_back(t); };
        d.onShown = [](CFWUPDATE_SUCCESSFULL& x) {
            QCOMPARE(x.windowTitle(), QString("Firmware Update Successful"));
            QCOMPARE(x.messageText()->text(),
                     QString("Your base controller has been successfully updated."));
            QCOMPARE(x.versionLabel()->text(), QString("Firmware Version Base:"));
            QCOMPARE(x.versionText()->text(), QString("2.8"));
            QVERIFY(x.releaseNotesButton()->isDefault());
            QCOMPARE(x.releaseNotesButton()->text(), QString("SHOW RELEASE NOTES"));
            // Enter presses the default button.
            QTest::keyClick(&x, Qt::Key_Return);
        };
        Watchdog guard(d);
        d.run();
        QVERIFY(!guard.fired);
        QCOMPARE(opened.size(), size_t{1});
        QVERIFY(opened[0].first == DesktopTarget::File);
        QCOMPARE(opened[0].second, notes.path());
        QVERIFY(errors.empty());
    }

    void missingReleaseNotesAreToldAndTheDialogStays()
    {
        QFile::remove(QString::fromStdString(ExeRelativePath(kReleaseNotesRelativePath)));
        int opened = 0;
        SetDesktopOpener([&](DesktopTarget, const std::string&) { return ++opened, true; });
        CFWUPDATE_SUCCESSFULL d;
        std::vector<std::string> errors;
        d.showError = [&](const std::string& t, const std::string& c) { errors.push_back(c + "|" + t); };
        bool stayed = false;
        d.onShown = [&](CFWUPDATE_SUCCESSFULL& x) {
            x.releaseNotesButton()->click();
            stayed = x.isVisible();
            x.okButton()->click();
        };
        Watchdog guard(d);
        d.run();
        QVERIFY(!guard.fired);
        QVERIFY(stayed);
        QCOMPARE(opened, 0);
        QCOMPARE(errors, std::vector<std::string>{
                             "File Not Found Error|Release notes not found.\nPlease do a re-install "
                             "of Kestrivane."});
    }

    void pollCycleUpdatesAnOlderTowerAndComesBackOnline()
    {
        Program p(TowerAt(25, {0, 0, 0, 0, 0, 0}));
        sim::TheVirtualUsb().bootloaderOf(0).LoadFirmware(25);
        p.dlg->openCloseButton()->click();
        p.Ticks(60);

        QCOMPARE(p.faces, std::vector<std::string>{"from v2.5 to v2.8"});
        QCOMPARE(p.results, std::vector<int>{0});
        QCOMPARE(p.successShown, 1);
        QCOMPARE(p.suspendDuringSuccess, 1);
        QCOMPARE(p.failedShown, 0);
        QCOMPARE(sim::TheVirtualUsb().bootloaderOf(0).flashedVersion(), ProgramVersion);
        QVERIFY(p.link().IsOpen());
        QCOMPARE(p.dlg->statusLine()->text(), QString("Device Status: Online."));
        QCOMPARE(p.dlg->openCloseButton()->text(), QString("Close"));
        QVERIFY(p.dlg->sendButton()->isEnabled());
        QVERIFY(p.dlg->openCloseButton()->isEnabled());
        QVERIFY(p.dlg->exitButton()->isEnabled());
        QVERIFY(p.dlg->portMappingAction()->isEnabled());
        QVERIFY(p.dlg->changeAddressAction()->isEnabled());
        QVERIFY(p.dlg->switchingThresholdAction()->isEnabled());
        QVERIFY(p.dlg->isVisible());
        QCOMPARE(p.state.firmwareUpdated, uint8_t{1});

        // The tower reports its new version; no second update starts.
        p.Ticks(300);
        QCOMPARE(p.state.firmwareVersion[kBaseControllerSlot], ProgramVersion);
        QCOMPARE(p.faces.size(), size_t{1});
        QVERIFY(p.link().IsOpen());
        QVERIFY(p.dlg->isVisible());
    }

    void menuUpdateRetriesTwiceAndSucceedsAtTheThirdAttempt()
    {
        Program p;
        p.dialogs->process().updateFunction = &FailTwiceThenUpdate;
        g_runs = 0;
        p.dlg->openCloseButton()->click();
        p.Ticks(60);
        p.tower().ClearOutputLog();
        p.dlg->firmwareUpdateAction()->trigger();

        QCOMPARE(p.faces, std::vector<std::string>{"v2.8"});
        QCOMPARE(p.results, (std::vector<int>{3, 3, 0}));
        QCOMPARE(p.failedShown, 2);
        QCOMPARE(p.successShown, 1);
        QCOMPARE(p.dlg->statusLine()->text(), QString("Device Status: Online."));
        QVERIFY(p.dlg->sendButton()->isEnabled() && p.dlg->exitButton()->isEnabled());
        QVERIFY(p.dlg->pollTimerRunning());
        QCOMPARE(p.state.suspendRead, uint8_t{0});
        // One bootloader report: later attempts find the boot loader waiting.
        size_t bootloaderReports = 0;
        for (const auto& r : p.tower().outputLog())
            bootloaderReports += r.type() == 0x7F ? 1 : 0;
        QCOMPARE(bootloaderReports, size_t{1});

        // The window follows the tower again, segments greeted.
        p.tower().ClearOutputLog();
        p.Ticks(200);
        QCOMPARE(p.dlg->nameText(0)->text(), QString("Red 1"));
        size_t greetings = 0;
        for (const auto& r : p.tower().outputLog())
            greetings += (r.type() == 4 && r.frame[7] == 0xAA) ? 1 : 0;
        QCOMPARE(greetings, size_t{6});
    }

    void escapeAfterASuccessfulRunShowsNeitherDialogAndStaysOffline()
    {
        Program p;
        p.dialogs->process().onRunFinished = [&p](FWUPDATE_PROCESS& d) {
            p.results.push_back(d.updateResult());
            QTest::keyClick(&d, Qt::Key_Escape);
        };
        p.dlg->openCloseButton()->click();
        p.Ticks(60);
        p.dlg->firmwareUpdateAction()->trigger();

        QCOMPARE(p.results, std::vector<int>{0});
        QCOMPARE(p.successShown, 0);
        QCOMPARE(p.failedShown, 0);
        QVERIFY(!p.link().IsOpen());
        QVERIFY(!p.dlg->pollTimerRunning());
        QVERIFY(!p.dlg->sendButton()->isEnabled());
        QVERIFY(!p.dlg->openCloseButton()->isEnabled());
        QVERIFY(p.dlg->exitButton()->isEnabled());
        QCOMPARE(p.state.firmwareUpdated, uint8_t{0});
        QCOMPARE(p.state.suspendRead, uint8_t{0});
    }

    void missingFirmwareFileStopsTheMenuEntryAtItsMessage()
    {
        firmware_.reset();
        Program p;
        int versionDialogs = 0;
        p.dialogs->nelo().onShown = [&](CFWUPDATE_NELO& d) {
            ++versionDialogs;
            QTest::keyClick(&d, Qt::Key_Escape);
        };
        p.dlg->firmwareUpdateAction()->trigger();
        QCOMPARE(p.errors, std::vector<std::string>{
                               "Firmware Update Error|Firmware file not found.\nPlease do a "
                               "re-install of Kestrivane."});
        QCOMPARE(versionDialogs, 0);
        QCOMPARE(p.dlg->statusLine()->text(), QString("Device Status: Offline."));
        QVERIFY(p.dlg->openCloseButton()->isEnabled() && p.dlg->exitButton()->isEnabled());
    }
};

QTEST_MAIN(DecisionDialogsTest)
#include "decision_dialogs_test.moc"
