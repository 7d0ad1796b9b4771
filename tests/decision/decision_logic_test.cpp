// The update decision without widgets: the version dialog's faces and end
// codes, and the update path against the virtual tower with scripted dialogs
// (missing file, cancel, leave, retries, Escape after the run, a link that
// does not come back, a fresh connection after the update). Also the demo's
// generated firmware and release notes.
#include <QtTest>

#include <cstdio>
#include <string>
#include <vector>

#include "assets/demo/demo_assets.h"
#include "decision_support.h"
#include "device/hid_link.h"
#include "device/pattern_tables.h"
#include "device/report_protocol.h"
#include "device/version.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "sim/firmware_image.h"
#include "sim/virtual_bootloader.h"
#include "sim/virtual_tower.h"
#include "src/intel_hex.h"
#include "sync/poll_cycle.h"
#include "sync/send_path.h"
#include "update/firmware_update_path.h"
#include "update/update_decision.h"

using namespace kv;
using kv::test::FileBesideProgram;
using kv::test::FirmwareHexOfVersion;

namespace {

constexpr std::array<uint8_t, 6> kNoSegments{0, 0, 0, 0, 0, 0};

// The update path over a recording window, scripted dialogs and the virtual
// tower, on the virtual clock.
struct Bench {
    explicit Bench(bool withFirmwareFile = true)
    {
        sim::TheVirtualTower().Reset();
        sim::TheVirtualUsb().Reset();
        if (withFirmwareFile)
            file = std::make_unique<FileBesideProgram>(kFirmwareFileRelativePath,
                                                       FirmwareHexOfVersion(ProgramVersion));
        // The real progress dialog sends the bootloader report over the link
        // and closes it; here the tower stays where it is.
        dialogs.duringProgress = [this](int) { link.Close(); };
    }

    sim::VirtualBaseController& tower() { return sim::TheVirtualTower().baseController(0); }

    // The link open as the Open button leaves it, with the tower reported in
    // full.
    void OpenInStep()
    {
        QVERIFY(link.Open() != nullptr);
        poll.ResetShownCopies();
        state.reportSeen.fill(0);
        state.connectionReportPending = 1;
        for (int i = 0; i < 200; ++i)
            poll.Tick();
        QCOMPARE(state.segmentAddress[0], uint8_t{8});
        tower().ClearOutputLog();
        view.calls.clear();
    }

    std::vector<sim::LoggedReport> Reports(uint8_t type)
    {
        std::vector<sim::LoggedReport> out;
        for (const auto& r : tower().outputLog())
            if (r.type() == type)
                out.push_back(r);
        return out;
    }

    ScopedVirtualClock clock;
    DeviceState state;
    HidLink link{state};
    PatternTables patterns;
    kv::test::RecordingView view{state};
    SendPath send{state, link, view, patterns};
    PollCycle poll{state, link, view, send, patterns};
    kv::test::ScriptedDialogs dialogs;
    FirmwareUpdatePath path{state, link, view, send, poll, dialogs};
    std::unique_ptr<FileBesideProgram> file;
};

DeviceState StateWith(uint8_t version, std::array<uint8_t, 6> addresses)
{
    DeviceState s;
    s.firmwareVersion[kBaseControllerSlot] = version;
    s.segmentAddress = addresses;
    return s;
}

}  // namespace

