#include "tools/tool_common_logic.h"

namespace kv {

uint8_t AddressFor(int c, int n)
{
    if (c < 1 || c > 6 || n < 1 || n > 5)
        return 0;
    return static_cast<uint8_t>(8 + 5 * (c - 1) + (n - 1));
}

}  // namespace kv
