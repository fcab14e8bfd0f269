// lumo-flash with several units: how it lists and names them, the unit --device leaves
// visible, and the refusal to pick one by itself. Over the fake bus.
#include "cli/units.h"

#include <gtest/gtest.h>

#include <sstream>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "tests/fakes/fake_hid_bus.h"

namespace lumo::cli {
namespace {

using testing::FakeHidBus;

const std::string kA = "hid#vid_5a7e&pid_7b16&mi_00#0003:5a7e:7b16.0001#/dev/hidraw0";
const std::string kB = "hid#vid_5a7e&pid_7b16&mi_00#0003:5a7e:7b16.0002#/dev/hidraw1";
const std::string kC = "hid#vid_5a7e&pid_c3d1&mi_00#0003:5a7e:c3d1.0003#/dev/hidraw2";
const std::string kKeyboard = "hid#vid_046d&pid_c31c&mi_00#0003:046d:c31c.0004#/dev/hidraw3";

std::vector<std::string> Ids(const std::vector<UnitEntry>& units) {
    std::vector<std::string> ids;
    for (const UnitEntry& u : units) ids.push_back(u.id);
    return ids;
}

TEST(Units, OneEntryPerUnitNamedBySerialElsePortElsePath) {
    FakeHidBus bus;
    bus.Plug(kKeyboard).unit = {"1-1", ""};
    bus.Plug(kA).unit = {"1-2", ""};
    bus.Plug(kB).unit = {"1-3", "M8V-000303"};
    bus.Plug(kC);                              // identity unknown: its path names it
    bus.Plug(kC + "x");                        // and another such interface is another unit
    bus.Plug(kA + "#mi1").unit = {"1-2", ""};  // a second interface of the unit on 1-2
    const auto units = ListUnits(bus);
    EXPECT_EQ(Ids(units), (std::vector<std::string>{"1-2", "M8V-000303", kC, kC + "x"}));
    EXPECT_TRUE(units[0].variant);
    EXPECT_EQ(units[0].path, kA);
    EXPECT_FALSE(units[2].variant);
}

TEST(Units, OneUnitHidShowsOnlyTheNamedUnit) {
    FakeHidBus bus;
    bus.Plug(kA).unit = {"1-2", ""};
    bus.Plug(kB).unit = {"1-3", "M8V-000303"};
    bus.Plug(kC);
    const struct {
        const char* id;
        std::string path;
    } cases[] = {{"1-2", kA}, {"M8V-000303", kB}, {"1-3", kB}, {kC.c_str(), kC}};
    for (const auto& c : cases) {
        OneUnitHid one(bus, c.id);
        const auto units = ListUnits(one);
        ASSERT_EQ(units.size(), 1u) << c.id;
        EXPECT_EQ(units[0].path, c.path) << c.id;
    }
    OneUnitHid none(bus, "1-9");
    EXPECT_TRUE(ListUnits(none).empty());
    OneUnitHid blank(bus, "");
    EXPECT_TRUE(ListUnits(blank).empty());
}

// Named by its path, a unit is still found after a replug gave it a new node.
TEST(Units, UnitNamedByPathIsFollowedByItsIdentity) {
    FakeHidBus bus;
    bus.Plug(kA).unit = {"1-2", ""};
    bus.Plug(kC).unit = {"1-3", ""};
    OneUnitHid one(bus, kA);
    ASSERT_EQ(Ids(ListUnits(one)), std::vector<std::string>{"1-2"});
    bus.Unplug(kA);
    bus.Plug(kB).unit = {"1-2", ""};  // back on its port as another node
    const auto units = ListUnits(one);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0].path, kB);
}

// Twins: two units that report one fixed serial are two units, each named by its port; the
// serial names neither, and a run on one never sees the other or its serial.
TEST(Units, TwinsAreToldApartByTheirPorts) {
    FakeHidBus bus;
    bus.Plug(kA).unit = {"1-2", "M8-BOOT"};
    bus.Plug(kB).unit = {"1-3", "M8-BOOT"};
    const auto units = ListUnits(bus);
    ASSERT_EQ(Ids(units), (std::vector<std::string>{"1-2", "1-3"}));
    EXPECT_TRUE(units[0].serial_shared && units[1].serial_shared);
    EXPECT_EQ(UnitsNamed(units, "M8-BOOT").size(), 2u);
    std::ostringstream line;
    PrintUnitLine(line, units[1]);
    EXPECT_NE(line.str().find("serial M8-BOOT (shared: named by its port)"), std::string::npos)
        << line.str();

    OneUnitHid one(bus, units[1]);
    const auto seen = ListUnits(one);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].path, kB);
    EXPECT_EQ(seen[0].unit.serial, "");  // claimed and bound by its port
    bus.Unplug(kB);
    EXPECT_TRUE(ListUnits(one).empty());  // never its twin on 1-2

    bus.Unplug(kA);  // alone, the serial names the unit again
    bus.Plug(kA).unit = {"1-2", "M8-BOOT"};
    EXPECT_EQ(Ids(ListUnits(bus)), std::vector<std::string>{"M8-BOOT"});
}

