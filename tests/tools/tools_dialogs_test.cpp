// The test plays the main window's part: it reads one report per 30 ms of
// virtual time, and fires each dialog's timer when its period has passed, so
// the virtual time from a Send or Submit to its result is the dialog's own.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QtTest>
#include <algorithm>
#include <functional>
#include <vector>

#include "device/hid_link.h"
#include "device/pattern_tables.h"
#include "platform/clock.h"
#include "session/tower_session.h"
#include "sim/virtual_tower.h"
#include "tools/address_change_dialog.h"
#include "tools/port_mapping_dialog.h"
#include "tools/switching_threshold_dialog.h"
#include "tools/tool_commands.h"

using namespace kv;

namespace {

constexpr uint64_t kPollUs = 30000;

QColor TextColour(const QLabel* label)
{
    return label->palette().color(QPalette::WindowText);
}

// Saves a picture of a dialog when KV_TOOLS_SCREENSHOTS names a folder.
void Screenshot(QWidget* dialog, const char* name)
{
    const QByteArray dir = qgetenv("KV_TOOLS_SCREENSHOTS");
    if (dir.isEmpty())
        return;
    dialog->adjustSize();
    dialog->show();
    dialog->grab().save(QDir(QString::fromLocal8Bit(dir)).filePath(QLatin1String(name)));
    dialog->hide();
}

// The program's session over its one state and link, as the window holds it;
// the tool dialogs reach the tower through it.
TowerSession& Session()
{
    static TowerSession session(TheDeviceState(), TheHidLink(), ThePatternTables());
    return session;
}

ToolLink HidToolLink() { return SessionToolLink(Session()); }

}  // namespace

class ToolsDialogsTest : public QObject {
    Q_OBJECT

private:
    ScopedVirtualClock* clock_ = nullptr;
    uint64_t nextPollUs_ = 0;

    sim::VirtualBaseController& Tower() { return sim::TheVirtualTower().baseController(); }

    // What the poll timer does while a tool dialog is open: a read every
    // 30 ms, on its own phase, for exactly the time given.
    void Poll(uint64_t ms)
    {
        const uint64_t end = NowUs() + ms * 1000;
        while (NowUs() < end) {
            const uint64_t to = std::min(nextPollUs_, end);
            if (to > NowUs())
                clock_->clock().Advance(to - NowUs());
            if (NowUs() >= nextPollUs_) {
                TheHidLink().ReadReport();
                nextPollUs_ = NowUs() + kPollUs;
            }
        }
    }

    // Lets one period of a dialog timer pass; fires it if it still runs.
    bool Step(QTimer* timer, const std::function<void()>& tick)
    {
        Poll(static_cast<uint64_t>(timer->interval()));
        if (!timer->isActive())
            return false;
        tick();
        return true;
    }

    std::vector<sim::LoggedReport> Sent(uint8_t type)
    {
        std::vector<sim::LoggedReport> out;
        for (const auto& r : Tower().outputLog())
            if (r.type() == type)
                out.push_back(r);
        return out;
    }

    void OpenTower(const std::function<void(sim::BaseControllerConfig&)>& configure = {})
    {
        sim::TheVirtualTower().Reset();
        if (configure)
            configure(Tower().mutableConfig());
        TheDeviceState() = DeviceState();
        QVERIFY(TheHidLink().Open() != nullptr);
        // Long enough for every report type to count as seen.
        Poll(1500);
        Tower().ClearOutputLog();
    }

    // Fires a dialog timer until it stops; the number of ticks it ran.
    int RunOut(QTimer* timer, const std::function<void()>& tick, int limit)
    {
        int ticks = 0;
        while (ticks <= limit && Step(timer, tick))
            ++ticks;
        return ticks;
    }

    static void Choose(QComboBox* box, int item)
    {
        box->setCurrentIndex(item);
        emit box->activated(item);
    }

private slots:
    void initTestCase() { Session(); }
    void init()
    {
        clock_ = new ScopedVirtualClock;
        nextPollUs_ = 0;
    }
    void cleanup()
    {
        TheHidLink().Close();
        delete clock_;
        clock_ = nullptr;
    }

