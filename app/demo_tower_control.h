// DemoTowerControl: what the demo's "Virtual Tower" window does to the
// virtual tower, so that unplugging, a missing segment, Change Address, the
// firmware check and the update offer can be tried without hardware.
//
// It works on the tower's first Base Controller; with none on the list it
// does nothing. No Qt here.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "sim/virtual_tower.h"

namespace kv::sim {

// Positions 0..4 are the colour segments from the bottom, 5 the sound one.
constexpr int kDemoPositions = 6;

class DemoTowerControl {
public:
    explicit DemoTowerControl(VirtualTower& tower = TheVirtualTower());

    bool hasController() const;
    // The Base Controller's USB plug.
    bool pluggedIn() const;
    void SetPluggedIn(bool in);

    // A segment on the tower, or taken off. Put back, it has the address it
    // had when it was taken off (the position's own address when it never
    // had a segment).
    bool SegmentOn(int position) const;
    void SetSegmentOn(int position, bool on);
    // The address at the position now, or the one it will have back.
    uint8_t SegmentAddress(int position) const;

    // The Base Controller's firmware version, shown as "2.8".
    std::string FirmwareText() const;
    // Takes "2.5" (one digit after the point, 0.1 .. 25.5); false for
    // anything else, which changes nothing.
    bool SetFirmwareText(const std::string& text);

private:
    VirtualBaseController* Controller() const;
    static bool Valid(int position) { return position >= 0 && position < kDemoPositions; }

    VirtualTower& tower_;
    // The address each position had when its segment was last taken off.
    std::array<uint8_t, kDemoPositions> takenOff_{};
};

}  // namespace kv::sim
