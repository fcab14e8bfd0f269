// lumo-flash --all and --station over the fake bus: every unit updated at once on one timer,
// each judged by the reports its own interfaces took; lines tagged with the unit; the exit
// status, the closing table and the station's tally.
#include "cli/multi_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "cli/exit_codes.h"
#include "cli/linux/ucontext_strand.h"
#include "cli/station.h"
#include "core/device_link.h"
#include "firmware/firmware_image.h"
#include "tests/cli/fake_time.h"
#include "tests/fakes/bootloader_check.h"
#include "tests/fakes/fake_hid_bus.h"

namespace lumo::cli {
namespace {

using testing::DeliveryCheck;
using testing::FakeHidBus;
using testing::FakeTime;
using testing::kDelivered;

const std::string kA = "hid#vid_5a7e&pid_7b16&mi_00#0003:5a7e:7b16.0001#/dev/hidraw0";
const std::string kAAgain = "hid#vid_5a7e&pid_7b16&mi_00#0003:5a7e:7b16.0003#/dev/hidraw2";
const std::string kB = "hid#vid_5a7e&pid_c3d1&mi_00#0003:5a7e:c3d1.0002#/dev/hidraw1";
const std::string kBAgain = "hid#vid_5a7e&pid_c3d1&mi_00#0003:5a7e:c3d1.0004#/dev/hidraw3";
const std::string kC = "hid#vid_5a7e&pid_7b16&mi_00#0003:5a7e:7b16.0005#/dev/hidraw4";

struct CountingLifetime : UpdateLifetime {
    int started = 0, ended = 0;
    void UpdateStarted() override { ++started; }
    void UpdateEnded() override { ++ended; }
};

// Records every claim; refuses those another program holds.
struct RecordingClaims : UnitClaims {
    RecordingClaims(std::vector<std::string>& keys, const std::set<std::string>& busy)
        : keys_(keys), busy_(busy) {}
    bool TryClaim(std::string_view key) override {
        keys_.emplace_back(key);
        return !busy_.contains(std::string(key));
    }
    void Release() override {}
    std::vector<std::string>& keys_;
    const std::set<std::string>& busy_;
};

class MultiRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Plug(kA, "1-2", "");
        Plug(kB, "1-3", "M8P-000303");
        // Each unit's reports, judged where they went: the same unit before and after a replug.
        bus.on_write = [this](HidHandle, const std::string& path, const UpdateReport& r) {
            const std::string& port = port_of.at(path);
            checks.try_emplace(port, path.find("pid_7b16") != std::string::npos
                                         ? g_firmwareVariant.bytes()
                                         : g_firmwarePrimary.bytes());
            checks.at(port).Take(r);
            if (r.bytes[1] == UPDATE_CMD_START) starts.push_back({port, time.now});
            if (r.bytes[1] == UPDATE_CMD_DATA) {
                auto [last, fresh] = last_data_ms.try_emplace(port, time.now);
                std::uint64_t& gap = data_gap_ms[port];
                if (!fresh) gap = std::max(gap, time.now - last->second);
                last->second = time.now;
            }
        };
    }
    // An interface of the unit on `port` (which names the unit in the verdicts).
    void Plug(const std::string& path, const std::string& port, const std::string& serial) {
        bus.Plug(path).unit = {port, serial};
        port_of[path] = port;
    }
    RunSettings Settings() {
        RunSettings s;
        s.wait_s = wait_s;
        s.allow_stand_in = true;
        s.update.lifetime = &lifetime;
        return s;
    }
    ClaimsMaker Claims() {
        return [this] { return std::make_unique<RecordingClaims>(claimed, busy); };
    }
    // A strand per unit, as the platforms give --all and --station, when `strands`.
    StrandMaker Strands() {
        if (!strands) return {};
        return [this] { return std::make_unique<UcontextStrand>(time, time); };
    }
    void Make(OutputMode mode) {
        run = std::make_unique<MultiRun>(bus, time, time, out, err, mode, ListUnits(bus),
                                         Settings(), Claims(), Strands());
    }
    void MakeStation(OutputMode mode) {
        auto s = std::make_unique<Station>(bus, time, time, out, err, mode, Settings(), Claims(),
                                           Strands());
        station = s.get();
        run = std::move(s);
    }
    // A station's ticks until `done` holds, at most `max_ticks`.
    void TickUntil(const std::function<bool()>& done, int max_ticks) {
        for (int n = 0; n < max_ticks && !done() && !run->exit_code(); ++n) {
            time.now += 10;
            run->OnTick();
        }
    }
    void Arrive(const std::string& path, const std::string& port, const std::string& serial) {
        Plug(path, port, serial);
        run->OnDeviceChange(kDeviceArrival);
    }
    // A station started with unit 1-2 alone; unit 1-3 is plugged in `ticks` later.
    void StationWithBPluggedInAfter(int ticks) {
        bus.Unplug(kB);
        MakeStation(OutputMode::kLines);
        run->Begin();
        TickUntil([] { return false; }, ticks);
        Arrive(kB, "1-3", "M8P-000303");
    }
    void Leave(const std::string& path) {
        bus.Unplug(path);
        run->OnDeviceChange(kDeviceRemoveComplete);
    }
    std::size_t Starts(const std::string& port) const {
        return checks.count(port) ? checks.at(port).starts() : 0;
    }
    int Tick(int max_ticks) {
        int n = 0;
        for (; n < max_ticks && !run->exit_code(); ++n) {
            time.now += 10;
            run->OnTick();
        }
        return n;
    }
    std::string Verdict(const std::string& port) const {
        return checks.count(port) ? checks.at(port).Verdict() : "no report";
    }