    void portMapIsConfirmedByTheReportedMap()
    {
        OpenTower();
        PortMappingState state;
        CPort_Mapping dlg(state, TheDeviceState(), HidToolLink());
        dlg.Prepare();
        QCOMPARE(dlg.cell(0, 1)->currentText(), QStringLiteral("  Red 1"));
        QCOMPARE(dlg.cell(2, 3)->currentText(), QStringLiteral("  Green 1"));
        QVERIFY(dlg.acousticBox(4)->isChecked());
        QVERIFY(!dlg.acousticBox(0)->isChecked());
        QVERIFY(dlg.sendButton()->isEnabled());

        // Yellow 1 is on port 2: refused, the list goes back to "  Red 1".
        Choose(dlg.cell(0, 2), 1);
        QCOMPARE(dlg.cell(0, 2)->currentIndex(), 0);
        QCOMPARE(dlg.cell(0, 1)->currentIndex(), 1);
        QCOMPARE(dlg.messageLine()->text(),
                 QStringLiteral("Yellow 1 already assigned!  Please choose another colour."));
        QCOMPARE(TextColour(dlg.messageLine()), QColor(255, 0, 0));
        Screenshot(&dlg, "port_mapping_refusal.png");

        Choose(dlg.cell(0, 1), 2);  // port 1: Red 2
        QVERIFY(dlg.messageLine()->text().isEmpty());
        QTest::mouseClick(dlg.sendButton(), Qt::LeftButton);
        const auto sent = Sent(3);
        QCOMPARE(sent.size(), size_t(1));
        QCOMPARE(sent[0].frame, (sim::Frame{0, 9, 13, 18, 23, 28 | 0x80, 0, 0, 3}));
        QCOMPARE(dlg.statusText()->text(), QStringLiteral("Please wait!"));
        QVERIFY(dlg.verifyTimer()->isActive());

        int ticks = 0;
        while (Step(dlg.verifyTimer(), [&] { dlg.OnVerifyTick(); }))
            QVERIFY(++ticks <= 11);
        QVERIFY(ticks <= 3);
        QCOMPARE(dlg.statusText()->text(),
                 QStringLiteral("   Addresses have been     transmitted successfully!"));
        QCOMPARE(TextColour(dlg.statusText()), QColor(0, 128, 0));
        QCOMPARE(TheDeviceState().portMapColour[0], uint8_t(9));
        Screenshot(&dlg, "port_mapping.png");
    }

    void ignoredPortMapFailsOnTheEleventhTick()
    {
        OpenTower([](sim::BaseControllerConfig& c) { c.acceptPortMap = false; });
        PortMappingState state;
        CPort_Mapping dlg(state, TheDeviceState(), HidToolLink());
        dlg.Prepare();
        Choose(dlg.cell(1, 2), 0);  // port 2: none
        const uint64_t sendMs = NowMs();
        QTest::mouseClick(dlg.sendButton(), Qt::LeftButton);
        QCOMPARE(Sent(3).size(), size_t(1));
        for (int tick = 1; tick <= 10; ++tick) {
            QVERIFY(Step(dlg.verifyTimer(), [&] { dlg.OnVerifyTick(); }));
            QCOMPARE(dlg.statusText()->text(), QStringLiteral("Please wait!"));
        }
        QVERIFY(Step(dlg.verifyTimer(), [&] { dlg.OnVerifyTick(); }));
        QCOMPARE(dlg.statusText()->text(), QStringLiteral("Transmission failed!"));
        // The 500 ms wait after the send, then eleven 1 s periods.
        QCOMPARE(NowMs() - sendMs, uint64_t(500 + 11 * 1000));
        QCOMPARE(TextColour(dlg.statusText()), QColor(223, 0, 0));
        QVERIFY(!dlg.verifyTimer()->isActive());

        // Unchanged map: nothing sent, the orange answer.
        dlg.Prepare();
        QTest::mouseClick(dlg.sendButton(), Qt::LeftButton);
        QCOMPARE(Sent(3).size(), size_t(1));
        QCOMPARE(TextColour(dlg.statusText()), QColor(255, 127, 0));
    }