class DecisionLogicTest : public QObject {
    Q_OBJECT

private slots:
    void versionDialogFaceByLinkVersionAndSegments()
    {
        struct Row {
            const char* name;
            bool linkOpen;
            uint8_t version;
            std::array<uint8_t, 6> addresses;
            VersionCase expected;
        };
        const std::array<uint8_t, 6> oneColour{0, 0, 18, 0, 0, 0};
        const std::array<uint8_t, 6> full{8, 13, 18, 23, 28, 33};
        const Row rows[] = {
            {"closed link, old device with segments", false, 23, full, VersionCase::LinkClosed},
            {"closed link, current device", false, 28, kNoSegments, VersionCase::LinkClosed},
            {"current version", true, 28, full, VersionCase::UpToDate},
            {"2.3 with one colour segment", true, 23, oneColour, VersionCase::RemoveSegments},
            {"2.3 with the sound segment at 33", true, 23, {0, 0, 0, 0, 0, 33},
             VersionCase::RemoveSegments},
            {"nothing reported yet, with segments", true, 0, full, VersionCase::RemoveSegments},
            {"2.3 without segments", true, 23, kNoSegments, VersionCase::Mismatch},
            {"2.3 with only a sound segment at 34", true, 23, {0, 0, 0, 0, 0, 34},
             VersionCase::Mismatch},
            {"2.4 with segments", true, 24, full, VersionCase::Mismatch},
            {"2.5 with segments", true, 25, full, VersionCase::Mismatch},
            {"newer than the program", true, 31, full, VersionCase::Mismatch},
        };
        for (const Row& row : rows) {
            const VersionDialogContent c =
                DecideVersionDialog(row.linkOpen, StateWith(row.version, row.addresses));
            QVERIFY2(c.which == row.expected, row.name);
            // Only the refusal hides OK; only the offers on the user's own
            // request let the user step back without closing the program.
            QCOMPARE(c.okShown, row.expected != VersionCase::RemoveSegments);
            QCOMPARE(c.leftShown, row.expected != VersionCase::RemoveSegments);
            QCOMPARE(c.centreShown, row.expected == VersionCase::RemoveSegments);
            QCOMPARE(c.exitOnClose, row.expected == VersionCase::RemoveSegments ||
                                        row.expected == VersionCase::Mismatch);
            QCOMPARE(c.bottomShown, row.expected != VersionCase::UpToDate);
        }
    }

    void versionDialogTextsCarryBothVersions()
    {
        const auto closed = DecideVersionDialog(false, StateWith(23, kNoSegments));
        QCOMPARE(closed.top, std::string("Press OK to update your Base Controller to version:"));
        QCOMPARE(closed.middle, std::string("2.8\n\nPlease Note:"));
        QCOMPARE(closed.bottom,
                 std::string("If you expect your Base Controller running an older version than "
                             "v2.4:\n\t- please remove all segments before running the update\n\t- "
                             "please ensure your nelo is connected to an USB2.0 port"));
        QCOMPARE(closed.leftCaption, std::string("Cancel"));

        const auto same = DecideVersionDialog(true, StateWith(28, kNoSegments));
        QCOMPARE(same.top, std::string("The firmware of your Base Controller is up to date.\n"
                                       "Press OK to update with the same version:"));
        QCOMPARE(same.middle, std::string("v2.8"));
        QCOMPARE(same.leftCaption, std::string("Cancel"));

        const auto refused = DecideVersionDialog(true, StateWith(7, {8, 0, 0, 0, 0, 0}));
        QCOMPARE(refused.top,
                 std::string("The firmware of your Base Controller would need to be updated:"));
        QCOMPARE(refused.middle, std::string("from v0.7 to v2.8\n\nWhat you need to do before is:"));
        QCOMPARE(refused.bottom, std::string("Remove all segments from Base Controller.\nand\n"
                                             "Ensure your nelo is connected to an USB2.0 port."));

        const auto forced = DecideVersionDialog(true, StateWith(25, kNoSegments));
        QCOMPARE(forced.top, std::string("The firmware of your Base Controller does not match.\n"
                                         "Press OK to update your Base Controller:"));
        QCOMPARE(forced.middle, std::string("from v2.5 to v2.8"));
        QCOMPARE(forced.bottom, std::string("Press EXIT to close the application."));
        QCOMPARE(forced.leftCaption, std::string("EXIT"));

        // Any byte the device reports is shown whole.
        QCOMPARE(DecideVersionDialog(true, StateWith(255, kNoSegments)).middle,
                 std::string("from v25.5 to v2.8"));
    }

    void endCodesFollowExitOnClose()
    {
        QCOMPARE(VersionDialogEndCode(VersionButton::Ok, false), 1);
        QCOMPARE(VersionDialogEndCode(VersionButton::Ok, true), 1);
        QCOMPARE(VersionDialogEndCode(VersionButton::Left, false), 2);
        QCOMPARE(VersionDialogEndCode(VersionButton::Centre, false), 2);
        QCOMPARE(VersionDialogEndCode(VersionButton::Left, true), 3);
        QCOMPARE(VersionDialogEndCode(VersionButton::Centre, true), 3);
    }

