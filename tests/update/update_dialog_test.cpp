#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <string>
#include <utility>
#include <vector>

#include "device/hid_link.h"
#include "platform/clock.h"
#include "platform/update_trace.h"
#include "sim/virtual_tower.h"
#include "update/fwupdate_failed.h"
#include "update/fwupdate_process.h"
#include "update/update_run.h"
#include "update_test_support.h"

using kv::CFWUPDATE_FAILED;
using kv::FWUPDATE_PROCESS;

namespace {

// Records what a label showed each time it was painted.
class PaintLog : public QObject {
public:
    explicit PaintLog(QLabel* label) : label_(label) { label->installEventFilter(this); }
    std::vector<QString> texts;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == label_ && event->type() == QEvent::Paint)
            texts.push_back(label_->text());
        return false;
    }

private:
    QLabel* label_;
};

// Counts user input that reaches a widget.
class InputLog : public QObject {
public:
    int keys = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::KeyPress)
            ++keys;
        return false;
    }
};

// A scripted run for the dialog: hook calls (step, percent) in order, then a
// result; checks in between through `probe`.
struct Script {
    std::vector<std::pair<int, int>> calls;
    int result = 0;
    std::function<void(FWUPDATE_PROCESS&, size_t callIndex)> probe;
};
Script* g_script = nullptr;

int ScriptedRun(int, const char*, kv::ProgressHook hook, void* context)
{
    for (size_t i = 0; i < g_script->calls.size(); ++i) {
        const auto [step, percent] = g_script->calls[i];
        const int inStep = (step >= 3 && step <= 5) ? 1 : 0;
        hook(context, step, inStep, percent);
        if (g_script->probe)
            g_script->probe(*static_cast<FWUPDATE_PROCESS*>(context), i);
    }
    return g_script->result;
}

}  // namespace

class UpdateDialogTest : public QObject {
    Q_OBJECT

private:
    kv::ScopedVirtualClock* clock_ = nullptr;
    kv::ScopedErrCapture* err_ = nullptr;
    std::vector<uint8_t> firmware_ = kv::test::MakeFirmware(29);
    kv::test::TempHexFile* hex_ = nullptr;

private slots:
    void init()
    {
        clock_ = new kv::ScopedVirtualClock;
        err_ = new kv::ScopedErrCapture;
        hex_ = new kv::test::TempHexFile(kv::test::FirmwareHex(firmware_));
        kv::test::ResetWorld();
    }

    void cleanup()
    {
        delete hex_;
        delete err_;
        delete clock_;
        g_script = nullptr;
    }

    // The whole way: the bootloader report over HID, the update, the Base
    // Controller back; the user presses OK.
    void successfulUpdateEndsWithOne()
    {
        FWUPDATE_PROCESS dlg;
        PaintLog painted(dlg.stepText());
        bool okWasEnabled = false;
        dlg.onRunFinished = [&okWasEnabled](FWUPDATE_PROCESS& d) {
            okWasEnabled = d.okButton()->isEnabled();
            d.okButton()->click();
        };
        QCOMPARE(dlg.run(hex_->path()), FWUPDATE_PROCESS::kUpdated);

        QVERIFY(okWasEnabled);
        QCOMPARE(dlg.updateResult(), 0);
        QCOMPARE(dlg.lastStep(), 7);
        QCOMPARE(dlg.stepText()->text(), QString("All Done."));
        QCOMPARE(dlg.progressBar()->value(), 7);
        QCOMPARE(dlg.messageLine()->text(), QString("Your device has succesfully been updated."));
        QCOMPARE(kv::test::BootloaderReportsTaken(), size_t{1});
        QVERIFY(!kv::TheHidLink().IsOpen());
        QVERIFY(kv::test::FlashHolds(firmware_));

        // Every step text reached the screen while the update held the thread.
        const char* steps[] = {"Establish Connection...", "Erase Old Firmware...",
                               "Write New Firmware...", "Readback New Firmware...",
                               "Validate New Firmware...", "Restart Device...", "All Done."};
        size_t at = 0;
        for (const QString& t : painted.texts) {
            if (at < std::size(steps) && t == QString(steps[at]))
                ++at;
        }
        QCOMPARE(at, std::size(steps));
    }

