#include "session/tower_finder.h"

#include <algorithm>
#include <utility>

#include "device/version.h"

namespace kv {

const char* const kNoTowerHint =
    "No Base Controller found: check that the tower is plugged in and that the udev rule "
    "70-kestrivane.rules is in place (README, \"Device access without root\").";
const char* const kNotOpenableHint =
    "A Base Controller is attached but could not be opened: check that the udev rule "
    "70-kestrivane.rules is in place (README, \"Device access without root\") and that no "
    "other program holds the tower.";
const char* const kBootloaderHint =
    "A Base Controller waits in its boot loader (USB 03EB:2FF4): "
    "Service > Firmware Update Nelo repairs it.";
const char* const kTowerArrivedText = "A Base Controller was plugged in.";
const char* const kTowerArrivedHint = "Press \"Open\" to connect.";
const char* const kBootloaderArrivedText = "A Base Controller in its boot loader was plugged in.";

namespace {

// Who a Base Controller is, across a replug: its serial number, else its path.
std::string KeyOf(const BaseControllerEntry& e)
{
    return e.serialNumber.empty() ? e.path : e.serialNumber;
}

template <typename Entry>
bool Known(const std::vector<Entry>& list, const std::string& path)
{
    return std::any_of(list.begin(), list.end(), [&](const Entry& e) { return e.path == path; });
}

}  // namespace

BusDevices ListBus()
{
    return BusDevices{ListBaseControllers(), ListBootloaders()};
}

TowerFinder::TowerFinder(Lister lister) : lister_(std::move(lister)) {}

const std::vector<BaseControllerEntry>& TowerFinder::LookBeforeOpen()
{
    looked_ = lister_().baseControllers;
    return looked_;
}

std::vector<std::string> TowerFinder::ChoiceLabels() const
{
    std::vector<std::string> labels;
    for (const BaseControllerEntry& e : looked_) {
        std::string label =
            e.serialNumber.empty() ? e.path : "Serial " + e.serialNumber + " (" + e.path + ")";
        const auto seen = firmware_.find(KeyOf(e));
        label += seen != firmware_.end() ? ", firmware " + FormatVersion(seen->second)
                                         : ", firmware not known yet";
        labels.push_back(std::move(label));
    }
    return labels;
}

std::string TowerFinder::PathFor(int chosen) const
{
    if (looked_.size() < 2 || chosen < 0 || static_cast<size_t>(chosen) >= looked_.size())
        return std::string();
    return looked_[static_cast<size_t>(chosen)].path;
}

std::string TowerFinder::HintAfterFailedOpen()
{
    const BusDevices bus = lister_();
    if (!bus.baseControllers.empty())
        return kNotOpenableHint;
    if (!bus.bootloaders.empty())
        return kBootloaderHint;
    return kNoTowerHint;
}

void TowerFinder::Connected(const std::string& path)
{
    connectedPath_.clear();
    for (const BaseControllerEntry& e : looked_) {
        if (path.empty() ? &e == &looked_.front() : e.path == path) {
            connectedPath_ = KeyOf(e);
            break;
        }
    }
}

void TowerFinder::SeenFirmware(uint8_t version)
{
    if (version != 0 && !connectedPath_.empty())
        firmware_[connectedPath_] = version;
}

void TowerFinder::StartWatch()
{
    known_ = lister_();
}

std::optional<Notice> TowerFinder::Watch()
{
    BusDevices now = lister_();
    std::optional<Notice> notice;
    const bool towerCame =
        std::any_of(now.baseControllers.begin(), now.baseControllers.end(),
                    [&](const BaseControllerEntry& e) { return !Known(known_.baseControllers, e.path); });
    const bool loaderCame =
        std::any_of(now.bootloaders.begin(), now.bootloaders.end(),
                    [&](const BootloaderEntry& e) { return !Known(known_.bootloaders, e.path); });
    if (towerCame)
        notice = Notice{kTowerArrivedText, kTowerArrivedHint};
    else if (loaderCame && now.baseControllers.empty())
        notice = Notice{kBootloaderArrivedText, kBootloaderHint};
    known_ = std::move(now);
    return notice;
}

}  // namespace kv
