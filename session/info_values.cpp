#include "session/info_values.h"

#include "device/version.h"

namespace kv {
namespace {

const char* const kNotAvailable = "n/a";

}  // namespace

ShownVersions CollectShownVersions(const DeviceState& s)
{
    ShownVersions v;
    if (s.lastLinkResult == 0)
        return v;
    for (int row = 0; row < kRows; ++row) {
        const auto r = static_cast<size_t>(row);
        if (s.segmentFound[r] != 1)
            continue;
        // The sound segment's versions sit behind the Base Controller's.
        const size_t slot = row == kSoundRow ? kSoundSegmentSlot : r;
        v.firmware[r] = s.firmwareVersion[slot];
        v.hardware[r] = s.hardwareVersion[slot];
    }
    v.baseFirmware = s.firmwareVersion[kBaseControllerSlot];
    return v;
}

InfoValues CollectInfoValues(const DeviceState& s)
{
    const ShownVersions shown = CollectShownVersions(s);
    InfoValues v;
    for (size_t r = 0; r < v.firmware.size(); ++r) {
        v.firmware[r] = shown.firmware[r] ? std::to_string(*shown.firmware[r]) : kNotAvailable;
        v.hardware[r] = shown.hardware[r] ? FormatVersion(*shown.hardware[r]) : kNotAvailable;
    }
    v.baseFirmware = shown.baseFirmware ? FormatVersion(*shown.baseFirmware) : kNotAvailable;
    v.programVersion = kProgramVersionText;
    return v;
}

}  // namespace kv
