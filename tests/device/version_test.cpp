#include <gtest/gtest.h>

#include <string>

#include "device/version.h"

namespace kv {
namespace {

TEST(Version, EveryByteReadsBackAsItsValue)
{
    const std::pair<int, const char*> cases[] = {
        {0, "0.0"}, {7, "0.7"}, {28, "2.8"}, {100, "10.0"}, {255, "25.5"}};
    for (auto [v, text] : cases)
        EXPECT_EQ(FormatVersion(static_cast<uint8_t>(v)), text) << v;
    EXPECT_EQ(FormatVersion(ProgramVersion), kProgramVersionText);

    for (int v = 0; v < 256; ++v) {
        const std::string text = FormatVersion(static_cast<uint8_t>(v));
        const std::size_t point = text.find('.');
        ASSERT_EQ(point, text.size() - 2) << text;
        ASSERT_EQ(text.find_first_not_of("0123456789."), std::string::npos) << text;
        ASSERT_TRUE(point == 1 || text[0] != '0') << text;  // no leading zero
        ASSERT_EQ(std::stoi(text.substr(0, point)) * 10 + (text.back() - '0'), v) << text;
    }
}

}  // namespace
}  // namespace kv