    void missingFirmwareFileIsToldFirstAndChangesNothing()
    {
        Bench b(false);
        std::remove(ExeRelativePath(kFirmwareFileRelativePath).c_str());
        b.OpenInStep();
        const DeviceState before = b.state;
        b.path.OnFirmwareUpdate();
        QCOMPARE(b.dialogs.shown, std::vector<std::string>{"error"});
        QCOMPARE(b.dialogs.errorText,
                 std::string("Firmware file not found.\nPlease do a re-install of Kestrivane."));
        QCOMPARE(b.dialogs.errorCaption, std::string("Firmware Update Error"));
        QVERIFY(b.view.calls.empty());
        QVERIFY(b.tower().outputLog().empty());
        QVERIFY(b.link.IsOpen());
        QCOMPARE(b.state.suspendRead, before.suspendRead);
        QCOMPARE(b.state.segmentAddress, before.segmentAddress);
        QCOMPARE(b.state.onState, before.onState);
    }

    void firmwareFolderOfTheSameNameIsNoFile()
    {
        Bench b(false);
        const std::string file = ExeRelativePath(kFirmwareFileRelativePath);
        QDir().mkpath(QString::fromStdString(file));
        b.path.OnFirmwareUpdate();
        QDir().rmdir(QString::fromStdString(file));
        QDir().rmdir(QFileInfo(QString::fromStdString(file)).path());
        QCOMPARE(b.dialogs.shown, std::vector<std::string>{"error"});
    }

    void cancelLeavesEverythingAsItWas()
    {
        Bench b;
        b.OpenInStep();
        b.dialogs.versionAnswer = kVersionDialogCancel;
        b.path.OnFirmwareUpdate();
        QCOMPARE(b.dialogs.shown, std::vector<std::string>{"version"});
        QVERIFY(b.dialogs.lastFace.which == VersionCase::UpToDate);
        QVERIFY(b.view.calls.empty());
        QVERIFY(b.tower().outputLog().empty());
        QVERIFY(b.link.IsOpen());
        QCOMPARE(b.state.suspendRead, uint8_t{0});
    }

    void leavingThroughTheVersionDialogEndsTheWindowWithThree()
    {
        Bench b;
        b.tower().mutableConfig().firmwareVersion[kBaseControllerSlot] = 23;
        b.OpenInStep();
        b.dialogs.versionAnswer = kVersionDialogCloseProgram;
        b.path.OnFirmwareUpdate();
        QVERIFY(b.dialogs.lastFace.which == VersionCase::RemoveSegments);
        QCOMPARE(b.view.calls, std::vector<std::string>{"end:3"});
        QCOMPARE(b.dialogs.Count("progress"), 0);
        QVERIFY(b.tower().outputLog().empty());
    }

    void twoFailuresThenSuccessComeBackOnline()
    {
        Bench b;
        b.OpenInStep();
        b.dialogs.progressAnswers = {3, 3, 1};
        b.dialogs.failedAnswers = {1, 1};
        int suspendDuringSuccess = -1;
        bool linkOpenDuringSuccess = false;
        b.dialogs.duringSuccess = [&] {
            suspendDuringSuccess = b.state.suspendRead;
            linkOpenDuringSuccess = b.link.IsOpen() != 0;
        };
        b.path.OnFirmwareUpdate();

        QCOMPARE(b.dialogs.shown, (std::vector<std::string>{"version", "progress", "failed",
                                                            "progress", "failed", "progress",
                                                            "success"}));
        QCOMPARE(b.path.attempts(), 3);
        QVERIFY(b.link.IsOpen());
        QCOMPARE(b.view.statusLine, std::string("Device Status: Online."));
        QCOMPARE(b.view.messageLine, std::string(""));
        QCOMPARE(b.view.openCloseCaption, std::string("Close"));
        QVERIFY(b.view.sendEnabled && b.view.openCloseEnabled && b.view.exitEnabled);
        QVERIFY(b.view.toolsEnabled);
        QVERIFY(b.view.timerRunning);
        QCOMPARE(b.view.suspendReadAtTimerStart, 1);
        QCOMPARE(suspendDuringSuccess, 1);
        QVERIFY(linkOpenDuringSuccess);
        QCOMPARE(b.state.suspendRead, uint8_t{0});
        QCOMPARE(b.state.firmwareUpdated, uint8_t{1});
        QCOMPARE(b.state.connectionReportPending, uint8_t{1});
        QCOMPARE(b.view.calls.back(), std::string("exit:1"));

        // Goodbye only while the link was open (the first attempt): a
        // connection report to each of the six segments, the host report 0;
        // then the host report 1 once the link is back.
        const auto connections = b.Reports(kOutSwitch);
        QCOMPARE(connections.size(), size_t{6});
        for (const auto& r : connections)
            QCOMPARE(r.frame[7], kMarkerConnection);
        const auto hosts = b.Reports(kOutHost);
        QCOMPARE(hosts.size(), size_t{2});
        QCOMPARE(hosts[0].frame[1], uint8_t{0});
        QCOMPARE(hosts[1].frame[1], uint8_t{1});
        QVERIFY(hosts[0].timeUs >= connections.back().timeUs);
    }