    // A failure shows [step.result] and ends with 3; the second run finds the
    // boot loader without a bootloader report and ends with 1.
    void failedUpdateShowsItsCodeAndTheRetrySucceeds()
    {
        kv::test::Bootloader().faults().readProtected = true;
        FWUPDATE_PROCESS dlg;
        dlg.onRunFinished = [](FWUPDATE_PROCESS& d) { d.okButton()->click(); };
        QCOMPARE(dlg.run(hex_->path()), FWUPDATE_PROCESS::kFailed);
        QCOMPARE(dlg.messageLine()->text(), QString("Update failed with error code: [4.9]."));
        QCOMPARE(dlg.stepText()->text(), QString("Readback New Firmware..."));
        QCOMPARE(dlg.progressBar()->value(), 4);

        kv::test::Bootloader().faults() = kv::sim::BootloaderFaults{};
        QCOMPARE(dlg.run(hex_->path()), FWUPDATE_PROCESS::kUpdated);
        QCOMPARE(kv::test::BootloaderReportsTaken(), size_t{1});
        QCOMPARE(dlg.messageLine()->text(), QString("Your device has succesfully been updated."));
    }

    // Percentage reports never move the bar; the error code shows the last
    // step shown, which starts at 8 so that step 0 counts as a change.
    void barMovesOnlyWithTheSteps()
    {
        const struct {
            std::vector<std::pair<int, int>> calls;  // step, percent
            int result;
            std::vector<int> bar;                    // after each call
            const char* message;
        } cases[] = {
            {{{0, 0}, {1, 0}, {2, 0}, {3, 0}, {3, 40}, {3, 100}, {4, 0}, {4, 50}, {5, 0}, {5, 99}, {6, 0}},
             -1,
             {0, 1, 2, 3, 3, 3, 4, 4, 5, 5, 6},
             "Update failed with error code: [6.-1]."},
            {{{0, 0}}, 3, {0}, "Update failed with error code: [0.3]."},
        };
        for (const auto& c : cases) {
            Script script{c.calls, c.result, nullptr};
            std::vector<int> bar;
            script.probe = [&bar](FWUPDATE_PROCESS& d, size_t) { bar.push_back(d.progressBar()->value()); };
            g_script = &script;

            FWUPDATE_PROCESS dlg;
            dlg.updateFunction = &ScriptedRun;
            dlg.Prepare(hex_->path());
            QCOMPARE(dlg.windowTitle(), QString("Firmware Update Process"));
            QVERIFY(!(dlg.windowFlags() & Qt::WindowCloseButtonHint));
            QCOMPARE(dlg.stepText()->text(), QString("Preparing..."));
            QCOMPARE(dlg.progressBar()->maximum(), 7);
            QVERIFY(dlg.messageLine()->isHidden());
            QVERIFY(!dlg.okButton()->isEnabled());
            QCOMPARE(dlg.lastStep(), 8);
            dlg.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dlg));
            dlg.OnStartTick();

