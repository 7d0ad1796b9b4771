#include "service/tower_host.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "device/device_state.h"
#include "device/hid_link.h"
#include "device/pattern_tables.h"
#include "device/version.h"
#include "platform/clock.h"
#include "session/session_host.h"
#include "session/tower_names.h"
#include "session/tower_report.h"
#include "session/tower_session.h"
#include "sync/poll_cycle.h"
#include "sync/send_path.h"
#include "tools/switching_threshold_logic.h"
#include "update/firmware_update_path.h"
#include "update/update_dialogs.h"
#include "update/update_outcome.h"
#include "update/update_run.h"

namespace kv::service {

namespace {

static_assert(kRowCount == kRows && kSoundRowIndex == kSoundRow);

// The pattern tables as shipped, filled once and only read after.
const PatternTables& Shipped()
{
    static const PatternTables tables = [] {
        PatternTables t;
        FillShippedPatterns(t);
        return t;
    }();
    return tables;
}

size_t Index(int row)
{
    return static_cast<size_t>(row);
}

}  // namespace

std::vector<AttachedTower> ListAttachedTowers()
{
    std::vector<AttachedTower> towers;
    for (const BaseControllerEntry& e : ListBaseControllers())
        towers.push_back({e.path, e.serialNumber});
    return towers;
}

std::vector<std::string> ListBootloaderPaths()
{
    std::vector<std::string> found;
    for (const BootloaderEntry& b : ListBootloaders())
        found.push_back(b.path);
    return found;
}

nlohmann::json DeviceListJson(const std::vector<ListedTower>& towers,
                              const std::vector<std::string>& bootloaders)
{
    std::vector<ListedDevice> devices;
    for (const ListedTower& t : towers) {
        ListedDevice d;
        d.path = t.path;
        d.serialNumber = t.serialNumber;
        d.firmware = t.firmware;
        d.accessible = t.accessible;
        d.heldBy = t.heldBy;
        devices.push_back(d);
    }
    for (const std::string& b : bootloaders) {
        ListedDevice d;
        d.bootloader = true;
        d.path = b;
        devices.push_back(d);
    }
    return ListJson(devices);
}

int ResolveRow(const std::string& text, const RowBytes& addresses)
{
    DeviceState s;
    s.segmentAddress = addresses;
    return ResolveSegment(text, s);
}

bool RowPresent(int row, const RowBytes& addresses)
{
    if (row < 0 || row >= kRows)
        return false;
    const uint8_t address = addresses[Index(row)];
    return row == kSoundRow ? address == kSoundAddress : address != 0;
}

int ResolvePatternCode(const std::string& text, int row)
{
    return ResolvePattern(text, row, Shipped());
}

int SliderPositionFor(int row, uint8_t code, int percent)
{
    return SliderPositionForPercent(row, code, percent, Shipped());
}

nlohmann::json PatternNamesJson()
{
    return PatternsJson(Shipped());
}

namespace {

// As the tool's voltage text shows the raw value.
double ShownVolts(int raw)
{
    return std::stod(FormatThreshold(raw));
}

}  // namespace

double ThresholdMinVolts()
{
    return ShownVolts(kThresholdMin);
}

double ThresholdMaxVolts()
{
    return ShownVolts(kThresholdMax);
}

int ThresholdRawFor(double volts)
{
    if (!(volts >= ThresholdMinVolts() && volts <= ThresholdMaxVolts()))
        return -1;
    // The shown values lie within half a raw step of their raw value, so
    // each comes back to it.
    return std::clamp(static_cast<int>(std::lround(volts / ThresholdVolts(1))), kThresholdMin, kThresholdMax);
}

bool ThresholdRawOffered(int raw)
{
    return raw >= kThresholdMin && raw <= kThresholdMax;
}

const char* ThresholdFailedText()
{
    return kThresholdFailed;
}

std::string VersionText(int version)
{
    return version < 0 ? std::string() : FormatVersion(static_cast<uint8_t>(version));
}

int ProgramFirmwareVersion()
{
    return ProgramVersion;
}

// ---- TowerHost ----------------------------------------------------------------

namespace {

// The session's host: the tick is the service's loop. The version check's
// update is declined (as the window does when its user says no) unless a
// client started one.
class ServiceSessionHost : public SessionHost {
public:
    std::function<void()> update;
    bool RunFirmwareUpdate() override
    {
        if (!update)
            return false;
        update();
        return true;
    }
};

// The update path's dialogs with nobody to ask: the update is wanted (a
// client asked for it), progress goes to the service's events, a failure is
// not tried again.
class ServiceUpdateDialogs : public UpdateDialogs {
public:
    explicit ServiceUpdateDialogs(const UpdateProgressFn& progress) : progress_(progress) {}

    void ShowError(const std::string& text, const std::string&) override { report.error = text; }
    int RunVersionDialog(const VersionDialogContent&) override { return kVersionDialogOk; }
    int RunProgress(const UpdateAttempt& attempt) override
    {
        report.ran = true;
        report.result = attempt.Run(&Hook, this);
        report.outcome = UpdateOutcomeText(report.step, report.result);
        return report.result == UPDATE_SUCCESS ? kProgressUpdated : kProgressFailed;
    }
    int RunFailed() override { return kFailedGiveUp; }
    void RunSuccess() override {}