// A unit met before is still the one known when its ID changed: by its port.
TEST(Units, SameListedUnitFollowsThePort) {
    const UnitEntry known{"M8-BOOT", kA, true, {"1-2", "M8-BOOT"}};
    const struct {
        UnitEntry listed;
        bool same;
    } cases[] = {
        {{"1-2", kA, true, {"1-2", "M8-BOOT"}, true}, true},  // a twin arrived: named by port
        {{"1-2", kA, true, {"1-2", ""}}, true},               // its serial not read this time
        {{"M8V-9", kA, true, {"1-2", "M8V-9"}}, false},       // another unit in its port
        {{"M8-BOOT", kB, true, {"1-3", "M8-BOOT"}}, false},   // the serial on another port
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SameListedUnit(known, c.listed), c.same)
            << c.listed.id << " " << c.listed.unit.port;
    }
}

// RunCommand hands the update the HID access it saw; the test's runner lists what it sees.
std::vector<std::string> g_runner_saw;
int RecordingRunner(const Options&, HidAccess& hid, ConsoleReport&, const ImageChoice&) {
    g_runner_saw = Ids(ListUnits(hid));
    return kExitSuccess;
}

class Command : public ::testing::Test {
  protected:
    void SetUp() override {
        g_runner_saw = {"not run"};
        bus.Plug(kA).unit = {"1-2", ""};
        bus.Plug(kB).unit = {"1-3", "M8V-000303"};
    }
    int Run(Options o) {
        o.allow_stand_in = true;
        return RunCommand(o, bus, out, report, RecordingRunner);
    }
    FakeHidBus bus;
    std::ostringstream out, err;
    ConsoleReport report{out, err, OutputMode::kLines};
};

TEST_F(Command, SeveralUnitsWithoutDeviceEndWithTwoAndSayWhatToType) {
    EXPECT_EQ(Run({}), kExitNoDevice);
    EXPECT_EQ(g_runner_saw, std::vector<std::string>{"not run"});
    EXPECT_TRUE(bus.writes.empty());
    const std::string e = err.str();
    EXPECT_NE(e.find("2 units in update mode are present"), std::string::npos) << e;
    EXPECT_NE(e.find("1-2  product 7b16  port 1-2  serial -  " + kA), std::string::npos) << e;
    EXPECT_NE(e.find("lumo-flash --device 1-2\n"), std::string::npos) << e;
    EXPECT_NE(e.find("lumo-flash --device M8V-000303\n"), std::string::npos) << e;
}

TEST_F(Command, DeviceLeavesTheUpdateOnlyThatUnit) {
    Options o;
    o.device = "1-3";
    EXPECT_EQ(Run(o), kExitSuccess);
    EXPECT_EQ(g_runner_saw, std::vector<std::string>{"M8V-000303"});
}

TEST_F(Command, DeviceNamingTwinsBySerialIsRefusedWithTheirPorts) {
    bus.Unplug(kB);
    bus.Unplug(kA);
    bus.Plug(kA).unit = {"1-2", "M8-BOOT"};
    bus.Plug(kB).unit = {"1-3", "M8-BOOT"};
    Options o;
    o.device = "M8-BOOT";
    EXPECT_EQ(Run(o), kExitNoDevice);
    EXPECT_TRUE(bus.writes.empty());
    EXPECT_NE(err.str().find("lumo-flash --device 1-3\n"), std::string::npos) << err.str();
    o.device = "1-3";
    EXPECT_EQ(Run(o), kExitSuccess);
    EXPECT_EQ(g_runner_saw, std::vector<std::string>{"1-3"});
}

TEST_F(Command, OneUnitNeedsNoChoice) {
    bus.Unplug(kB);
    EXPECT_EQ(Run({}), kExitSuccess);
    EXPECT_EQ(g_runner_saw, std::vector<std::string>{"1-2"});
}

TEST_F(Command, ListJsonCarriesIdPortAndSerialOrNull) {
    Options o;
    o.list = true;
    o.json = true;
    EXPECT_EQ(Run(o), kExitSuccess);
    const std::string s = out.str();
    EXPECT_NE(s.find("{\"event\":\"device\",\"id\":\"1-2\",\"path\":"), std::string::npos) << s;
    EXPECT_NE(s.find("\"product\":\"7b16\",\"port\":\"1-2\",\"serial\":null,"), std::string::npos)
        << s;
    EXPECT_NE(s.find("\"id\":\"M8V-000303\""), std::string::npos) << s;
    EXPECT_NE(s.find("\"port\":\"1-3\",\"serial\":\"M8V-000303\""), std::string::npos) << s;
    EXPECT_EQ(err.str(), "");
}

TEST_F(Command, ListWithNoUnitSaysSoOnStderr) {
    bus.Unplug(kA);
    bus.Unplug(kB);
    Options o;
    o.list = true;
    EXPECT_EQ(Run(o), kExitSuccess);
    EXPECT_EQ(out.str(), "");
    EXPECT_NE(err.str().find("no Orvel-M8 in update mode is present"), std::string::npos);
}

}  // namespace
}  // namespace lumo::cli
