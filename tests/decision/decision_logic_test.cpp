// The update decision without widgets: the version dialog's face by link
// state, version and segments, and the update path over scripted dialogs
// against the virtual tower. Also the demo's generated firmware and notes.
#include <QtTest>

#include <cstdio>

#include "assets/demo/demo_assets.h"
#include "decision_support.h"
#include "device/hid_link.h"
#include "device/pattern_tables.h"
#include "device/version.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "sim/firmware_image.h"
#include "sim/virtual_tower.h"
#include "src/intel_hex.h"
#include "update/firmware_update_path.h"

using namespace kv;

namespace {

DeviceState StateWith(uint8_t version, std::array<uint8_t, 6> addresses)
{
    DeviceState s;
    s.firmwareVersion[kBaseControllerSlot] = version;
    s.segmentAddress = addresses;
    return s;
}

// The update path over a session, scripted dialogs and the default virtual
// tower, in step with the tower.
struct Bench {
    Bench()
    {
        sim::TheVirtualTower().Reset();
        dialogs.duringProgress = [this] { link.Close(); };
        link.Open();
        session.pollCycle().ResetShownCopies();
        for (int i = 0; i < 100; ++i)
            session.pollCycle().Tick();
        tower().ClearOutputLog();
        shownAtStart = session.model();
    }
    sim::VirtualBaseController& tower() { return sim::TheVirtualTower().baseController(0); }
    const WindowModel& shown() const { return session.model(); }
    // What changed in what the window shows since the start (its model, its
    // end).
    int changes() const { return (shown() == shownAtStart ? 0 : 1) + (host.endedWith >= 0 ? 1 : 0); }

    ScopedVirtualClock clock;
    DeviceState state;
    HidLink link{state};
    PatternTables patterns;
    test::RecordingHost host;
    TowerSession session{state, link, patterns, host};
    test::ScriptedDialogs dialogs;
    FirmwareUpdatePath path{session, dialogs};
    WindowModel shownAtStart;
};

}  // namespace

class DecisionLogicTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::FileBesideProgram> firmware_;