    UpdateReport report;

private:
    static void Hook(void* context, int step, int /*inStep*/, int percent)
    {
        auto& self = *static_cast<ServiceUpdateDialogs*>(context);
        self.report.step = step;
        const char* text = update_step_text(step);
        if (self.progress_ && text != nullptr)
            self.progress_(step, text, percent);
    }

    const UpdateProgressFn& progress_;
};

}  // namespace

struct TowerHost::Held {
    DeviceState state;
    HidLink link{state};
    PatternTables patterns;
    ServiceSessionHost host;
    TowerSession session{state, link, patterns, host};
    // The switching threshold tool's working state, this tower's own, and
    // when its timer runs next.
    SwitchingThresholdState threshold;
    uint64_t thresholdTickAtMs = 0;
};

TowerHost::TowerHost(const std::string& path) : held_(std::make_unique<Held>())
{
    held_->link.SetDevicePath(path);
}

TowerHost::~TowerHost()
{
    Close();
}

bool TowerHost::Open()
{
    return held_->session.Open();
}
void TowerHost::Close()
{
    held_->session.Close();
}
bool TowerHost::IsOpen() const
{
    return held_->session.IsOpen();
}
std::string TowerHost::heldBy() const
{
    return held_->link.heldBy();
}
bool TowerHost::ended() const
{
    return held_->session.ended();
}
bool TowerHost::firmwareDiffers() const
{
    return held_->session.firmwareDeclined();
}
bool TowerHost::complete() const
{
    return held_->session.complete();
}

void TowerHost::Tick()
{
    held_->session.Tick();
}

nlohmann::json TowerHost::Status() const
{
    return StatusJson(held_->session);
}

RowBytes TowerHost::addresses() const
{
    return held_->state.segmentAddress;
}
RowBytes TowerHost::patternCodes() const
{
    return held_->state.patternCode;
}
uint16_t TowerHost::level(int row) const
{
    return held_->state.level[Index(row)];
}
bool TowerHost::on(int row) const
{
    return OnStateOfRow(held_->state, row) != 0;
}

int TowerHost::firmware() const
{
    const uint8_t v = held_->state.firmwareVersion[kBaseControllerSlot];
    return v != 0 ? v : -1;
}

bool TowerHost::SendPattern(int row, uint8_t code, int position, uint16_t& level)
{
    TowerSession& s = held_->session;
    s.SelectPattern(row, code);
    if (position >= 0)
        s.MoveSlider(row, position);
    // What the tower must report back: the code and the level composed.
    level = s.ComposedLevel(row);
    // A row already in place sends nothing, which is no failure.
    return s.Send() != SendOutcome::Failed;
}

UpdateReport TowerHost::RunUpdate(const std::string& hexPath, const UpdateProgressFn& progress)
{
    Held& h = *held_;
    ServiceUpdateDialogs dialogs(progress);
    FirmwareUpdatePath path(h.session, dialogs);
    if (!hexPath.empty())
        path.SetFirmwarePath(hexPath);
    h.host.update = [&path] { path.OnFirmwareUpdate(); };
    h.session.OnFirmwareUpdate();
    h.host.update = {};
    dialogs.report.succeeded =
        dialogs.report.ran && dialogs.report.result == UPDATE_SUCCESS && h.session.IsOpen();
    return dialogs.report;
}

int TowerHost::sliderPosition(int row) const
{
    return held_->session.model().output[Index(row)].sliderPos;
}
void TowerHost::PressSwitch(int row)
{
    held_->session.PressSwitch(row);
}
int TowerHost::panelRefreshes() const
{
    return held_->session.panelRefreshes();
}
bool TowerHost::lastWriteFailed() const
{
    return held_->state.lastWriteFailed != 0;
}

ThresholdStep TowerHost::SendThreshold(uint8_t raw)
{
    Held& h = *held_;
    const std::optional<uint8_t> reported = h.session.SwitchingThreshold();
    if (!reported)
        return ThresholdStep::NotReported;
    SwitchingThresholdState& t = h.threshold;
    // What the tool's timer would have taken over while it was open.
    t.lastSeenThreshold = *reported;
    ThresholdPreset(t, raw);
    if (!t.sendEnabled)
        return ThresholdStep::Confirmed;
    int written = 1;
    const ToolIo io{
        [&](const uint8_t* buffer, size_t length) { return written = h.link.WriteReport(buffer, length); },
        {}};
    StartThresholdSend(t, h.state, io);
    if (written != 0) {
        t.confirmPending = 0;
        return ThresholdStep::WriteFailed;
    }
    // The dialog's first tick comes after its blocking wait; here the poll
    // ticks go on through it.
    h.thresholdTickAtMs = NowMs() + kThresholdSendWaitMs;
    return ThresholdStep::Pending;
}

ThresholdStep TowerHost::ThresholdTick()
{
    Held& h = *held_;
    SwitchingThresholdState& t = h.threshold;
    if (NowMs() < h.thresholdTickAtMs)
        return ThresholdStep::Pending;
    h.thresholdTickAtMs += kThresholdTickMs;
    SwitchingThresholdTick(t, h.state);
    if (t.confirmPending != 0)
        return ThresholdStep::Pending;
    // The tool ends a send by taking the reported value over: the one sent
    // on success, another one on failure.
    return t.lastSeenThreshold == t.selectedThreshold ? ThresholdStep::Confirmed : ThresholdStep::Failed;
}

}  // namespace kv::service
