#include "app/help/info_values.h"

#include "device/version.h"

namespace kv {
namespace {

const char* const kNotAvailable = "n/a";

}  // namespace

InfoValues CollectInfoValues(const DeviceState& s)
{
    InfoValues v;
    v.firmware.fill(kNotAvailable);
    v.hardware.fill(kNotAvailable);
    v.baseFirmware = kNotAvailable;
    v.programVersion = kProgramVersionText;
    if (s.lastLinkResult == 0)
        return v;

    for (int row = 0; row < kRows; ++row) {
        const auto r = static_cast<size_t>(row);
        if (s.segmentFound[r] != 1)
            continue;
        // The sound segment's versions sit behind the Base Controller's.
        const size_t slot = row == kSoundRow ? kSoundSegmentSlot : r;
        v.firmware[r] = std::to_string(s.firmwareVersion[slot]);
        v.hardware[r] = FormatVersion(s.hardwareVersion[slot]);
    }
    v.baseFirmware = FormatVersion(s.firmwareVersion[kBaseControllerSlot]);
    return v;
}

}  // namespace kv