    void portMapWaitsForTheTowersMapAfterOpen()
    {
        sim::TheVirtualTower().Reset();
        TheDeviceState() = DeviceState();
        // Left from an earlier connection; not what this tower has.
        TheDeviceState().portMapColour = {12, 17, 22, 27, 32};
        QVERIFY(TheHidLink().Open() != nullptr);
        PortMappingState state;
        CPort_Mapping dlg(state, TheDeviceState(), HidToolLink());
        dlg.Prepare();
        QVERIFY(!dlg.sendButton()->isEnabled());
        QVERIFY(!dlg.cell(1, 2)->isEnabled());
        QVERIFY(!dlg.acousticBox(0)->isEnabled());
        QCOMPARE(dlg.statusText()->text(), QStringLiteral("Please wait!"));
        QVERIFY(dlg.mapWatchTimer()->isActive());

        const int ticks = RunOut(dlg.mapWatchTimer(), [&] { dlg.OnMapWatchTick(); }, 40);
        QVERIFY(ticks <= 40);
        QVERIFY(dlg.sendButton()->isEnabled());
        QVERIFY(dlg.cell(1, 2)->isEnabled());
        QVERIFY(dlg.acousticBox(4)->isChecked());
        QCOMPARE(dlg.cell(0, 1)->currentText(), QStringLiteral("  Red 1"));
        QCOMPARE(dlg.cell(0, 5)->currentIndex(), 0);
        QVERIFY(dlg.statusText()->text().isEmpty());

        // One port changed: the other four keep the tower's map.
        Choose(dlg.cell(2, 3), 3);
        QTest::mouseClick(dlg.sendButton(), Qt::LeftButton);
        const auto sent = Sent(3);
        QCOMPARE(sent.size(), size_t(1));
        QCOMPARE(sent[0].frame, (sim::Frame{0, 8, 13, 20, 23, 28 | 0x80, 0, 0, 3}));
    }

    void acousticOnlyChangeWaitsForTheTowerAndSameAddressesEndsTheWait()
    {
        OpenTower([](sim::BaseControllerConfig& c) { c.acceptPortMap = false; });
        PortMappingState state;
        CPort_Mapping dlg(state, TheDeviceState(), HidToolLink());
        dlg.Prepare();
        dlg.acousticBox(0)->click();
        QTest::mouseClick(dlg.sendButton(), Qt::LeftButton);
        QCOMPARE(Sent(3).size(), size_t(1));
        QCOMPARE(Sent(3)[0].frame, (sim::Frame{0, 8 | 0x80, 13, 18, 23, 28 | 0x80, 0, 0, 3}));
        QVERIFY(Step(dlg.verifyTimer(), [&] { dlg.OnVerifyTick(); }));
        QVERIFY(Step(dlg.verifyTimer(), [&] { dlg.OnVerifyTick(); }));
        QCOMPARE(dlg.statusText()->text(), QStringLiteral("Please wait!"));

        // Nothing new to send: the answer ends the running check for good.
        QTest::mouseClick(dlg.sendButton(), Qt::LeftButton);
        QCOMPARE(Sent(3).size(), size_t(1));
        QCOMPARE(dlg.statusText()->text(),
                 QStringLiteral("               Same addresses!               Please try again!"));
        QVERIFY(!dlg.verifyTimer()->isActive());
        QCOMPARE(RunOut(dlg.verifyTimer(), [&] { dlg.OnVerifyTick(); }, 12), 0);
        QCOMPARE(TextColour(dlg.statusText()), QColor(255, 127, 0));

        // The same change sent again while the link is closed: no success.
        dlg.Prepare();
        dlg.acousticBox(0)->click();
        TheHidLink().Close();
        QTest::mouseClick(dlg.sendButton(), Qt::LeftButton);
        QCOMPARE(RunOut(dlg.verifyTimer(), [&] { dlg.OnVerifyTick(); }, 12), 11);
        QCOMPARE(dlg.statusText()->text(), QStringLiteral("Transmission failed!"));
    }

