// lumo-flash --all over the fake bus: every unit updated at once on one timer, each judged by
// the reports its own interfaces took; lines tagged with the unit; the exit status and the
// closing table.
#include "cli/multi_run.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "cli/exit_codes.h"
#include "cli/linux/ucontext_strand.h"
#include "core/device_link.h"
#include "firmware/firmware_image.h"
#include "tests/fakes/bootloader_check.h"
#include "tests/fakes/fake_hid_bus.h"

namespace lumo::cli {
namespace {

using testing::DeliveryCheck;
using testing::FakeHidBus;
using testing::kDelivered;

const std::string kA = "hid#vid_5a7e&pid_7b16&mi_00#0003:5a7e:7b16.0001#/dev/hidraw0";
const std::string kAAgain = "hid#vid_5a7e&pid_7b16&mi_00#0003:5a7e:7b16.0003#/dev/hidraw2";
const std::string kB = "hid#vid_5a7e&pid_c3d1&mi_00#0003:5a7e:c3d1.0002#/dev/hidraw1";

class FakeTime : public Clock, public Pause {
  public:
    std::uint64_t now = 1000;
    std::uint64_t NowMs() override { return now; }
    void Wait(std::uint32_t ms) override { now += ms; }
};

struct CountingLifetime : UpdateLifetime {
    int started = 0, ended = 0;
    void UpdateStarted() override { ++started; }
    void UpdateEnded() override { ++ended; }
};

struct RecordingClaims : UnitClaims {
    explicit RecordingClaims(std::vector<std::string>& keys) : keys_(keys) {}
    bool TryClaim(std::string_view key) override {
        keys_.emplace_back(key);
        return true;
    }
    void Release() override {}
    std::vector<std::string>& keys_;
};

class MultiRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bus.Plug(kA).unit = {"1-2", ""};
        bus.Plug(kB).unit = {"1-3", "M8P-000303"};
        // Each unit's reports, judged where they went: the same unit before and after a replug.
        bus.on_write = [this](HidHandle, const std::string& path, const UpdateReport& r) {
            const bool unit_a = path != kB;
            checks.try_emplace(unit_a, unit_a ? g_firmwareVariant.bytes()
                                              : g_firmwarePrimary.bytes());
            checks.at(unit_a).Take(r);
            if (r.bytes[1] == UPDATE_CMD_START) starts.push_back({unit_a, time.now});
        };
    }
    void Make(OutputMode mode, bool strands = false) {
        RunSettings s;
        s.allow_stand_in = true;
        s.update.lifetime = &lifetime;
        run = std::make_unique<MultiRun>(bus, time, time, out, err, mode, ListUnits(bus), s, [this] {
            return std::make_unique<RecordingClaims>(claimed);
        }, strands ? StrandMaker([this] { return std::make_unique<UcontextStrand>(time); })
                   : StrandMaker());
    }
    int Tick(int max_ticks) {
        int n = 0;
        for (; n < max_ticks && !run->exit_code(); ++n) {
            time.now += 10;
            run->OnTick();
        }
        return n;
    }
    std::string Verdict(bool unit_a) const {
        return checks.count(unit_a) ? checks.at(unit_a).Verdict() : "no report";
    }

    FakeHidBus bus;
    FakeTime time;
    CountingLifetime lifetime;
    std::vector<std::string> claimed;
    std::map<bool, DeliveryCheck> checks;
    std::vector<std::pair<bool, std::uint64_t>> starts;  // each start report: unit A?, when
    std::ostringstream out, err;
    std::unique_ptr<MultiRun> run;
};

TEST_F(MultiRunTest, EveryUnitIsUpdatedOnOneTimerAndEveryLineNamesItsUnit) {
    Make(OutputMode::kJson);
    run->Begin();
    // One timer for both: the larger image's blocks set the pace, so the two run side by side.
    const int ticks = Tick(5000);
    EXPECT_LT(ticks, 2100);
    EXPECT_EQ(run->exit_code(), kExitSuccess);
    EXPECT_EQ(Verdict(true), kDelivered);
    EXPECT_EQ(Verdict(false), kDelivered);
    EXPECT_EQ(claimed, (std::vector<std::string>{"port-1-2", "serial-M8P-000303"}));
    EXPECT_EQ(lifetime.started, 1);  // held from the first start to the last end
    EXPECT_EQ(lifetime.ended, 1);

    std::istringstream lines(out.str());
    std::string line;
    int done = 0;
    while (std::getline(lines, line)) {
        const bool tagged = line.starts_with("{\"unit\":\"1-2\",") ||
                            line.starts_with("{\"unit\":\"M8P-000303\",") ||
                            line.starts_with("{\"event\":\"unit-result\",\"unit\":");
        EXPECT_TRUE(tagged) << line;
        if (line.find("\"event\":\"done\"") != std::string::npos) ++done;
    }
    EXPECT_EQ(done, 2);
    EXPECT_NE(out.str().find("{\"event\":\"unit-result\",\"unit\":\"M8P-000303\",\"product\":"
                             "\"c3d1\",\"exit\":0,\"result\":\"updated\"}"),
              std::string::npos);
}

