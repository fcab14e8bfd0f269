#include "emulator/scenario.h"

#include <gtest/gtest.h>

namespace lumo::emulator {
namespace {

TEST(Scenario, ReadsEveryStatement) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario("# a comment\n"
                              "Plug in after 1500 ms\n"
                              "unplug after block 200; replug after 300 ms\n"
                              "unplug at block 900; removal events after 400 ms\n"
                              "unplug after 8000 ms  # time based\n"
                              "replug after 50 ms\n"
                              "fail block 17\n"
                              "stall block 30 for 1200 ms\n"
                              "time out block 40\n"
                              "never answer start\n"
                              "add unrelated device after 100 ms\n"
                              "remove unrelated device after 200 ms\n"
                              "second device after 10 ms\n",
                              s, error))
        << error;
    EXPECT_EQ(s.plug_in_ms, 1500u);
    ASSERT_EQ(s.unplugs.size(), 3u);
    EXPECT_EQ(s.unplugs[0].trigger, Unplug::Trigger::AfterBlock);
    EXPECT_EQ(s.unplugs[0].value, 200u);
    EXPECT_EQ(s.unplugs[0].replug_ms, 300u);
    EXPECT_FALSE(s.unplugs[0].removal_events_ms);
    EXPECT_EQ(s.unplugs[1].trigger, Unplug::Trigger::AtBlock);
    EXPECT_FALSE(s.unplugs[1].replug_ms);
    EXPECT_EQ(s.unplugs[1].removal_events_ms, 400u);
    EXPECT_EQ(s.unplugs[2].trigger, Unplug::Trigger::AfterMs);
    EXPECT_EQ(s.unplugs[2].value, 8000u);
    EXPECT_EQ(s.unplugs[2].replug_ms, 50u);
    ASSERT_EQ(s.faults.size(), 3u);
    EXPECT_FALSE(s.faults[0].stall_ms);
    EXPECT_EQ(s.faults[1].block, 30u);
    EXPECT_EQ(s.faults[1].stall_ms, 1200u);
    EXPECT_FALSE(s.faults[1].times_out);
    EXPECT_EQ(s.faults[2].block, 40u);
    EXPECT_EQ(s.faults[2].stall_ms, kKernelWriteTimeoutMs);
    EXPECT_TRUE(s.faults[2].times_out);
    EXPECT_TRUE(s.never_answer_start);
    EXPECT_FALSE(s.unrelated_at_start);
    ASSERT_EQ(s.unrelated.size(), 2u);
    EXPECT_TRUE(s.unrelated[0].add);
    EXPECT_FALSE(s.unrelated[1].add);
    EXPECT_TRUE(s.second_device);
    EXPECT_EQ(s.second_device_ms, 10u);
}

TEST(Scenario, RemovingTheSecondDeviceMeansThereIsOne) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario("remove second device after 4000 ms", s, error)) << error;
    EXPECT_TRUE(s.second_device);
    EXPECT_FALSE(s.second_device_ms);
    EXPECT_EQ(s.second_device_removed_ms, 4000u);
}

TEST(Scenario, RemovingAnUnrelatedDeviceFirstMeansItIsThereAtTheStart) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario("remove unrelated device after 200 ms", s, error));
    EXPECT_TRUE(s.unrelated_at_start);
    Scenario by_block;
    ASSERT_TRUE(ParseScenario("remove unrelated device after block 300", by_block, error));
    EXPECT_TRUE(by_block.unrelated_at_start);
    EXPECT_EQ(by_block.unrelated_removed_after_block, 300u);
}

