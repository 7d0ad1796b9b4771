#include "session/tower_finder.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace kv {
namespace {

// A bus the test sets up: each look sees it as it stands.
struct FakeBus {
    BusDevices now;
    TowerFinder finder{[this] { return now; }};

    void Towers(std::vector<BaseControllerEntry> towers) { now.baseControllers = std::move(towers); }
    void Loaders(std::vector<std::string> paths)
    {
        now.bootloaders.clear();
        for (std::string& p : paths)
            now.bootloaders.push_back(BootloaderEntry{1, 7, std::move(p)});
    }
};

const BaseControllerEntry kA{"/dev/hidraw3", "", ""};
const BaseControllerEntry kB{"/dev/hidraw5", "NL0042", ""};

TEST(TowerFinderTest, HintAfterAFailedOpenSaysWhatToCheck)
{
    struct Case {
        std::vector<BaseControllerEntry> towers;
        std::vector<std::string> loaders;
        const char* hint;
    };
    const Case cases[] = {
        {{}, {}, kNoTowerHint},
        {{kA}, {}, kNotOpenableHint},
        {{}, {"usb:001:007"}, kBootloaderHint},
        // A tower that is there but cannot be opened comes first.
        {{kA}, {"usb:001:007"}, kNotOpenableHint},
    };
    for (const Case& c : cases) {
        FakeBus bus;
        bus.Towers(c.towers);
        bus.Loaders(c.loaders);
        EXPECT_EQ(bus.finder.HintAfterFailedOpen(), c.hint);
    }
    EXPECT_EQ(std::string(kBootloaderHint),
              "A Base Controller waits in its boot loader (USB 03EB:2FF4): "
              "Service > Firmware Update Nelo repairs it.");
}

TEST(TowerFinderTest, SeveralTowersAreChosenByLabelAndOneOpensAsBefore)
{
    FakeBus bus;
    bus.Towers({kA});
    ASSERT_EQ(bus.finder.LookBeforeOpen().size(), 1u);
    EXPECT_EQ(bus.finder.PathFor(0), "");  // the first found, as always

    // A connection at the one tower remembers its firmware for the choice.
    bus.finder.Connected("");
    bus.finder.SeenFirmware(0);  // not reported yet
    bus.finder.SeenFirmware(27);
    bus.Towers({kA, kB});
    ASSERT_EQ(bus.finder.LookBeforeOpen().size(), 2u);
    EXPECT_EQ(bus.finder.ChoiceLabels(),
              (std::vector<std::string>{"/dev/hidraw3, firmware 2.7",
                                        "Serial NL0042 (/dev/hidraw5), firmware not known yet"}));
    EXPECT_EQ(bus.finder.PathFor(1), "/dev/hidraw5");
    EXPECT_EQ(bus.finder.PathFor(2), "");
    EXPECT_EQ(bus.finder.PathFor(-1), "");

    // Known by its serial number, wherever it is plugged in next.
    bus.finder.Connected("/dev/hidraw5");
    bus.finder.SeenFirmware(28);
    bus.Towers({kA, BaseControllerEntry{"/dev/hidraw9", "NL0042", ""}});
    bus.finder.LookBeforeOpen();
    EXPECT_EQ(bus.finder.ChoiceLabels()[1], "Serial NL0042 (/dev/hidraw9), firmware 2.8");
}

TEST(TowerFinderTest, WatchNoticesOnlyWhatArrives)
{
    FakeBus bus;
    bus.Loaders({"usb:001:004"});
    bus.finder.StartWatch();
    EXPECT_EQ(bus.finder.Watch(), std::nullopt);  // there already

    bus.Loaders({"usb:001:004", "usb:001:009"});
    EXPECT_EQ(bus.finder.Watch(), (Notice{kBootloaderArrivedText, kBootloaderHint}));
    EXPECT_EQ(bus.finder.Watch(), std::nullopt);  // said once

    // A tower is the news when both come; unplugged and back is news again.
    bus.Towers({kA});
    bus.Loaders({"usb:001:004", "usb:001:009", "usb:001:011"});
    EXPECT_EQ(bus.finder.Watch(), (Notice{kTowerArrivedText, kTowerArrivedHint}));
    bus.Towers({});
    EXPECT_EQ(bus.finder.Watch(), std::nullopt);
    bus.Towers({kA});
    EXPECT_EQ(bus.finder.Watch(), (Notice{kTowerArrivedText, kTowerArrivedHint}));
}

}  // namespace
}  // namespace kv
