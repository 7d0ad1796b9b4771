// Opens the Base Controller through the real hidapi, reads a few reports and
// closes it again. Prints what happened; exits 0 either way, since a machine
// without a tower is the normal case in CI.
#include <cstdio>

#include "device/device_state.h"
#include "device/hid_link.h"

int main()
{
    kv::DeviceState state;
    kv::HidLink link(state);
    if (link.Open() == nullptr) {
        std::printf("No Base Controller found (lastLinkResult %d)\n", static_cast<int>(state.lastLinkResult));
        return 0;
    }
    for (int i = 0; i < 8 && state.lastLinkResult != 0; ++i)
        link.ReadReport();
    std::printf("Base Controller opened; last read %s; firmware %u\n",
                state.lastLinkResult != 0 ? "succeeded" : "failed",
                static_cast<unsigned>(state.firmwareVersion[kv::kBaseControllerSlot]));
    link.Close();
    return 0;
}