TEST(Scenario, BadStatementsAreRefusedWithTheirLine) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"unplug after block", "line 1: not understood: \"unplug after block\""},
        {"\nfail block -3", "line 2: not understood: \"fail block -3\""},
        {"replug after 10 ms", "line 1: a replug needs an unplug before it: \"replug after 10 ms\""},
        {"unplug at block 1; replug after 1 ms; replug after 2 ms",
         "line 1: a replug needs an unplug before it: \" replug after 2 ms\""},
        {"removal events after 10 ms",
         "line 1: removal events need an unplug before them: \"removal events after 10 ms\""},
        {"unplug after 5 ms\nremoval events after 1 ms; removal events after 2 ms",
         "line 2: removal events need an unplug before them: \" removal events after 2 ms\""},
        {"stall block 3 for 99999999999 ms", "line 1: not understood: \"stall block 3 for 99999999999 ms\""},
    };
    for (const auto& c : cases) {
        Scenario s;
        std::string error;
        EXPECT_FALSE(ParseScenario(c.text, s, error)) << c.text;
        EXPECT_EQ(error, c.error);
    }
}

TEST(Scenario, ReadsUnitsWithTheirPortsSerialsAndEvents) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario("device at 1-2 no serial\n"
                              "unit B 7b16 at 1-3 serial M8V-000303\n"
                              "unit c c3d1 at 1-4.2\n"
                              "plug in unit c after 900 ms\n"
                              "unit d 7b16 at 1-5\n"
                              "plug in unit d after block 40\n"
                              "unplug unit b after block 300; replug after 2000 ms\n"
                              "unplug unit c after 5000 ms\n"
                              "expect unit B delivered\n",
                              s, error))
        << error;
    EXPECT_EQ(s.device_port, "1-2");
    EXPECT_EQ(s.device_serial, "");
    ASSERT_EQ(s.units.size(), 3u);
    EXPECT_EQ(s.units[0].name, "b");
    EXPECT_TRUE(s.units[0].variant);
    EXPECT_EQ(s.units[0].port, "1-3");
    EXPECT_EQ(s.units[0].serial, "M8V-000303");  // as written
    EXPECT_FALSE(s.units[0].plug_in_ms);
    EXPECT_EQ(s.units[0].expect, "delivered");
    EXPECT_FALSE(s.units[1].variant);
    EXPECT_EQ(s.units[1].port, "1-4.2");
    EXPECT_EQ(s.units[1].serial, "");
    EXPECT_EQ(s.units[1].plug_in_ms, 900u);
    EXPECT_EQ(s.units[1].expect, "no-update");
    EXPECT_FALSE(s.units[2].plug_in_ms);
    EXPECT_EQ(s.units[2].plug_in_after_block, 40u);
    ASSERT_EQ(s.unplugs.size(), 2u);
    EXPECT_EQ(s.unplugs[0].unit, "b");
    EXPECT_EQ(s.unplugs[0].trigger, Unplug::Trigger::AfterBlock);
    EXPECT_EQ(s.unplugs[0].value, 300u);
    EXPECT_EQ(s.unplugs[0].replug_ms, 2000u);
    EXPECT_EQ(s.unplugs[1].unit, "c");
    EXPECT_EQ(s.unplugs[1].trigger, Unplug::Trigger::AfterMs);

    Scenario plain;
    ASSERT_TRUE(ParseScenario("device at 1-7 serial Abc-1; unplug after block 5", plain, error));
    EXPECT_EQ(plain.device_serial, "Abc-1");
    EXPECT_EQ(plain.unplugs[0].unit, "");  // unit 1
}

TEST(Scenario, BadUnitStatementsAreRefused) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"unit b 1234 at 1-3", "line 1: bad product 1234: \"unit b 1234 at 1-3\""},
        {"unit b 7b16 at 2-3", "line 1: bad port 2-3: \"unit b 7b16 at 2-3\""},
        {"unit b 7b16 at 1-3..1", "line 1: bad port 1-3..1: \"unit b 7b16 at 1-3..1\""},
        {"unit b 7b16 at 1-3; unit b c3d1 at 1-4",
         "line 1: unit b named twice: \" unit b c3d1 at 1-4\""},
        {"unplug unit x after block 3", "line 1: no unit x before this: \"unplug unit x after block 3\""},
        {"unit b 7b16 at 1-3; expect unit b fine",
         "line 1: bad outcome fine: \" expect unit b fine\""},
        {"device at 1-3 serial", "line 1: not understood: \"device at 1-3 serial\""},
    };
    for (const auto& c : cases) {
        Scenario s;
        std::string error;
        EXPECT_FALSE(ParseScenario(c.text, s, error)) << c.text;
        EXPECT_EQ(error, c.error);
    }
}

