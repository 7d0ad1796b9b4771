#include "sim/virtual_tower.h"

#include <cstdlib>
#include <utility>

namespace kv::sim {

void VirtualTower::Clear()
{
    for (HidEntry& e : hid_) {
        if (e.controller && e.controller->pluggedIn())
            e.controller->Unplug();
    }
    hid_.clear();
    // Handles that are still open keep their (now unplugged) devices alive
    // and stay known, so closing them later is not a misuse.
    const std::set<const void*> live = std::move(hidApi_.liveHandles);
    hidApi_ = HidApiUse{};
    hidApi_.liveHandles = live;
    nextPath_ = 0;
}

void VirtualTower::Reset()
{
    Clear();
    AddBaseController(BaseControllerConfig{});
}

std::string VirtualTower::NextPath()
{
    return "/dev/hidraw-virtual" + std::to_string(nextPath_++);
}

VirtualBaseController& VirtualTower::AddBaseController(BaseControllerConfig config, bool canBeOpened)
{
    HidEntry e;
    e.vendorId = kVirtualVendorId;
    e.productId = kVirtualProductId;
    e.path = NextPath();
    e.canBeOpened = canBeOpened;
    e.controller = std::make_shared<VirtualBaseController>(std::move(config));
    hid_.push_back(e);
    return *hid_.back().controller;
}

std::string VirtualTower::AddOtherHidDevice(uint16_t vendorId, uint16_t productId, bool canBeOpened)
{
    HidEntry e;
    e.vendorId = vendorId;
    e.productId = productId;
    e.path = NextPath();
    e.canBeOpened = canBeOpened;
    hid_.push_back(e);
    return hid_.back().path;
}

VirtualBaseController& VirtualTower::baseController(size_t i)
{
    size_t n = 0;
    for (HidEntry& e : hid_) {
        if (!e.controller)
            continue;
        if (n == i)
            return *e.controller;
        ++n;
    }
    // Asking for a controller that was never added is a broken test.
    std::abort();
}

size_t VirtualTower::baseControllerCount() const
{
    size_t n = 0;
    for (const HidEntry& e : hid_)
        if (e.controller)
            ++n;
    return n;
}

HidEntry* VirtualTower::FindHidDevice(const std::string& path)
{
    for (HidEntry& e : hid_)
        if (e.path == path)
            return &e;
    return nullptr;
}

VirtualTower& TheVirtualTower()
{
    static VirtualTower* tower = new VirtualTower();
    return *tower;
}

}  // namespace kv::sim
