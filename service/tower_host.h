// TowerHost: one Base Controller held by the service, and everything the
// service asks of the core. This file and tower_host.cpp are the service's
// only way into a TowerSession; the rest of the service deals in plain
// values and JSON.
//
// A TowerHost lives on the poll thread and is never touched from another.
// The free functions below are pure: they read only their arguments and the
// shipped pattern tables, so the HTTP threads may call them to check a
// request against a snapshot before anything is queued.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kv::service {

constexpr int kRowCount = 6;  // colour rows 0..4, the sound row 5
constexpr int kSoundRowIndex = 5;
// Period of the poll tick, the window's timer.
constexpr uint32_t kPollTickMs = 30;

using RowBytes = std::array<uint8_t, kRowCount>;

// A Base Controller on the HID list.
struct AttachedTower {
    std::string path;
    std::string serialNumber;  // empty: it has none
};
std::vector<AttachedTower> ListAttachedTowers();
// Boot loaders (03EB:2FF4) on the USB list, as usb:BUS:ADDRESS.
std::vector<std::string> ListBootloaderPaths();

// One entry of the device list as `kestrivane-cli list --json` gives it.
struct ListedTower {
    std::string path;
    std::string serialNumber;
    int firmware = -1;  // version byte, -1 unknown
    bool accessible = true;
    std::string heldBy;  // the program holding it, if another holds it
};
nlohmann::json DeviceListJson(const std::vector<ListedTower>& towers,
                              const std::vector<std::string>& bootloaders);

// The row a segment name gives ("1".."5", "sound", "Red 1", ...) for a tower
// with these segment addresses; -1 when none.
int ResolveRow(const std::string& text, const RowBytes& addresses);
// Whether the tower has a segment at the row.
bool RowPresent(int row, const RowBytes& addresses);
// The pattern code a name gives for the row; -1 when the row has no such
// pattern.
int ResolvePatternCode(const std::string& text, int row);
// The slider position whose box first shows `percent` for pattern `code`;
// -1 when the scale does not reach it.
int SliderPositionFor(int row, uint8_t code, int percent);
// The pattern names each row accepts, as `kestrivane-cli patterns --json`.
nlohmann::json PatternNamesJson();
// The switching threshold the tool offers, in volts as it shows them
// (2.2 and 23.9).
double ThresholdMinVolts();
double ThresholdMaxVolts();
// The tool's raw threshold nearest `volts`; -1 unless `volts` lies within
// the range offered (NaN does not).
int ThresholdRawFor(double volts);
// Whether the tool offers the raw value (kThresholdMin..kThresholdMax).
bool ThresholdRawOffered(int raw);
// The tool's text for a threshold the tower did not take.
const char* ThresholdFailedText();
// "2.8" for version byte 28.
std::string VersionText(int version);
// The version this program works with.
int ProgramFirmwareVersion();

// How a firmware update the service ran ended.
struct UpdateReport {
    bool ran = false;        // the run started (the file was there)
    bool succeeded = false;  // flashed, and the link open again
    int step = -1;           // the last step the run reached
    int result = -1;         // UPDATE_SUCCESS or the failure code
    std::string outcome;     // the success text, or [step.result]
    std::string error;       // why it did not run (the file is missing)
};
// How a threshold the switching threshold tool sends is doing.
enum class ThresholdStep {
    Pending,      // not confirmed yet
    Confirmed,    // the tower reports the value sent (or already did: nothing was sent)
    Failed,       // the tool's "Transmission failed!"
    WriteFailed,  // the report could not be written
    NotReported,  // the tower has reported no threshold since the link opened
};

// Progress of a run: the step (0..UPDATE_STEP_COUNT-1), its text, percent.
using UpdateProgressFn = std::function<void(int step, const std::string& text, int percent)>;

class TowerHost {
public:
    explicit TowerHost(const std::string& path);
    ~TowerHost();
    TowerHost(const TowerHost&) = delete;
    TowerHost& operator=(const TowerHost&) = delete;

    // "Open"; false when the tower could not be opened.
    bool Open();
    // "Close" when open: a connection report to every segment, host report 0.
    void Close();
    bool IsOpen() const;
    // The program holding the tower when the last Open passed it over.
    std::string heldBy() const;
    // The session ended itself (its firmware check found another version,
    // which the service never updates by itself).
    bool ended() const;
    bool firmwareDiffers() const;
    // A complete state has been carried into the panels since the open.
    bool complete() const;

    // One poll tick, when the poll timer runs.
    void Tick();

    // The whole tower, as `status --json`.
    nlohmann::json Status() const;
    RowBytes addresses() const;
    RowBytes patternCodes() const;
    uint16_t level(int row) const;
    bool on(int row) const;
    int firmware() const;  // -1 until reported

    // The window's handlers for a row: select the pattern, move the slider
    // (position < 0: leave it), Send. `level` is what the tower must report
    // back. False when the write failed.
    bool SendPattern(int row, uint8_t code, int position, uint16_t& level);
    int sliderPosition(int row) const;
    // The row's on/off button; the next tick sends the state reports.
    void PressSwitch(int row);
    // The firmware update path of every front end with the firmware file at
    // `hexPath` (empty: the one installed beside the program), with no
    // questions asked and no second attempt. Returns when it is done; the
    // link is open again (and coming in step) after a success.
    UpdateReport RunUpdate(const std::string& hexPath, const UpdateProgressFn& progress);
    // Times the input panel was redrawn (state reports sent).
    int panelRefreshes() const;
    bool lastWriteFailed() const;
    // The switching threshold tool's "Send" of `raw` (a value
    // ThresholdRawFor gives), without blocking: Pending once the report is
    // written; nothing is sent when the tower reports that value already
    // (the tool's "Send" is disabled then).
    ThresholdStep SendThreshold(uint8_t raw);
    // On every poll tick while a send is pending: the tool's 1000 ms timer,
    // from the end of the tool's wait after "Send" on, decides from the
    // reported values.
    ThresholdStep ThresholdTick();

private:
    struct Held;
    std::unique_ptr<Held> held_;
};

}  // namespace kv::service