private slots:
    void init()
    {
        firmware_ = std::make_unique<test::FileBesideProgram>(
            kFirmwareFileRelativePath, test::FirmwareHexOfVersion(ProgramVersion));
    }
    void cleanup() { firmware_.reset(); }

    void versionDialogFaceByLinkVersionAndSegments()
    {
        const std::array<uint8_t, 6> none{}, full{8, 13, 18, 23, 28, 33};
        const struct {
            bool open;
            uint8_t version;
            std::array<uint8_t, 6> addresses;
            VersionCase expected;
            const char* middle;
        } rows[] = {
            {false, 23, full, VersionCase::LinkClosed, "2.8\n\nPlease Note:"},
            {true, 28, full, VersionCase::UpToDate, "v2.8"},
            {true, 23, {0, 0, 18, 0, 0, 0}, VersionCase::RemoveSegments,
             "from v2.3 to v2.8\n\nWhat you need to do before is:"},
            {true, 23, {0, 0, 0, 0, 0, 33}, VersionCase::RemoveSegments, nullptr},
            {true, 23, none, VersionCase::Mismatch, "from v2.3 to v2.8"},
            {true, 23, {0, 0, 0, 0, 0, 34}, VersionCase::Mismatch, nullptr},
            {true, 24, full, VersionCase::Mismatch, "from v2.4 to v2.8"},
            {true, 25, full, VersionCase::Mismatch, nullptr},
            {true, 255, none, VersionCase::Mismatch, "from v25.5 to v2.8"},
        };
        for (const auto& row : rows) {
            const auto c = DecideVersionDialog(row.open, StateWith(row.version, row.addresses));
            QCOMPARE(int(c.which), int(row.expected));
            // The first line of the text above the version, per case.
            const char* tops[] = {"Press OK to update your Base Controller to version:",
                                  "The firmware of your Base Controller is up to date.",
                                  "The firmware of your Base Controller would need to be updated:",
                                  "The firmware of your Base Controller does not match."};
            QCOMPARE(c.top.substr(0, c.top.find('\n')), std::string(tops[int(c.which) - 1]));
            if (row.middle)
                QCOMPARE(c.middle, std::string(row.middle));
            const bool refused = row.expected == VersionCase::RemoveSegments;
            QCOMPARE(c.okShown, !refused);
            QCOMPARE(c.leftShown, !refused);
            QCOMPARE(c.centreShown, refused);
            QCOMPARE(c.exitOnClose, refused || row.expected == VersionCase::Mismatch);
            QCOMPARE(c.bottomShown, row.expected != VersionCase::UpToDate);
        }
    }

    void nothingChangesUnlessTheUserSaysOk()
    {
        const struct {
            bool fileThere;
            int answer;
            std::vector<std::string> shown;
            int ended;
        } rows[] = {
            {true, 2, {"version"}, -1},
            {true, 3, {"version"}, 3},
            {false, 1, {"error"}, -1},  // last: the file goes
        };
        for (const auto& row : rows) {
            if (!row.fileThere)
                firmware_.reset();
            Bench b;
            b.dialogs.versionAnswer = row.answer;
            b.path.OnFirmwareUpdate();
            QCOMPARE(b.dialogs.shown, row.shown);
            QCOMPARE(b.host.endedWith, row.ended);
            QCOMPARE(b.changes(), row.ended < 0 ? 0 : 1);
            QVERIFY(b.tower().outputLog().empty());
            QVERIFY(b.link.IsOpen());
            QCOMPARE(b.state.segmentAddress[0], uint8_t{8});
        }
    }

    void missingFileMessageAndAFolderInItsPlace()
    {
        firmware_.reset();
        const QString file = QString::fromStdString(ExeRelativePath(kFirmwareFileRelativePath));
        QDir().mkpath(file);  // a folder of that name is no firmware file
        Bench b;
        b.path.OnFirmwareUpdate();
        QDir().rmdir(file);
        QDir().rmdir(QFileInfo(file).path());
        QCOMPARE(b.dialogs.error, std::string("Firmware Update Error|Firmware file not found.\n"
                                              "Please do a re-install of Kestrivane."));
    }

    void endsWithoutTheLinkLeaveOnlyExit()
    {
        // Given up after a failure; Escape after a run; updated, but the
        // tower does not come back.
        const struct {
            int progress;
            bool unplug;
            const char* lastDialog;
            const char* message;
        } rows[] = {
            {3, false, "failed", ""},
            {2, false, "progress", ""},
            {1, true, "progress", "Warning: Unable to open device."},
        };
        for (const auto& row : rows) {
            Bench b;
            b.dialogs.progressAnswer = row.progress;
            b.dialogs.duringProgress = [&] {
                b.link.Close();
                if (row.unplug)
                    b.tower().Unplug();
            };
            b.path.OnFirmwareUpdate();
            QCOMPARE(b.dialogs.shown.back(), std::string(row.lastDialog));
            QVERIFY(!b.link.IsOpen());
            QVERIFY(!b.session.tickRunning() && !b.shown().sendEnabled && !b.shown().openCloseEnabled &&
                    b.shown().exitEnabled);
            QCOMPARE(b.shown().messageLine, std::string(row.message));
            QCOMPARE(b.state.suspendRead, uint8_t{0});
            QCOMPARE(b.state.firmwareUpdated, uint8_t{0});
        }
    }

    void demoFirmwareFillsTheApplicationAreaAndCarriesTheVersion()
    {
        test::FileBesideProgram file("demo_check.hex", test::FirmwareHexOfVersion(ProgramVersion));
        intel_buffer_out image;
        QCOMPARE(intel_init_buffer_out(&image, sim::kFlashSize, sim::kFlashPageSize), 0);
        QCOMPARE(intel_hex_to_buffer(file.path().c_str(), &image, 1), 0);
        std::vector<uint8_t> bytes(sim::kFlashSize, 0xFF);
        for (uint32_t a = 0; a < sim::kFlashSize; ++a) {
            QCOMPARE(intel_cell_has_data(image.cells[a]), a <= sim::kApplicationEnd);
            bytes[a] = static_cast<uint8_t>(image.cells[a]);
        }
        QCOMPARE(sim::FirmwareVersionOf(bytes.data(), bytes.size()), ProgramVersion);
    }

    void releaseNotesCrossReferencePointsAtEachObject()
    {
        const std::string pdf = demo::ReleaseNotesPdf("Notes (2.8)", {"a \\ b", "caf\xC3\xA9"});
        const size_t xref = std::stoul(pdf.substr(pdf.rfind("startxref\n") + 10));
        QCOMPARE(pdf.substr(xref, 9), std::string("xref\n0 7\n"));
        for (int n = 1; n <= 6; ++n) {
            const size_t offset = std::stoul(pdf.substr(xref + 9 + size_t(n) * 20, 10));
            QCOMPARE(pdf.substr(offset, 8), std::to_string(n) + " 0 obj\n");
        }
        const size_t lengthAt = pdf.find("/Length ") + 8;
        const size_t streamAt = pdf.find("stream\n", lengthAt) + 7;
        QCOMPARE(pdf.substr(streamAt + std::stoul(pdf.substr(lengthAt)), 9), std::string("endstream"));
        QVERIFY(pdf.find("(Notes \\(2.8\\)) Tj") != std::string::npos);
        QVERIFY(pdf.find("(a \\\\ b) Tj") != std::string::npos);
        QVERIFY(pdf.find("(caf?" "?) Tj") != std::string::npos);
    }
};

QTEST_GUILESS_MAIN(DecisionLogicTest)
#include "decision_logic_test.moc"