TEST(Scenario, ReadsAStreamOfUnits) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario("Units 1000 on ports 1-2 1-3.1 serial Line-{n} pull after done 400 ms "
                              "plug after 300 ms",
                              s, error))
        << error;
    ASSERT_TRUE(s.stream);
    EXPECT_EQ(s.stream->count, 1000u);
    EXPECT_EQ(s.stream->ports, (std::vector<std::string>{"1-2", "1-3.1"}));
    EXPECT_EQ(s.stream->pull_after_done_ms, 400u);
    EXPECT_EQ(s.stream->plug_after_ms, 300u);
    EXPECT_EQ(StreamSerial(*s.stream, 17, true), "Line-17");  // as written, numbered
    EXPECT_EQ(CheckScenario(s), "");

    const struct {
        const char* text;
        std::uint32_t n;
        const char* serial;
    } serials[] = {
        {"units 2 on port 1-2 pull after done 0 ms plug after 0 ms", 7, "M8V-000007"},
        {"units 2 on port 1-2 no serial pull after done 0 ms plug after 0 ms", 7, ""},
        {"units 2 on port 1-2 serial Twin pull after done 0 ms plug after 0 ms", 7, "Twin"},
    };
    for (const auto& c : serials) {
        Scenario one;
        ASSERT_TRUE(ParseScenario(c.text, one, error)) << error;
        EXPECT_EQ(StreamSerial(*one.stream, c.n, true), c.serial) << c.text;
    }
}

TEST(Scenario, BadStreamsAreRefused) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"units 0 on ports 1-2 pull after done 1 ms plug after 1 ms", "line 1: no units to send"},
        {"units 5 on ports pull after done 1 ms plug after 1 ms", "line 1: not understood"},
        {"units 5 on ports 1-2 1-2 pull after done 1 ms plug after 1 ms",
         "line 1: port 1-2 named twice"},
        {"units 5 on ports 1-2..3 pull after done 1 ms plug after 1 ms", "line 1: bad port 1-2..3"},
        {"units 5 on ports 1-2 serial pull after done 1 ms plug after 1 ms",
         "line 1: not understood"},
        {"units 5 on ports 1-2 pull after done 1 ms", "line 1: not understood"},
        {"units 5 on ports 1-2 pull after done 1 ms plug after 1 ms\n"
         "units 5 on ports 1-3 pull after done 1 ms plug after 1 ms",
         "line 2: one stream of units only"},
    };
    for (const auto& c : cases) {
        Scenario s;
        std::string error;
        EXPECT_FALSE(ParseScenario(c.text, s, error)) << c.text;
        EXPECT_TRUE(error.starts_with(c.error)) << error;
    }
}

// The stream stands in for device 1: what concerns device 1 cannot go beside it, what
// concerns the other units can.
TEST(Scenario, AStreamTakesThePlaceOfDevice1) {
    const std::string stream = "units 5 on ports 1-2 pull after done 1 ms plug after 1 ms\n";
    for (const char* about_device_1 :
         {"device at 1-4", "plug in after 100 ms", "unplug after block 3", "fail block 2",
          "never answer start", "remove unrelated device after block 4",
          "unit b 7b16 at 1-5; plug in unit b after block 2"}) {
        Scenario s;
        std::string error;
        ASSERT_TRUE(ParseScenario(stream + about_device_1, s, error)) << error;
        EXPECT_NE(CheckScenario(s), "") << about_device_1;
    }
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario(stream + "unit b 7b16 at 1-5; unplug unit b after 300 ms; "
                                       "unit b never answers start; unrelated device",
                              s, error))
        << error;
    EXPECT_EQ(CheckScenario(s), "");
    EXPECT_TRUE(s.units[0].never_answers_start);
}

}  // namespace
}  // namespace lumo::emulator
