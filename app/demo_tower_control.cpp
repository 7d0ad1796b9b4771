#include "app/demo_tower_control.h"

#include <cctype>

#include "device/version.h"

namespace kv::sim {

namespace {
constexpr size_t kControllerSlot = 5;  // the Base Controller's version slot
}

DemoTowerControl::DemoTowerControl(VirtualTower& tower) : tower_(tower) {}

VirtualBaseController* DemoTowerControl::Controller() const
{
    return tower_.baseControllerCount() > 0 ? &tower_.baseController(0) : nullptr;
}

bool DemoTowerControl::hasController() const { return Controller() != nullptr; }

bool DemoTowerControl::pluggedIn() const
{
    const VirtualBaseController* c = Controller();
    return c != nullptr && c->pluggedIn();
}

void DemoTowerControl::SetPluggedIn(bool in)
{
    VirtualBaseController* c = Controller();
    if (c == nullptr || c->pluggedIn() == in || c->inBootloader())
        return;
    if (in)
        c->PlugIn();
    else
        c->Unplug();
}

bool DemoTowerControl::SegmentOn(int position) const
{
    const VirtualBaseController* c = Controller();
    return Valid(position) && c != nullptr &&
           c->config().segmentAddress[static_cast<size_t>(position)] != 0;
}

uint8_t DemoTowerControl::SegmentAddress(int position) const
{
    const VirtualBaseController* c = Controller();
    if (!Valid(position) || c == nullptr)
        return 0;
    const auto p = static_cast<size_t>(position);
    if (c->config().segmentAddress[p] != 0)
        return c->config().segmentAddress[p];
    // Back with the address it had, or the position's own when it never had one.
    return takenOff_[p] != 0 ? takenOff_[p] : BaseControllerConfig{}.segmentAddress[p];
}

void DemoTowerControl::SetSegmentOn(int position, bool on)
{
    if (!Valid(position) || Controller() == nullptr || SegmentOn(position) == on)
        return;
    const auto p = static_cast<size_t>(position);
    const uint8_t back = SegmentAddress(position);
    uint8_t& address = Controller()->mutableConfig().segmentAddress[p];
    takenOff_[p] = address;
    address = on ? back : 0;
}

std::string DemoTowerControl::FirmwareText() const
{
    const VirtualBaseController* c = Controller();
    return c != nullptr ? FormatVersion(c->config().firmwareVersion[kControllerSlot]) : "";
}

bool DemoTowerControl::SetFirmwareText(const std::string& text)
{
    VirtualBaseController* c = Controller();
    // Digits, a point, one digit: "2.8", "25.5".
    const size_t point = text.find('.');
    if (c == nullptr || point == std::string::npos || point == 0 || point > 2 ||
        text.size() != point + 2)
        return false;
    int value = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (i == point)
            continue;
        if (std::isdigit(static_cast<unsigned char>(text[i])) == 0)
            return false;
        value = value * 10 + (text[i] - '0');
    }
    if (value < 1 || value > 255)
        return false;
    c->mutableConfig().firmwareVersion[kControllerSlot] = static_cast<uint8_t>(value);
    return true;
}

}  // namespace kv::sim