    FakeHidBus bus;
    FakeTime time;
    CountingLifetime lifetime;
    std::vector<std::string> claimed;
    std::set<std::string> busy;  // claim keys another program holds
    std::map<std::string, std::string> port_of;
    std::map<std::string, DeliveryCheck> checks;  // by the unit's port
    std::vector<std::pair<std::string, std::uint64_t>> starts;  // each start report: port, when
    std::map<std::string, std::uint64_t> last_data_ms;  // by port
    std::map<std::string, std::uint64_t> data_gap_ms;   // the longest between two data reports
    bool strands = false;
    double wait_s = 0;  // --wait
    std::ostringstream out, err;
    std::unique_ptr<RunEvents> run;
    Station* station = nullptr;
};

TEST_F(MultiRunTest, EveryUnitIsUpdatedOnOneTimerAndEveryLineNamesItsUnit) {
    Make(OutputMode::kJson);
    run->Begin();
    // One timer for both: the larger image's blocks set the pace, so the two run side by side.
    const int ticks = Tick(5000);
    EXPECT_LT(ticks, 2100);
    EXPECT_EQ(run->exit_code(), kExitSuccess);
    EXPECT_EQ(Verdict("1-2"), kDelivered);
    EXPECT_EQ(Verdict("1-3"), kDelivered);
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
                             "\"c3d1\",\"exit\":0,\"result\":\"updated\",\"port\":\"1-3\","
                             "\"serial\":\"M8P-000303\",\"reason\":null}"),
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
    Arrive(kAAgain, "1-2", "");
    Tick(5000);
    EXPECT_EQ(run->exit_code(), kExitSuccess);
    EXPECT_EQ(Verdict("1-2"), kDelivered);
    EXPECT_EQ(Verdict("1-3"), kDelivered);
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
class MultiRunPauses : public MultiRunTest, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        MultiRunTest::SetUp();
        strands = GetParam();
    }
};

