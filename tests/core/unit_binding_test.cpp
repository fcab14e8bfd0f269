// Several units of the device on one PC: once an update has started, its reports go to its own
// unit only. Each case unplugs and plugs units in the middle of an update and checks where the
// stream went, judged by the units themselves.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core/device_link.h"
#include "tests/fakes/fault_rig.h"

namespace lumo {
namespace {

using testing::FaultRig;

constexpr bool kVariant = true;
const UnitIdentity kPort12{"1-2", ""};
const UnitIdentity kPort13{"1-3", ""};
const UnitIdentity kSerialA{"1-2", "A0001"};
const UnitIdentity kSerialB{"1-3", "B0002"};
// Twins: two units that report one fixed serial, as many bootloaders do.
const UnitIdentity kTwinA{"1-2", "M8-BOOT"};
const UnitIdentity kTwinB{"1-3", "M8-BOOT"};

struct Units {
    FaultRig& rig;
    std::size_t ours;
    std::size_t twin;  // another unit of the same product

    void Remove(std::size_t unit) {
        rig.Unplug(unit);
        rig.Notify(kDeviceRemoveComplete);
    }
    void Arrive(std::size_t unit) {
        rig.Plug(unit);
        rig.Notify(kDeviceArrival);
    }
};

struct BindingCase {
    const char* name;
    UnitIdentity ours;
    UnitIdentity twin;
    bool twin_at_start;                // plugged in (after ours) before the tool starts
    std::function<void(Units&)> away;  // at block 300 of the update
    bool waits;                        // the update is suspended 20 ticks later
    std::function<void(Units&)> back;  // then
};

const BindingCase kCases[] = {
    {"ours removed with the other present, back on its port", kPort12, kPort13, true,
     [](Units& u) { u.Remove(u.ours); }, true, [](Units& u) { u.Arrive(u.ours); }},
    {"the other unit removed: the stream stays on ours", kPort12, kPort13, true,
     [](Units& u) { u.Remove(u.twin); }, false, [](Units&) {}},
    {"an unrelated interface removed",
     {},
     {},
     true,
     [](Units& u) {
         u.rig.UnplugUnrelated();
         u.rig.Notify(kDeviceRemoveComplete);
     },
     false,
     [](Units&) {}},
    {"a unit present all along, without identities",
     {},
     {},
     true,
     [](Units& u) { u.Remove(u.ours); },
     true,
     [](Units& u) { u.Arrive(u.ours); }},
    {"a unit plugged in beside ours during the update, without identities",
     {},
     {},
     false,
     [](Units& u) {
         u.Arrive(u.twin);
         u.Remove(u.ours);
     },
     true,
     [](Units& u) { u.Arrive(u.ours); }},
    {"a lone unit replugged into another port", kPort12, kPort13, false,
     [](Units& u) {
         u.Remove(u.ours);
         u.rig.MovePort(u.ours, "1-4");
     },
     true, [](Units& u) { u.Arrive(u.ours); }},
    {"a newcomer with another serial, then ours", kSerialA, kSerialB, false,
     [](Units& u) {
         u.Remove(u.ours);
         u.Arrive(u.twin);
     },
     true, [](Units& u) { u.Arrive(u.ours); }},
    {"ours back with its serial on another port, beside a newcomer", kSerialA, kSerialB, false,
     [](Units& u) {
         u.Remove(u.ours);
         u.Arrive(u.twin);
         u.rig.MovePort(u.ours, "2-1");
     },
     true, [](Units& u) { u.Arrive(u.ours); }},
    {"one newcomer without identity",
     {},
     {},
     false,
     [](Units& u) { u.Remove(u.ours); },
     true,
     [](Units& u) { u.Arrive(u.ours); }},
    {"a twin with our serial present all along, ours back on its port", kTwinA, kTwinB, true,
     [](Units& u) { u.Remove(u.ours); }, true, [](Units& u) { u.Arrive(u.ours); }},
};

TEST(UnitBinding, TheStreamStaysOnItsUnit) {
    for (const BindingCase& c : kCases) {
        SCOPED_TRACE(c.name);
        FaultRig rig;
        Units u{rig, rig.AddDevice(kVariant, c.ours), rig.AddDevice(kVariant, c.twin)};
        rig.PlugUnrelated();
        rig.Plug(u.ours);
        if (c.twin_at_start) rig.Plug(u.twin);
        rig.Start();
        rig.Click();
        while (rig.update().bUpdating && rig.update().nBlockIndex < 300) rig.Tick();

        c.away(u);
        for (int i = 0; i < 20; ++i) rig.Tick();
        EXPECT_EQ(!rig.tool().IsConnected() && rig.tool().IsUpdating(), c.waits);
        c.back(u);
        rig.RunToEnd(3000);

        EXPECT_TRUE(rig.device(u.ours).Delivered()) << rig.Describe();
        EXPECT_EQ(rig.device(u.twin).reports(), 0u) << rig.Describe();
        EXPECT_EQ(rig.view().successes, 1);
        EXPECT_EQ(rig.Finish(), "");
    }
}

// A twin present beside ours all along is never ours, also once ours is gone for good and the
// twin is the only unit with our serial.
TEST(UnitBinding, ATwinPresentAllAlongIsNeverTaken) {
    FaultRig rig;
    Units u{rig, rig.AddDevice(kVariant, kTwinA), rig.AddDevice(kVariant, kTwinB)};
    rig.Plug(u.ours);
    rig.Plug(u.twin);
    rig.Start();
    rig.Click();
    while (rig.update().bUpdating && rig.update().nBlockIndex < 300) rig.Tick();

    u.Remove(u.ours);
    rig.Notify(kDeviceArrival);
    for (int i = 0; i < 50; ++i) rig.Tick();

    EXPECT_TRUE(rig.tool().IsUpdating());
    EXPECT_FALSE(rig.tool().IsConnected());
    EXPECT_EQ(rig.device(u.twin).reports(), 0u) << rig.Describe();
    EXPECT_EQ(rig.view().successes, 0);
}

// Cases where no newcomer can be told to be ours: the update waits, writing to nobody.
TEST(UnitBinding, NoUnitIsTakenWhenNoneIsKnownToBeOurs) {
    struct Case {
        const char* name;
        UnitIdentity ours;
        UnitIdentity twin;
    } const cases[] = {
        {"two newcomers without identity", {}, {}},
        {"two newcomers, ours among them on another port", kPort12, kPort13},
        {"two units with our serial, ours among them on another port", kTwinA, kTwinB},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FaultRig rig;
        Units u{rig, rig.AddDevice(kVariant, c.ours), rig.AddDevice(kVariant, c.twin)};
        rig.Plug(u.ours);
        rig.Start();
        rig.Click();
        while (rig.update().bUpdating && rig.update().nBlockIndex < 300) rig.Tick();

        u.Remove(u.ours);
        rig.MovePort(u.ours, "1-4");
        rig.Plug(u.twin);
        u.Arrive(u.ours);
        for (int i = 0; i < 50; ++i) rig.Tick();

        EXPECT_TRUE(rig.tool().IsUpdating());
        EXPECT_FALSE(rig.tool().IsConnected());
        EXPECT_EQ(rig.device(u.ours).reports(), 301u);  // the start and blocks 0 to 299
        EXPECT_EQ(rig.device(u.twin).reports(), 0u);
        EXPECT_EQ(rig.Finish(), "");
    }
}

TEST(UnitBinding, SameUnitByItsSerialElseByItsPort) {
    struct Case {
        UnitIdentity ours;
        UnitIdentity other;
        bool same;
    } const cases[] = {
        {{"1-2", "A"}, {"1-3", "A"}, true},   // the serial follows the unit to another port
        {{"1-2", "A"}, {"1-2", "B"}, false},  // another unit in our port
        {{"1-2", ""}, {"1-2", ""}, true},
        {{"1-2", "A"}, {"1-2", ""}, true},  // the serial not read this time
        {{"1-2", ""}, {"1-3", ""}, false},
        {{}, {}, false},  // unknown is never the same
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SameUnit(c.ours, c.other), c.same)
            << c.ours.port << "/" << c.ours.serial << " vs " << c.other.port << "/"
            << c.other.serial;
    }
}

}  // namespace
}  // namespace lumo
