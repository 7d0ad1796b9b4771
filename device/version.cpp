#include "device/version.h"

namespace kv {

std::string FormatVersion(uint8_t v)
{
    std::string text = std::to_string(v / 10);
    text += '.';
    text += static_cast<char>('0' + v % 10);
    return text;
}

}  // namespace kv