    void singleGreenSegmentBecomesGreenOne()
    {
        OpenTower([](sim::BaseControllerConfig& c) { c.segmentAddress = {19, 0, 0, 0, 0, 0}; });
        AddressChangeState state;
        QCOMPARE(DecideChangeAddress(state, TheDeviceState(), true), ChangeAddressStep::NewColour);
        CNEWSEGMENT dlg(state, TheDeviceState(), HidToolLink());
        std::vector<ToolMessage> boxes;
        dlg.showMessage = [&](const ToolMessage& m) { boxes.push_back(m); };
        dlg.Prepare();
        QCOMPARE(dlg.currentColour()->text(), QStringLiteral("  Green 2"));
        QCOMPARE(dlg.newColourList()->count(), 5);
        QCOMPARE(dlg.newColourList()->itemText(4), QStringLiteral("  Green 5"));
        QCOMPARE(dlg.newColourList()->currentText(), QStringLiteral("  Green 1"));
        QVERIFY(Tower().switchState(19).received);
        QCOMPARE(Tower().switchState(19).on, uint8_t(0));

        QVERIFY(Step(dlg.tickTimer(), [&] { dlg.OnVerifyTick(); }));
        QTest::mouseClick(dlg.submitButton(), Qt::LeftButton);
        const auto sent = Sent(5);
        QCOMPARE(sent.size(), size_t(1));
        QCOMPARE(sent[0].frame, (sim::Frame{0, 19, 18, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 5}));
        QCOMPARE(dlg.statusText()->text(), QStringLiteral("Please wait!"));

        for (int tick = 0; tick < 11 && state.awaitingResult == 1; ++tick)
            Step(dlg.tickTimer(), [&] { dlg.OnVerifyTick(); });
        QCOMPARE(dlg.statusText()->text(),
                 QStringLiteral("         Address has been           changed successfully!"));
        QCOMPARE(TextColour(dlg.statusText()), QColor(0, 128, 0));
        QCOMPARE(dlg.currentColour()->text(), QStringLiteral("  Green 1"));
        QVERIFY(boxes.empty());
        Screenshot(&dlg, "new_colour.png");
        dlg.reject();
        QCOMPARE(state.shownKind, kNoKindShown);
        QVERIFY(!dlg.tickTimer()->isActive());
    }

    void ignoredAddressChangeIsGivenUpAfterElevenQuarterSeconds()
    {
        OpenTower([](sim::BaseControllerConfig& c) {
            c.segmentAddress = {19, 0, 0, 0, 0, 0};
            c.acceptAddressChange = false;
        });
        AddressChangeState state;
        QCOMPARE(DecideChangeAddress(state, TheDeviceState(), true), ChangeAddressStep::NewColour);
        CNEWSEGMENT dlg(state, TheDeviceState(), HidToolLink());
        std::vector<ToolMessage> boxes;
        dlg.showMessage = [&](const ToolMessage& m) { boxes.push_back(m); };
        dlg.Prepare();
        QVERIFY(Step(dlg.tickTimer(), [&] { dlg.OnVerifyTick(); }));
        Choose(dlg.newColourList(), 3);  // "  Green 4"
        const uint64_t submitMs = NowMs();
        QTest::mouseClick(dlg.submitButton(), Qt::LeftButton);
        QCOMPARE(NowMs() - submitMs, uint64_t(100));  // the tower's time to take it
        const auto sent = Sent(5);
        QCOMPARE(sent.size(), size_t(1));
        QCOMPARE(sent[0].frame, (sim::Frame{0, 19, 21, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 5}));

        int ticks = 0;
        while (state.awaitingResult == 1 && ticks < 20) {
            QVERIFY(Step(dlg.tickTimer(), [&] { dlg.OnVerifyTick(); }));
            ++ticks;
        }
        QCOMPARE(dlg.statusText()->text(), QStringLiteral("Transmision failed!"));
        QCOMPARE(TextColour(dlg.statusText()), QColor(223, 0, 0));
        // The 100 ms wait, then eleven 250 ms periods.
        QCOMPARE(NowMs() - submitMs, uint64_t(100 + 11 * 250));
        QCOMPARE(dlg.currentColour()->text(), QStringLiteral("  Green 2"));
        QVERIFY(boxes.empty());
    }

