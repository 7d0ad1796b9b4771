#include "service/tower_host.h"

#include <cstdio>

#include <libusb.h>

#include "cli/cli_app.h"
#include "cli/tower_report.h"
#include "cli/tower_session.h"
#include "device/device_state.h"
#include "device/hid_link.h"
#include "device/pattern_tables.h"
#include "device/version.h"
#include "sync/poll_cycle.h"
#include "sync/send_path.h"
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

size_t Index(int row) { return static_cast<size_t>(row); }

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
    update_target target;
    if (select_target(UPDATE_PRODUCT_BASE_CONTROLLER, &target) != 0)
        return found;
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0)
        return found;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != 0)
            continue;
        if (d.idVendor != target.dfu_vendor_id || d.idProduct != target.dfu_product_id)
            continue;
        char path[32];
        std::snprintf(path, sizeof path, "usb:%03u:%03u", libusb_get_bus_number(list[i]),
                      libusb_get_device_address(list[i]));
        found.emplace_back(path);
    }
    if (list != nullptr)
        libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    return found;
}

nlohmann::json DeviceListJson(const std::vector<ListedTower>& towers, const std::vector<std::string>& bootloaders)
{
    std::vector<cli::ListedDevice> devices;
    for (const ListedTower& t : towers) {
        cli::ListedDevice d;
        d.path = t.path;
        d.serialNumber = t.serialNumber;
        d.firmware = t.firmware;
        d.accessible = t.accessible;
        devices.push_back(d);
    }
    for (const std::string& b : bootloaders) {
        cli::ListedDevice d;
        d.bootloader = true;
        d.path = b;
        devices.push_back(d);
    }
    return cli::ListJson(devices);
}

int ResolveRow(const std::string& text, const RowBytes& addresses)
{
    DeviceState s;
    s.segmentAddress = addresses;
    return cli::ResolveSegment(text, s);
}

bool RowPresent(int row, const RowBytes& addresses)
{
    if (row < 0 || row >= kRows)
        return false;
    const uint8_t address = addresses[Index(row)];
    return row == kSoundRow ? address == kSoundAddress : address != 0;
}

int ResolvePatternCode(const std::string& text, int row) { return cli::ResolvePattern(text, row, Shipped()); }

int SliderPositionFor(int row, uint8_t code, int percent)
{
    return cli::SliderPositionForPercent(row, code, percent, Shipped());
}

nlohmann::json PatternNamesJson() { return cli::PatternsJson(Shipped()); }

std::string VersionText(int version)
{
    return version < 0 ? std::string() : FormatVersion(static_cast<uint8_t>(version));
}

int ProgramFirmwareVersion() { return ProgramVersion; }

// ---- TowerHost ----------------------------------------------------------------

struct TowerHost::Held {
    DeviceState state;
    HidLink link{state};
    PatternTables patterns;
    cli::TowerSession session{state, link, patterns};
};

TowerHost::TowerHost(const std::string& path) : held_(std::make_unique<Held>())
{
    held_->link.SetDevicePath(path);
    // No handler: the version check declines the update, as the window does
    // when its user says no; a client starts an update.
    held_->session.SetFirmwareUpdateHandler({});
}

TowerHost::~TowerHost() { Close(); }

bool TowerHost::Open() { return held_->session.Open(); }
void TowerHost::Close() { held_->session.Close(); }
bool TowerHost::IsOpen() const { return held_->session.IsOpen(); }
bool TowerHost::ended() const { return held_->session.ended(); }
bool TowerHost::firmwareDiffers() const { return held_->session.firmwareDeclined(); }
bool TowerHost::complete() const { return held_->session.complete(); }

void TowerHost::Tick()
{
    // The poll timer runs exactly while the link is open and the session
    // has not ended; a handler stops it only while it runs.
    cli::TowerSession& s = held_->session;
    if (s.IsOpen() && !s.ended())
        s.pollCycle().Tick();
}

nlohmann::json TowerHost::Status() const
{
    const Held& h = *held_;
    return cli::StatusJson(h.state, h.patterns, h.session.model(), h.state.reportSeen[6] != 0);
}

RowBytes TowerHost::addresses() const { return held_->state.segmentAddress; }
RowBytes TowerHost::patternCodes() const { return held_->state.patternCode; }
uint16_t TowerHost::level(int row) const { return held_->state.level[Index(row)]; }
bool TowerHost::on(int row) const { return OnStateOfRow(held_->state, row) != 0; }

int TowerHost::firmware() const
{
    const uint8_t v = held_->state.firmwareVersion[kBaseControllerSlot];
    return v != 0 ? v : -1;
}

bool TowerHost::SendPattern(int row, uint8_t code, int position, uint16_t& level)
{
    cli::TowerSession& s = held_->session;
    s.SelectPattern(row, code);
    if (position >= 0)
        s.MoveSlider(row, position);
    // What the tower must report back: the code and the level composed.
    const RowCommand& cmd = held_->state.rowCommand[Index(row)];
    level = row == kSoundRow ? cmd.param[2] : static_cast<uint16_t>((cmd.param[2] & 1) * 256 + cmd.param[3]);
    // Only this Send's result counts: an earlier failure may still stand in
    // the message line, and a row already in place sends nothing.
    s.SetMessageLine(kBlankMessage);
    s.Send();
    return s.model().messageLine != kSendFailedText;
}

int TowerHost::sliderPosition(int row) const { return held_->session.model().output[Index(row)].sliderPos; }
void TowerHost::PressSwitch(int row) { held_->session.PressSwitch(row); }
int TowerHost::panelRefreshes() const { return held_->session.panelRefreshes(); }
bool TowerHost::lastWriteFailed() const { return held_->state.lastWriteFailed != 0; }

}  // namespace kv::service