            QCOMPARE(bar, c.bar);
            QCOMPARE(dlg.messageLine()->text(), QString(c.message));
            QVERIFY(dlg.okButton()->isEnabled());
            dlg.okButton()->click();
            QCOMPARE(dlg.result(), FWUPDATE_PROCESS::kFailed);
        }
    }

    // During the run the warning shows, pending paints are delivered from the
    // busy waits, and user input waits; Escape counts only after the run.
    void escapeAndInputOnlyAfterTheRun()
    {
        Script script;
        script.calls = {{0, 0}, {1, 0}};
        script.result = 0;
        InputLog input;
        bool warningShown = false;
        bool stillOpenDuringRun = false;
        PaintLog* messagePaints = nullptr;
        size_t paintsBefore = 0;
        size_t paintsAfterWait = 0;
        script.probe = [&](FWUPDATE_PROCESS& d, size_t i) {
            if (i != 1)
                return;
            warningShown = d.messageLine()->isVisible() &&
                           d.messageLine()->text() == "DO NOT TURN OFF WHILE UPDATE IS RUNNING !";
            // The user presses Escape while the update runs.
            QCoreApplication::postEvent(&d, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
            d.messageLine()->setText("painted from a busy wait");
            paintsBefore = messagePaints->texts.size();
            kv::BusyWaitUs(50000);
            paintsAfterWait = messagePaints->texts.size();
            stillOpenDuringRun = d.isVisible() && input.keys == 0;
        };
        g_script = &script;

        FWUPDATE_PROCESS dlg;
        dlg.updateFunction = &ScriptedRun;
        dlg.installEventFilter(&input);
        PaintLog paints(dlg.messageLine());
        messagePaints = &paints;
        dlg.Prepare(hex_->path());
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));

        // Before the run Escape does nothing.
        QTest::keyClick(&dlg, Qt::Key_Escape);
        QVERIFY(dlg.isVisible());
        input.keys = 0;

        QSignalSpy finished(&dlg, &QDialog::finished);
        dlg.OnStartTick();
        QVERIFY(warningShown);
        QVERIFY(stillOpenDuringRun);
        QVERIFY(paintsAfterWait > paintsBefore);
        QVERIFY(!paints.texts.empty());
        QCOMPARE(paints.texts.back(), QString("painted from a busy wait"));
        QCOMPARE(finished.count(), 0);

        // The Escape pressed during the run was meant for a window that could
        // not answer: once the run is over it ends nothing.
        QTest::qWait(50);
        QCOMPARE(finished.count(), 0);
        QCOMPARE(input.keys, 0);
        QVERIFY(dlg.isVisible());
        QVERIFY(dlg.okButton()->isEnabled());

        // One pressed now ends the dialog with the cancel code.
        QTest::keyClick(&dlg, Qt::Key_Escape);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), FWUPDATE_PROCESS::kCancelled);
        QCOMPARE(input.keys, 1);
    }

    // A file the run could not program is found before the Base Controller is
    // touched: the run's code [3.6], no bootloader report, no erase, the tower
    // keeps running its firmware.
    void unusableFileLeavesTheTowerRunningItsFirmware()
    {
        std::string corrupt = kv::test::FirmwareHex(firmware_);
        const size_t lineEnd = corrupt.find('\n', corrupt.find('\n') + 1);
        corrupt[lineEnd - 1] = corrupt[lineEnd - 1] == '0' ? '1' : '0';
        const struct {
            const char* name;
            std::string text;  // empty: no file at all
        } files[] = {
            {"bad checksum", corrupt},
            {"data over the boot loader",
             kv::test::HexText({{0x0000, firmware_}, {0x7000, {0x0C, 0x94}}})},
            {"missing", ""},
        };
        for (const auto& f : files) {
            kv::test::ResetWorld();
            kv::test::TempHexFile hex(f.text);
            const std::string path = f.text.empty() ? hex.path() + ".missing" : hex.path();
            // Opened as the window leaves it for the dialog; closed after the
            // run like any other, so no tool talks to an unpolled tower.
            QVERIFY(kv::TheHidLink().Open() != nullptr);
            FWUPDATE_PROCESS dlg;
            dlg.onRunFinished = [](FWUPDATE_PROCESS& d) { d.okButton()->click(); };
            QVERIFY2(dlg.run(path) == FWUPDATE_PROCESS::kFailed, f.name);
            QVERIFY(!kv::TheHidLink().IsOpen());
            QCOMPARE(dlg.messageLine()->text(), QString("Update failed with error code: [3.6]."));
            QCOMPARE(dlg.stepText()->text(), QString("Write New Firmware..."));
            QCOMPARE(dlg.progressBar()->value(), 3);
            QCOMPARE(kv::test::BootloaderReportsTaken(), size_t{0});
            QCOMPARE(kv::test::Bootloader().erases(), 0);
            QCOMPARE(kv::test::Bootloader().flashedVersion(), uint8_t{28});
        }
    }

    void failureDialogTextsAndEndCodes()
    {
        CFWUPDATE_FAILED dlg;
        QCOMPARE(dlg.windowTitle(), QString("Nelo Firmware Update Failed"));
        QCOMPARE(dlg.messageText()->text(), QString("Fimrware update was not  completed successfully."));
        QCOMPARE(dlg.questionText()->text(), QString("Do you want to try again?"));
        QCOMPARE(dlg.okButton()->text(), QString("OK"));
        QCOMPARE(dlg.exitButton()->text(), QString("Exit"));

        const std::vector<std::pair<std::function<void(CFWUPDATE_FAILED&)>, int>> answers{
            {[](CFWUPDATE_FAILED& d) { d.okButton()->click(); }, CFWUPDATE_FAILED::kTryAgain},
            {[](CFWUPDATE_FAILED& d) { d.exitButton()->click(); }, CFWUPDATE_FAILED::kExit},
            {[](CFWUPDATE_FAILED& d) { QTest::keyClick(&d, Qt::Key_Escape); }, CFWUPDATE_FAILED::kExit},
        };
        for (const auto& [answer, code] : answers) {
            dlg.onShown = answer;
            QCOMPARE(dlg.run(), code);
        }
    }
};

QTEST_MAIN(UpdateDialogTest)
#include "update_dialog_test.moc"