    void instructionOkWithOneSegmentOpensTheNewColourDialog()
    {
        OpenTower([](sim::BaseControllerConfig& c) { c.segmentAddress = {8, 13, 0, 0, 0, 0}; });
        QString firstModal;
        QString secondModal;
        QString currentColour;
        // Owned here, so neither can fire after this test.
        QTimer onNewColour;
        onNewColour.setSingleShot(true);
        connect(&onNewColour, &QTimer::timeout, this, [&] {
            auto* dlg = qobject_cast<CNEWSEGMENT*>(QApplication::activeModalWidget());
            if (dlg == nullptr)
                return;
            secondModal = dlg->metaObject()->className();
            currentColour = dlg->currentColour()->text();
            dlg->reject();
        });
        QTimer onInstructions;
        onInstructions.setSingleShot(true);
        connect(&onInstructions, &QTimer::timeout, this, [&] {
            auto* dlg = qobject_cast<CChangeAddress*>(QApplication::activeModalWidget());
            if (dlg == nullptr)
                return;
            firstModal = dlg->metaObject()->className();
            dlg->OnOk();  // still two segments: it stays
            if (!dlg->isVisible())
                return;
            Tower().mutableConfig().segmentAddress = {0, 0, 0, 0, 0, 0};
            Tower().mutableConfig().segmentAddress[0] = 24;
            Poll(300);
            onNewColour.start(0);
            dlg->OnOk();
        });
        onInstructions.start(0);
        RunChangeAddress(Session(), nullptr);
        QCOMPARE(firstModal, QStringLiteral("kv::CChangeAddress"));
        QCOMPARE(secondModal, QStringLiteral("kv::CNEWSEGMENT"));
        QCOMPARE(currentColour, QStringLiteral("  Blue 2"));
        QCOMPARE(TheAddressChangeState().changeKind, uint8_t(0));
        if (QWidget* left = QApplication::activeModalWidget())
            left->close();
        DestroyToolDialogs();
    }

    void noNewAddressAdviceIsShownWhole()
    {
        OpenTower([](sim::BaseControllerConfig& c) { c.segmentAddress = {0, 19, 0, 0, 0, 0}; });
        AddressChangeState state;
        QCOMPARE(DecideChangeAddress(state, TheDeviceState(), true), ChangeAddressStep::NewColour);
        CNEWSEGMENT dlg(state, TheDeviceState(), HidToolLink());
        dlg.Prepare();
        dlg.show();
        QVERIFY(Step(dlg.tickTimer(), [&] { dlg.OnVerifyTick(); }));
        QTest::mouseClick(dlg.submitButton(), Qt::LeftButton);
        QVERIFY(Sent(5).empty());
        QVERIFY(dlg.statusText()->text().endsWith(
            QStringLiteral("\nPlease put the segment directly on the Base Controller.")));
        QApplication::processEvents();
        QLabel* status = dlg.statusText();
        QVERIFY(status->height() >= status->heightForWidth(status->width()));
        dlg.reject();
    }