    void controlsAreHeldWhileTheProgressDialogRuns()
    {
        Bench b;
        b.OpenInStep();
        kv::test::RecordingView* v = &b.view;
        bool held = false;
        int suspend = -1;
        b.dialogs.duringProgress = [&](int) {
            held = !v->sendEnabled && !v->openCloseEnabled && !v->exitEnabled && !v->timerRunning;
            suspend = b.state.suspendRead;
            b.link.Close();
        };
        b.path.OnFirmwareUpdate();
        QVERIFY(held);
        QCOMPARE(suspend, 1);
    }

    void escapeAfterTheRunShowsNothingAndLeavesTheLinkClosed()
    {
        Bench b;
        b.OpenInStep();
        b.dialogs.progressAnswers = {2};
        b.path.OnFirmwareUpdate();
        QCOMPARE(b.dialogs.shown, (std::vector<std::string>{"version", "progress"}));
        QVERIFY(!b.link.IsOpen());
        QVERIFY(!b.view.timerRunning);
        QVERIFY(!b.view.sendEnabled);
        QVERIFY(!b.view.openCloseEnabled);
        QVERIFY(b.view.exitEnabled);
        QCOMPARE(b.state.suspendRead, uint8_t{0});
        QCOMPARE(b.state.firmwareUpdated, uint8_t{0});
        QCOMPARE(b.Reports(kOutHost).size(), size_t{1});  // the goodbye only
    }

    void givingUpLeavesOnlyExit()
    {
        Bench b;
        b.OpenInStep();
        b.dialogs.progressAnswers = {3};
        b.dialogs.failedAnswers = {2};
        b.path.OnFirmwareUpdate();
        QCOMPARE(b.dialogs.shown, (std::vector<std::string>{"version", "progress", "failed"}));
        QVERIFY(!b.link.IsOpen());
        QVERIFY(!b.view.timerRunning);
        QVERIFY(!b.view.sendEnabled && !b.view.openCloseEnabled);
        QVERIFY(b.view.exitEnabled);
        QCOMPARE(b.state.suspendRead, uint8_t{0});
    }

    void updatedTowerThatDoesNotComeBackLeavesTheWindowOffline()
    {
        Bench b;
        b.OpenInStep();
        b.dialogs.duringProgress = [&b](int) {
            b.link.Close();
            b.tower().Unplug();
        };
        b.path.OnFirmwareUpdate();
        QCOMPARE(b.dialogs.Count("success"), 0);
        QCOMPARE(b.view.messageLine, std::string("Warning: Unable to open device."));
        QCOMPARE(b.view.statusLine, std::string("Device Status: Offline."));
        QCOMPARE(b.state.firmwareUpdated, uint8_t{0});
        QVERIFY(!b.view.timerRunning);
        QVERIFY(!b.view.sendEnabled && !b.view.openCloseEnabled && b.view.exitEnabled);
    }

    void reopenedLinkGreetsTheSegmentsItReports()
    {
        Bench b;
        b.OpenInStep();
        b.path.OnFirmwareUpdate();
        QCOMPARE(b.state.firmwareUpdated, uint8_t{1});
        // Nothing of the connection before the update counts.
        for (uint8_t seen : b.state.reportSeen)
            QCOMPARE(seen, uint8_t{0});
        for (uint16_t c : b.state.lastSentChecksum)
            QCOMPARE(c, kNeverSent);
        b.tower().ClearOutputLog();
        for (int i = 0; i < 200; ++i)
            b.poll.Tick();
        std::vector<uint8_t> greeted;
        for (const auto& r : b.Reports(kOutSwitch))
            if (r.frame[7] == kMarkerConnection)
                greeted.push_back(r.frame[1]);
        QCOMPARE(greeted, (std::vector<uint8_t>{8, 13, 18, 23, 28, 33}));
        QCOMPARE(b.state.segmentAddress[5], uint8_t{33});
    }

