#include "app/window_fit.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

TEST(WindowFitTest, ClientScrollsAlongEachSideThatDoesNotFit)
{
    struct Case {
        Extent client;
        Extent room;
        ClientView view;
    };
    const int bar = 16;
    const Case cases[] = {
        // Fits: the client as it is.
        {{900, 600}, {1920, 1100}, {{900, 600}, false, false}},
        {{900, 600}, {900, 600}, {{900, 600}, false, false}},
        // Too wide: a bar below, which can push the height over too.
        {{900, 600}, {800, 700}, {{800, 616}, true, false}},
        {{900, 600}, {800, 610}, {{800, 610}, true, true}},
        // Too high: a bar beside, which can push the width over too.
        {{900, 600}, {1000, 500}, {{916, 500}, false, true}},
        {{900, 600}, {910, 500}, {{910, 500}, true, true}},
        // Both, and a room smaller than the bars.
        {{900, 600}, {800, 560}, {{800, 560}, true, true}},
        {{900, 600}, {-40, 5}, {{17, 17}, true, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.room.width << "x" << c.room.height);
        EXPECT_EQ(FitClient(c.client, c.room, bar), c.view);
    }
}

}  // namespace
}  // namespace kv