    void secondSegmentBringsTheWarningOnce()
    {
        OpenTower([](sim::BaseControllerConfig& c) { c.segmentAddress = {8, 0, 0, 0, 0, 0}; });
        AddressChangeState state;
        QCOMPARE(DecideChangeAddress(state, TheDeviceState(), true), ChangeAddressStep::NewColour);
        CNEWSEGMENT dlg(state, TheDeviceState(), HidToolLink());
        std::vector<ToolMessage> boxes;
        dlg.showMessage = [&](const ToolMessage& m) { boxes.push_back(m); };
        dlg.Prepare();
        auto ticks = [&](int n) {
            for (int i = 0; i < n; ++i)
                Step(dlg.tickTimer(), [&] { dlg.OnVerifyTick(); });
        };
        ticks(2);
        Tower().mutableConfig().segmentAddress[1] = 13;
        ticks(8);
        QCOMPARE(boxes.size(), size_t(1));
        QCOMPARE(boxes[0].caption, std::string("Warning"));
        Tower().mutableConfig().segmentAddress[1] = 0;
        ticks(4);
        Tower().mutableConfig().segmentAddress[1] = 13;
        ticks(4);
        QCOMPARE(boxes.size(), size_t(2));
        QVERIFY(Sent(5).empty());
    }

    void loneColourSegmentGoesStraightToTheNewColourDialog()
    {
        OpenTower([](sim::BaseControllerConfig& c) { c.segmentAddress = {0, 0, 18, 0, 0, 0}; });
        QString modal;
        QTimer::singleShot(0, [&] {
            QWidget* dlg = QApplication::activeModalWidget();
            QVERIFY(dlg != nullptr);
            modal = dlg->metaObject()->className();
            dlg->close();
        });
        RunChangeAddress(Session(), nullptr);
        QCOMPARE(modal, QStringLiteral("kv::CNEWSEGMENT"));
        QCOMPARE(TheAddressChangeState().changeKind, uint8_t(0));
        // The menu command made every tool dialog; they all go together.
        DestroyToolDialogs();
        for (QWidget* w : QApplication::allWidgets())
            QVERIFY2(qobject_cast<QDialog*>(w) == nullptr, w->metaObject()->className());
    }

