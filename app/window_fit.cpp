#include "app/window_fit.h"

#include <algorithm>

namespace kv {

ClientView FitClient(Extent client, Extent room, int bar)
{
    ClientView v;
    // A bar along one side takes room from the other, and can make that one
    // scroll too.
    v.horizontalBar = client.width > room.width;
    v.verticalBar = client.height + (v.horizontalBar ? bar : 0) > room.height;
    if (v.verticalBar && !v.horizontalBar)
        v.horizontalBar = client.width + bar > room.width;
    const int least = bar + 1;
    v.size.width = std::max(least, std::min(room.width, client.width + (v.verticalBar ? bar : 0)));
    v.size.height =
        std::max(least, std::min(room.height, client.height + (v.horizontalBar ? bar : 0)));
    return v;
}

}  // namespace kv