// One unit is pulled and comes back on its port while the other streams on: both end byte for
// byte, and the other is never written to meanwhile by the first one's run.
TEST_F(MultiRunTest, UnitPulledAndBackWhileTheOtherGoesOn) {
    Make(OutputMode::kLines);
    run->Begin();
    Tick(300);
    bus.Unplug(kA);
    run->OnDeviceChange(kDeviceRemoveComplete);
    Tick(200);
    bus.Plug(kAAgain).unit = {"1-2", ""};
    run->OnDeviceChange(kDeviceArrival);
    Tick(5000);
    EXPECT_EQ(run->exit_code(), kExitSuccess);
    EXPECT_EQ(Verdict(true), kDelivered);
    EXPECT_EQ(Verdict(false), kDelivered);
    EXPECT_NE(out.str().find("[1-2] "), std::string::npos);
    EXPECT_NE(out.str().find("\nunit        product  exit  result\n"
                             "1-2         7b16     0     updated\n"
                             "M8P-000303  c3d1     0     updated\n"),
              std::string::npos)
        << out.str();
}

// With a strand per unit, as on Linux, a unit's fixed pauses hold that unit alone: both units
// wait out the pause after they are found at once, both start reports go out then, and both
// updates end within the larger image's pace. Without, each pause holds both.
class MultiRunPauses : public MultiRunTest, public ::testing::WithParamInterface<bool> {};

TEST_P(MultiRunPauses, HoldTheirOwnUnitAloneWithStrands) {
    const bool strands = GetParam();
    Make(OutputMode::kLines, strands);
    const std::uint64_t begun = time.now;
    run->Begin();
    // Without strands each unit's 2.5 s and 300 ms were waited out in turn; with them, none yet.
    EXPECT_EQ(time.now - begun, strands ? 0u : 2u * (2500 + 300));
    Tick(5000);
    EXPECT_EQ(run->exit_code(), kExitSuccess);
    EXPECT_EQ(Verdict(true), kDelivered);
    EXPECT_EQ(Verdict(false), kDelivered);
    ASSERT_EQ(starts.size(), 2u);
    const std::uint64_t apart = starts[1].second - starts[0].second;
    if (strands) {
        EXPECT_LE(apart, 10u);  // both on the tick after their pauses ended
        // The primary image's blocks, its three pauses and a tick's lateness after each;
        // nothing of the other unit's pauses.
        EXPECT_LE(time.now - begun, 1954u * 10 + 2500 + 300 + 500 + 3 * 10);
    } else {
        EXPECT_EQ(apart, 2500u + 300);
    }
}

INSTANTIATE_TEST_SUITE_P(StrandsOrNot, MultiRunPauses, ::testing::Bool());

TEST_F(MultiRunTest, OneFailedUnitFailsTheRunAndTheOtherStillFinishes) {
    bus.failing_writes = {400};  // some data report, to whichever unit it goes
    Make(OutputMode::kLines);
    run->Begin();
    Tick(5000);
    EXPECT_EQ(run->exit_code(), kExitFailed);
    const bool a_failed = Verdict(true) != kDelivered;
    EXPECT_EQ(Verdict(!a_failed), kDelivered);
    EXPECT_NE(Verdict(a_failed), kDelivered);
    EXPECT_NE(out.str().find("1     failed (needs the update again)"), std::string::npos)
        << out.str();
    EXPECT_NE(err.str().find(a_failed ? "[1-2] " : "[M8P-000303] "), std::string::npos);
}

TEST(TaggedLines, MarksTextLinesAndJsonObjects) {
    std::ostringstream target;
    {
        TaggedLines text_buf(target, "1-2", false);
        std::ostream text(&text_buf);
        text << "first line\n" << "second " << 2 << '\n';
    }
    {
        TaggedLines json_buf(target, "a\"b", true);
        std::ostream json(&json_buf);
        json << "{\"event\":\"start\"}\n{}\n";
    }
    EXPECT_EQ(target.str(),
              "[1-2] first line\n[1-2] second 2\n"
              "{\"unit\":\"a\\\"b\",\"event\":\"start\"}\n{\"unit\":\"a\\\"b\"}\n");
}

}  // namespace
}  // namespace lumo::cli