    void loneSoundSegmentIsRefusedByTheMenuCommand()
    {
        OpenTower([](sim::BaseControllerConfig& c) { c.segmentAddress = {0, 0, 0, 0, 0, 33}; });
        QString caption;
        QString text;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box != nullptr);
            caption = box->windowTitle();
            text = box->text();
            box->accept();
        });
        RunChangeAddress(Session(), nullptr);
        QCOMPARE(caption, QStringLiteral("Adress Change"));
        QCOMPARE(text, QStringLiteral("The address of acoustic segment can not be changed."));
        QCOMPARE(TheAddressChangeState().changeKind, uint8_t(0));
        DestroyToolDialogs();
    }

    void thresholdOf110IsConfirmedInGreen()
    {
        OpenTower();
        SwitchingThresholdState state;
        CSwitchingThreshold dlg(state, TheDeviceState(), HidToolLink());
        const uint64_t before = NowMs();
        dlg.Prepare();
        QCOMPARE(NowMs() - before, uint64_t(500));
        QCOMPARE(dlg.voltageText()->text(), QStringLiteral("10.0"));
        QCOMPARE(dlg.slider()->value(), 92);
        QVERIFY(!dlg.sendButton()->isEnabled());
        QCOMPARE(dlg.presetButton(4)->text(), QStringLiteral("12.0 V"));
        QVERIFY(Step(dlg.tickTimer(), [&] { dlg.OnThresholdTick(); }));
        QCOMPARE(state.lastSeenThreshold, uint8_t(92));

        QTest::mouseClick(dlg.presetButton(4), Qt::LeftButton);
        QCOMPARE(dlg.voltageText()->text(), QStringLiteral("12.0"));
        QCOMPARE(dlg.slider()->value(), 110);
        QVERIFY(dlg.sendButton()->isEnabled());
        QTest::mouseClick(dlg.sendButton(), Qt::LeftButton);
        const auto sent = Sent(7);
        QCOMPARE(sent.size(), size_t(1));
        QCOMPARE(sent[0].frame, (sim::Frame{0, 110, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 7}));
        QCOMPARE(dlg.statusText()->text(), QStringLiteral("        Please wait!"));

        for (int tick = 0; tick < 5 && state.confirmPending == 1; ++tick)
            QVERIFY(Step(dlg.tickTimer(), [&] { dlg.OnThresholdTick(); }));
        QCOMPARE(dlg.statusText()->text(),
                 QStringLiteral("    The transfer was                successful!"));
        QCOMPARE(TextColour(dlg.statusText()), QColor(0, 128, 0));
        QVERIFY(!dlg.sendButton()->isEnabled());
        Screenshot(&dlg, "threshold.png");

        // The slider moved by hand: Send comes back.
        dlg.slider()->setValue(40);
        QCOMPARE(dlg.voltageText()->text(), QStringLiteral("4.3"));
        QVERIFY(dlg.sendButton()->isEnabled());
    }

    void thresholdReported100Then101Fails()
    {
        OpenTower([](sim::BaseControllerConfig& c) { c.acceptThreshold = false; });
        SwitchingThresholdState state;
        CSwitchingThreshold dlg(state, TheDeviceState(), HidToolLink());
        dlg.Prepare();
        QVERIFY(Step(dlg.tickTimer(), [&] { dlg.OnThresholdTick(); }));
        QTest::mouseClick(dlg.presetButton(4), Qt::LeftButton);
        const uint64_t sendMs = NowMs();
        QTest::mouseClick(dlg.sendButton(), Qt::LeftButton);
        QCOMPARE(Sent(7).size(), size_t(1));

        Tower().mutableConfig().switchingThreshold = 100;
        QVERIFY(Step(dlg.tickTimer(), [&] { dlg.OnThresholdTick(); }));
        QVERIFY(Step(dlg.tickTimer(), [&] { dlg.OnThresholdTick(); }));
        QCOMPARE(state.lastSeenThreshold, uint8_t(100));
        QCOMPARE(dlg.statusText()->text(), QStringLiteral("        Please wait!"));
        QCOMPARE(dlg.slider()->value(), 100);
        QCOMPARE(state.selectedThreshold, uint8_t(110));  // the user's choice stays

        Tower().mutableConfig().switchingThreshold = 101;
        QVERIFY(Step(dlg.tickTimer(), [&] { dlg.OnThresholdTick(); }));
        QCOMPARE(dlg.statusText()->text(), QStringLiteral("Transmission failed!"));
        QCOMPARE(TextColour(dlg.statusText()), QColor(255, 0, 0));
        // The 1500 ms wait after the send, then three 1 s periods.
        QCOMPARE(NowMs() - sendMs, uint64_t(1500 + 3 * 1000));
        dlg.reject();
        QVERIFY(!dlg.tickTimer()->isActive());
    }

    void instructionDialogScreenshot()
    {
        OpenTower([](sim::BaseControllerConfig& c) { c.segmentAddress = {8, 13, 0, 0, 0, 0}; });
        AddressChangeState state;
        QCOMPARE(DecideChangeAddress(state, TheDeviceState(), true),
                 ChangeAddressStep::Instructions);
        CChangeAddress dlg(state, TheDeviceState());
        dlg.Prepare();
        QVERIFY(dlg.instructionText()->text().startsWith(QStringLiteral("Please remove all other")));
        Tower().mutableConfig().segmentAddress = {0, 0, 0, 0, 0, 0};
        Poll(300);
        dlg.OnOk();
        QCOMPARE(dlg.instructionText()->text(),
                 QString(101, QLatin1Char(' ')) + QStringLiteral("Please add a segment!"));
        Screenshot(&dlg, "instructions.png");
        Tower().mutableConfig().segmentAddress = {0, 19, 0, 0, 0, 0};
        Poll(300);
        dlg.OnOk();
        QCOMPARE(dlg.result(), CChangeAddress::kRunNewColour);
    }
};

QTEST_MAIN(ToolsDialogsTest)
#include "tools_dialogs_test.moc"