    void pollCycleUpdatesOnceAndCarriesOn()
    {
        Bench b;
        b.tower().mutableConfig().firmwareVersion[kBaseControllerSlot] = 25;
        b.tower().mutableConfig().segmentAddress = kNoSegments;
        b.view.onFirmwareUpdate = [&b] { b.path.OnFirmwareUpdate(); };
        // The update leaves the tower at the file's version.
        b.dialogs.duringProgress = [&b](int) {
            b.link.Close();
            b.tower().mutableConfig().firmwareVersion[kBaseControllerSlot] = ProgramVersion;
        };
        QVERIFY(b.link.Open() != nullptr);
        b.poll.ResetShownCopies();
        for (int i = 0; i < 300; ++i)
            b.poll.Tick();
        QCOMPARE(b.view.firmwareUpdateCalls, 1);
        QVERIFY(b.dialogs.lastFace.which == VersionCase::Mismatch);
        QCOMPARE(b.dialogs.Count("success"), 1);
        QCOMPARE(b.view.endedWith, -1);
        QVERIFY(b.link.IsOpen());
        QCOMPARE(b.state.firmwareVersion[kBaseControllerSlot], ProgramVersion);
        QVERIFY(b.view.toolsEnabled);
    }

    void demoFirmwareIsAWholeApplicationImageOfTheProgramVersion()
    {
        const std::string hex = FirmwareHexOfVersion(ProgramVersion);
        FileBesideProgram file("demo_check.hex", hex);
        intel_buffer_out image;
        QCOMPARE(intel_init_buffer_out(&image, sim::kFlashSize, sim::kFlashPageSize), 0);
        QCOMPARE(intel_hex_to_buffer(file.path().c_str(), &image, 1), 0);
        std::vector<uint8_t> bytes(sim::kFlashSize, 0xFF);
        for (uint32_t a = 0; a < sim::kFlashSize; ++a) {
            const bool data = intel_cell_has_data(image.cells[a]);
            // Every cell of the application area, nothing in the boot loader's.
            QCOMPARE(data, a <= sim::kApplicationEnd);
            if (data)
                bytes[a] = static_cast<uint8_t>(image.cells[a]);
        }
        QCOMPARE(sim::FirmwareVersionOf(bytes.data(), bytes.size()), ProgramVersion);
        QCOMPARE(demo::MakeDemoFirmwareImage(23)[sim::kFirmwareVersionAddress], uint8_t{23});
    }

    void releaseNotesCrossReferencePointsAtEachObject()
    {
        const std::string pdf =
            demo::ReleaseNotesPdf("Notes (2.8)", {"a \\ b", "caf\xC3\xA9", "line"});
        QVERIFY(pdf.rfind("%PDF-1.4\n", 0) == 0);
        const size_t startxrefAt = pdf.rfind("startxref\n");
        QVERIFY(startxrefAt != std::string::npos);
        const size_t xref = std::stoul(pdf.substr(startxrefAt + 10));
        QVERIFY(pdf.compare(xref, 5, "xref\n") == 0);
        QVERIFY(pdf.compare(xref + 5, 4, "0 7\n") == 0);
        // Six objects, each entry 20 bytes, each offset at "n 0 obj".
        for (int n = 1; n <= 6; ++n) {
            const size_t entry = xref + 9 + static_cast<size_t>(n) * 20;
            const size_t offset = std::stoul(pdf.substr(entry, 10));
            const std::string head = std::to_string(n) + " 0 obj\n";
            QVERIFY2(pdf.compare(offset, head.size(), head) == 0, head.c_str());
        }
        // The stream is as long as it says.
        const size_t lengthAt = pdf.find("/Length ");
        const size_t length = std::stoul(pdf.substr(lengthAt + 8));
        const size_t streamAt = pdf.find("stream\n", lengthAt) + 7;
        QCOMPARE(pdf.compare(streamAt + length, 9, "endstream"), 0);
        // Brackets and backslashes are escaped, other bytes made plain.
        QVERIFY(pdf.find("(Notes \\(2.8\\)) Tj") != std::string::npos);
        QVERIFY(pdf.find("(a \\\\ b) Tj") != std::string::npos);
        QVERIFY(pdf.find("(caf?" "?) Tj") != std::string::npos);
        QVERIFY(pdf.size() < 4096);
    }
};

QTEST_GUILESS_MAIN(DecisionLogicTest)
#include "decision_logic_test.moc"