TEST_P(MultiRunPauses, HoldTheirOwnUnitAloneWithStrands) {
    Make(OutputMode::kLines);
    const std::uint64_t begun = time.now;
    run->Begin();
    // Without strands each unit's 2.5 s and 300 ms were waited out in turn; with them, none yet.
    EXPECT_EQ(time.now - begun, strands ? 0u : 2u * (2500 + 300));
    Tick(5000);
    EXPECT_EQ(run->exit_code(), kExitSuccess);
    EXPECT_EQ(Verdict("1-2"), kDelivered);
    EXPECT_EQ(Verdict("1-3"), kDelivered);
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

// The station: a unit plugged in while another streams waits out its own pauses (250 ms after
// its arrival opens it, 300 ms before the start report's reply); with strands the other's data
// reports keep their 10 ms pace meanwhile. The station's end, told while a new unit is in its
// pause, comes once that unit has taken it: its abort is reported, then the tally.
TEST_P(MultiRunPauses, StationTakesANewUnitWithoutHoldingTheOthers) {
    StationWithBPluggedInAfter(200);
    TickUntil([&] { return station->tally().updated == 2; }, 5000);
    EXPECT_EQ(Verdict("1-2"), kDelivered);
    EXPECT_EQ(Verdict("1-3"), kDelivered);
    if (strands) {
        EXPECT_LE(data_gap_ms["1-2"], 10u);
    } else {
        EXPECT_GE(data_gap_ms["1-2"], 250u + 300);
    }

    Arrive(kC, "1-4", "");
    run->OnTerminating("The console window was closed");
    if (strands) {
        // Unit 1-4 is in its pause before its start report: left untouched.
        EXPECT_FALSE(run->exit_code());
        TickUntil([] { return false; }, 100);
        EXPECT_EQ(run->exit_code(), kExitSuccess);
        EXPECT_EQ(Starts("1-4"), 0u);
        EXPECT_NE(out.str().find("[1-4] result: not started"), std::string::npos) << out.str();
        EXPECT_TRUE(out.str().find("Station ended: 2 updated, 0 failed in ") != std::string::npos) << out.str();
    } else {
        // Without strands its pauses were over before the stop came: it was aborted.
        EXPECT_EQ(run->exit_code(), kExitAborted);
        EXPECT_EQ(Starts("1-4"), 1u);
        EXPECT_NE(err.str().find("[1-4] The console window was closed at block 0 of"),
                  std::string::npos)
            << err.str();
        EXPECT_TRUE(out.str().find("Station ended: 2 updated, 1 failed in ") != std::string::npos) << out.str();
    }
}

// One Ctrl-C at a station: a unit in its pause before its start report is left untouched, the
// units being updated finish byte for byte, a unit plugged in meanwhile is not taken, and the
// station then ends with 0.
TEST_P(MultiRunPauses, StationDrainsOnTheFirstCtrlC) {
    StationWithBPluggedInAfter(300);  // 1-2 streams; 1-3 has just arrived
    if (strands) {
        EXPECT_EQ(Starts("1-3"), 0u);  // in its pause
    }
    run->OnInterrupt();
    EXPECT_NE(err.str().find("no new unit is taken"), std::string::npos) << err.str();
    TickUntil([] { return false; }, 100);
    Arrive(kC, "1-4", "");
    TickUntil([] { return false; }, 3000);
    EXPECT_EQ(run->exit_code(), kExitSuccess);
    EXPECT_EQ(Verdict("1-2"), kDelivered);
    EXPECT_EQ(Starts("1-4"), 0u);
    if (strands) {
        EXPECT_EQ(Starts("1-3"), 0u);
        EXPECT_TRUE(out.str().find("Station ended: 1 updated, 0 failed in ") != std::string::npos) << out.str();
    } else {
        EXPECT_EQ(Verdict("1-3"), kDelivered);  // already streaming when the stop came
        EXPECT_TRUE(out.str().find("Station ended: 2 updated, 0 failed in ") != std::string::npos) << out.str();
    }
    EXPECT_EQ(lifetime.started, lifetime.ended);
}

// --all takes the first Ctrl-C the same way: the updates under way finish, and the run ends
// with their table.
TEST_F(MultiRunTest, AllFinishesWhatRunsOnTheFirstCtrlC) {
    Make(OutputMode::kLines);
    run->Begin();
    Tick(300);
    run->OnInterrupt();
    Tick(5000);
    EXPECT_EQ(run->exit_code(), kExitSuccess);
    EXPECT_EQ(Verdict("1-2"), kDelivered);
    EXPECT_EQ(Verdict("1-3"), kDelivered);
}

INSTANTIATE_TEST_SUITE_P(StrandsOrNot, MultiRunPauses, ::testing::Bool());

TEST_F(MultiRunTest, OneFailedUnitFailsTheRunAndTheOtherStillFinishes) {
    bus.failing_writes = {400};  // some data report, to whichever unit it goes
    Make(OutputMode::kLines);
    run->Begin();
    Tick(5000);
    EXPECT_EQ(run->exit_code(), kExitFailed);
    const bool a_failed = Verdict("1-2") != kDelivered;
    EXPECT_EQ(Verdict(a_failed ? "1-3" : "1-2"), kDelivered);
    EXPECT_NE(Verdict(a_failed ? "1-2" : "1-3"), kDelivered);
    EXPECT_NE(out.str().find("1     failed (needs the update again)"), std::string::npos)
        << out.str();
    EXPECT_NE(err.str().find(a_failed ? "[1-2] " : "[M8P-000303] "), std::string::npos);
}

// --all --wait with no unit at the start: the first arrival starts a 250 ms settling, and
// every unit present at its end is updated, also one whose arrival was never announced (a HID
// bus still starting). A unit plugged in after that is left alone.
TEST_F(MultiRunTest, AllWaitsForTheFirstUnitThenTakesEveryUnitPresentOnceSettled) {
    bus.Unplug(kA);
    bus.Unplug(kB);
    strands = true;
    wait_s = 30;
    Make(OutputMode::kJson);
    run->Begin();
    EXPECT_NE(out.str().find("{\"event\":\"waiting\",\"wait_ms\":30000}"), std::string::npos)
        << out.str();
    Tick(300);
    Arrive(kA, "1-2", "");
    Tick(10);
    Plug(kB, "1-3", "M8P-000303");  // 100 ms after the first, with no notice
    Tick(30);
    Plug(kC, "1-4", "");  // after the settling: not this run's
    run->OnDeviceChange(kDeviceArrival);
    Tick(5000);
    EXPECT_EQ(run->exit_code(), kExitSuccess);
    EXPECT_EQ(Verdict("1-2"), kDelivered);
    EXPECT_EQ(Verdict("1-3"), kDelivered);
    EXPECT_EQ(Verdict("1-4"), "no report");
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_LT(std::max(starts[0].second, starts[1].second) -
                  std::min(starts[0].second, starts[1].second),
              100u);  // each waits out its own pauses
    EXPECT_EQ(out.str().find("\"unit\":\"1-4\""), std::string::npos) << out.str();
}

// Nothing arrives: the same failure as --all with no unit, once the wait is over and not
// before; Ctrl-C or the session's end during the wait ends it at once, and nothing is written
// to a unit that arrives after.
TEST_F(MultiRunTest, AllWaitEndsAtItsDeadlineOrAtOnceWhenStopped) {
    bus.Unplug(kA);
    bus.Unplug(kB);
    wait_s = 2;
    Make(OutputMode::kLines);
    run->Begin();
    const std::uint64_t began = time.now;
    Tick(1000);
    EXPECT_EQ(run->exit_code(), kExitNoDevice);
    EXPECT_EQ(time.now - began, 2000u);
    EXPECT_NE(out.str().find("Waiting up to 2 s"), std::string::npos) << out.str();
    EXPECT_NE(err.str().find("The device is not connected!"), std::string::npos) << err.str();
    EXPECT_EQ(out.str().find("result"), std::string::npos) << out.str();  // no table

    for (const bool interrupt : {true, false}) {
        SCOPED_TRACE(interrupt ? "Ctrl-C" : "the session ends");
        err.str("");
        Make(OutputMode::kLines);
        run->Begin();
        Tick(50);
        interrupt ? run->OnInterrupt() : run->OnTerminating("Windows is shutting down");
        EXPECT_EQ(run->exit_code(), kExitAborted);
        EXPECT_NE(err.str().find(interrupt ? "Aborted by the user." : "Windows is shutting down."),
                  std::string::npos)
            << err.str();
        EXPECT_NE(err.str().find("Nothing was written to a device."), std::string::npos);
        Arrive(kA, "1-2", "");
        Tick(500);
        EXPECT_EQ(Verdict("1-2"), "no report");
        bus.Unplug(kA);
    }
}

// The station: a unit plugged in while another is being updated is updated beside it; one
// pulled out mid-update resumes when back and is not taken for a new unit; units left plugged
// in are never updated twice; a unit that left and comes back is updated again. Ctrl-C with
// nothing under way ends the station at once, with the tally.
TEST_F(MultiRunTest, StationUpdatesEachUnitOnceWhilePluggedIn) {
    StationWithBPluggedInAfter(300);
    TickUntil([] { return false; }, 300);
    Leave(kB);  // pulled mid-update and back on another node
    TickUntil([] { return false; }, 100);
    Arrive(kBAgain, "1-3", "M8P-000303");
    TickUntil([&] { return station->tally().updated == 2; }, 5000);
    // Both stay plugged in for a while: the station keeps looking, and updates neither again.
    TickUntil([] { return false; }, 500);
    EXPECT_EQ(Verdict("1-2"), kDelivered);
    EXPECT_EQ(Verdict("1-3"), kDelivered);
    EXPECT_EQ(Starts("1-2"), 1u);
    EXPECT_EQ(Starts("1-3"), 1u);
    EXPECT_FALSE(run->exit_code());
    // Unit 1-2 leaves and comes back: a new update.
    Leave(kA);
    TickUntil([] { return false; }, 10);
    Arrive(kAAgain, "1-2", "");
    TickUntil([&] { return station->tally().updated == 3; }, 5000);
    EXPECT_EQ(Starts("1-2"), 2u);
    EXPECT_EQ(Verdict("1-2"), kDelivered);
    EXPECT_EQ(lifetime.started, lifetime.ended);

    run->OnInterrupt();
    EXPECT_EQ(run->exit_code(), kExitSuccess);
    const std::string o = out.str();
    EXPECT_NE(o.find("[M8P-000303] result: updated (exit 0), port 1-3\nTally: 2 updated, 0 "
                     "failed\n"),
              std::string::npos)
        << o;
    EXPECT_TRUE(o.find("Tally: 3 updated, 0 failed\nStation ended: 3 updated, 0 failed in ") != std::string::npos)
        << o;
}

// A failed update and a unit another program holds each end in a result line and count as
// failed; the station goes on and updates the next unit; its exit status is the first
// failure's.
TEST_F(MultiRunTest, StationGoesOnAfterAFailureAndARefusal) {
    busy = {"serial-M8P-000303"};
    bus.failing_writes = {400};  // a data report to unit 1-2, the only one written to
    MakeStation(OutputMode::kJson);
    run->Begin();
    TickUntil([&] { return station->tally().failed == 2; }, 5000);
    EXPECT_EQ(Verdict("1-3"), "no report");
    EXPECT_NE(Verdict("1-2"), kDelivered);
    Arrive(kC, "1-4", "");
    TickUntil([&] { return station->tally().updated == 1; }, 5000);
    EXPECT_EQ(Verdict("1-4"), kDelivered);
    EXPECT_EQ(Starts("1-2"), 1u);  // the failed unit, still plugged in, is not tried again
    run->OnInterrupt();
    EXPECT_EQ(run->exit_code(), kExitUnitBusy);
    const std::string o = out.str();
    EXPECT_NE(o.find("{\"event\":\"unit-result\",\"unit\":\"M8P-000303\",\"product\":\"c3d1\","
                     "\"exit\":5,\"result\":\"busy: another program is updating it\","
                     "\"port\":\"1-3\",\"serial\":\"M8P-000303\",\"reason\":\"unit-busy\"}\n"
                     "{\"event\":\"tally\",\"updated\":0,\"failed\":1}\n"),
              std::string::npos)
        << o;
    EXPECT_NE(o.find("{\"event\":\"unit-result\",\"unit\":\"1-2\",\"product\":\"7b16\",\"exit\":1,"),
              std::string::npos);
    EXPECT_TRUE(o.ends_with("{\"event\":\"station-end\",\"updated\":1,\"failed\":2,\"exit\":5}\n"))
        << o;
}

// Ctrl-C during updates: the first stops nothing under way (nor after its 3 s); a second within
// 3 s aborts every update under way and ends the station with 130.
TEST_F(MultiRunTest, StationStopsUpdatesOnlyWhenAskedTwice) {
    MakeStation(OutputMode::kLines);
    run->Begin();
    TickUntil([] { return false; }, 200);
    run->OnInterrupt();
    EXPECT_FALSE(run->exit_code());
    TickUntil([] { return false; }, 310);
    EXPECT_NE(err.str().find("No second Ctrl-C: the updates under way go on to their end; no new "
                             "unit is taken."),
              std::string::npos)
        << err.str();
    run->OnInterrupt();
    TickUntil([] { return false; }, 10);
    run->OnInterrupt();
    EXPECT_EQ(run->exit_code(), kExitAborted);
    EXPECT_TRUE(Verdict("1-2").starts_with("interrupted after block")) << Verdict("1-2");
    EXPECT_TRUE(Verdict("1-3").starts_with("interrupted after block")) << Verdict("1-3");
    EXPECT_NE(err.str().find("[1-2] Aborted by the user at block"), std::string::npos) << err.str();
    EXPECT_TRUE(out.str().find("Station ended: 0 updated, 2 failed in ") != std::string::npos) << out.str();
    EXPECT_EQ(lifetime.ended, 1);
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
