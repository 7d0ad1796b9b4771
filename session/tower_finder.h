// TowerFinder: what the window decides about the bus while it is offline.
//
// Before "Open" it looks which Base Controllers are attached, so that with
// several the user chooses one; after an Open that found no tower it says
// what to check (the tower plugged in, the udev rule, another program holding
// it, or a Base Controller waiting in its boot loader); and while the window
// is offline it notices a Base Controller or a boot loader arriving. It never
// opens a device: the lists are all it reads.
//
// No Qt here. The lists come through a lister, so a test can hand it any bus.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "device/hid_link.h"

namespace kv {

// What is attached: Base Controllers (HID list) and boot loaders (USB list).
struct BusDevices {
    std::vector<BaseControllerEntry> baseControllers;
    std::vector<BootloaderEntry> bootloaders;
};

// Both lists as they are now.
BusDevices ListBus();

// A text for the message line and, below it, what to do about it.
struct Notice {
    std::string line;
    std::string hint;
    bool operator==(const Notice&) const = default;
};

extern const char* const kNoTowerHint;
extern const char* const kNotOpenableHint;
extern const char* const kBootloaderHint;
extern const char* const kTowerArrivedText;
extern const char* const kTowerArrivedHint;
extern const char* const kBootloaderArrivedText;

class TowerFinder {
public:
    using Lister = std::function<BusDevices()>;
    explicit TowerFinder(Lister lister = &ListBus);

    // Before "Open": the Base Controllers attached now, in the order Open
    // meets them. With more than one the user chooses.
    const std::vector<BaseControllerEntry>& LookBeforeOpen();
    // The choice's entries for what LookBeforeOpen found: the serial number
    // (the path when there is none) and the firmware version when a
    // connection of this window has seen it.
    std::vector<std::string> ChoiceLabels() const;
    // The device path Open is to look for: entry `chosen` of the last look,
    // or empty (the first Base Controller, as always) with one or none.
    std::string PathFor(int chosen) const;

    // After an Open that found no tower: the line below the warning.
    std::string HintAfterFailedOpen();

    // A connection came online at `path` (empty: the one Base Controller of
    // the last look) and its Base Controller reports `version` (0: not yet).
    void Connected(const std::string& path);
    void SeenFirmware(uint8_t version);

    // Offline watch: StartWatch takes what is attached now as known; each
    // Watch after it gives a notice when a Base Controller or a boot loader
    // came that was not there at the look before.
    void StartWatch();
    std::optional<Notice> Watch();

private:
    Lister lister_;
    std::vector<BaseControllerEntry> looked_;
    BusDevices known_;
    std::string connectedPath_;
    // Firmware versions seen, by serial number when there is one, else path.
    std::map<std::string, uint8_t> firmware_;
};

}  // namespace kv
