// lumo-flash's run, built for Windows, with what its event window gives it for the update's
// lifetime (a SleepShutdownBlocker) over recorded system calls: the 1 ms clock and the awake
// system from the answered start report to the end, however the update ends, and never for a
// run that updates nothing. The fake bus and a fake clock stand in for the device and time.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/exit_codes.h"
#include "cli/flash_run.h"
#include "core/device_link.h"
#include "platform/win32/sleep_shutdown_blocker.h"
#include "tests/cli/fake_time.h"
#include "tests/fakes/fake_hid_bus.h"
#include "tests/win32/recording_power_calls.h"
#include "tests/win32/recording_timer_calls.h"

namespace lumo::win32 {
namespace {

using cli::ConsoleReport;
using cli::FlashRun;
using cli::OutputMode;
using cli::RunSettings;
using Log = std::vector<std::string>;

const std::string k7B16 = "\\\\?\\hid#vid_5a7e&pid_7b16&mi_00#7&1a2b3c&0&0000#{4d1e55b2}";

const Log kClockRaised = {"throttling:ignore-timer-resolution off", "period:begin 1"};
const Log kClockRaisedThenBack = {"throttling:ignore-timer-resolution off", "period:begin 1",
                                  "period:end 1", "throttling:system"};
const Log kAwakeThenReleased = {"state:continuous|system-required", "state:continuous"};

class FlashLifetimeTest : public ::testing::Test {
  protected:
    void Make(RunSettings s) {
        s.allow_stand_in = true;
        s.update.lifetime = &blocker;  // as the event window's loop sets it
        run = std::make_unique<FlashRun>(bus, time, time, report, std::move(s));
    }
    // 10 ms ticks until the run ends or `max_ticks` have passed.
    void Tick(int max_ticks) {
        for (int n = 0; n < max_ticks && !run->exit_code(); ++n) {
            time.now += 10;
            run->OnTick();
        }
    }

    RecordingPowerCalls power;
    RecordingTimerCalls clock;
    SleepShutdownBlocker blocker{&power, &clock};
    testing::FakeHidBus bus;
    testing::FakeTime time;
    std::ostringstream out, err;
    ConsoleReport report{out, err, OutputMode::kLines};
    std::unique_ptr<FlashRun> run;
};

enum class Ending { kSuccess, kFailedWrite, kResumeTimeout, kCtrlCTwice, kConsoleClosed };

struct EndingCase {
    const char* name;
    Ending ending;
    int exit_code;
};
void PrintTo(const EndingCase& c, std::ostream* os) { *os << c.name; }

class ClockForTheUpdateTest : public FlashLifetimeTest,
                              public ::testing::WithParamInterface<EndingCase> {};

TEST_P(ClockForTheUpdateTest, AskedForAtTheStartReportAndGivenBackOnceAtTheEnd) {
    const EndingCase& c = GetParam();
    bus.Plug(k7B16);
    RunSettings s;
    s.resume_timeout_s = 1.5;
    Make(s);
    run->Begin();
    EXPECT_EQ(bus.writes.size(), 1u) << "the start report, answered";
    EXPECT_EQ(clock.log, kClockRaised);
    Tick(100);

    switch (c.ending) {
        case Ending::kSuccess:
            Tick(5000);
            break;
        case Ending::kFailedWrite:
            bus.failing_writes = {bus.write_calls};
            Tick(5);
            break;
        case Ending::kResumeTimeout:
            bus.Unplug(k7B16);
            run->OnDeviceChange(kDeviceRemoveComplete);
            Tick(100);
            EXPECT_EQ(clock.log, kClockRaised) << "suspended, still under way";
            Tick(1000);
            break;
        case Ending::kCtrlCTwice:
            run->OnInterrupt();
            EXPECT_EQ(clock.log, kClockRaised) << "a first Ctrl-C goes on";
            run->OnInterrupt();
            break;
        case Ending::kConsoleClosed:
            run->OnTerminating("The console window was closed");
            break;
    }
    EXPECT_EQ(run->exit_code(), c.exit_code);
    // A run that stops mid-update (aborted, or its unit gone for good) ends the update with
    // itself: the event loop destroys it as soon as it has its exit status.
    run.reset();
    EXPECT_EQ(clock.log, kClockRaisedThenBack);
    EXPECT_EQ(power.log, kAwakeThenReleased);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, ClockForTheUpdateTest,
    ::testing::Values(EndingCase{"Success", Ending::kSuccess, cli::kExitSuccess},
                      EndingCase{"FailedWrite", Ending::kFailedWrite, cli::kExitFailed},
                      EndingCase{"ResumeTimeout", Ending::kResumeTimeout, cli::kExitFailed},
                      EndingCase{"CtrlCTwice", Ending::kCtrlCTwice, cli::kExitAborted},
                      EndingCase{"ConsoleClosed", Ending::kConsoleClosed, cli::kExitAborted}),
    [](const auto& info) { return std::string(info.param.name); });

// Runs that never start an update: no 1 ms clock at any moment.
enum class Idle { kWaitGivesUp, kStartUnanswered, kCtrlCWhileWaiting, kConsoleClosedWhileWaiting };

struct IdleCase {
    const char* name;
    Idle idle;
    int exit_code;
};
void PrintTo(const IdleCase& c, std::ostream* os) { *os << c.name; }

class NoClockWhileIdleTest : public FlashLifetimeTest,
                             public ::testing::WithParamInterface<IdleCase> {};

TEST_P(NoClockWhileIdleTest, NeverAskedFor) {
    const IdleCase& c = GetParam();
    RunSettings s;
    s.wait_s = 2;
    if (c.idle == Idle::kStartUnanswered) {
        bus.Plug(k7B16);
        bus.fail_reply = true;
    }
    Make(s);
    run->Begin();
    Tick(50);
    if (c.idle == Idle::kCtrlCWhileWaiting) run->OnInterrupt();
    if (c.idle == Idle::kConsoleClosedWhileWaiting)
        run->OnTerminating("The console window was closed");
    Tick(1000);
    EXPECT_EQ(run->exit_code(), c.exit_code);
    run.reset();
    EXPECT_TRUE(clock.log.empty());
    EXPECT_TRUE(power.log.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Runs, NoClockWhileIdleTest,
    ::testing::Values(IdleCase{"WaitGivesUp", Idle::kWaitGivesUp, cli::kExitNoDevice},
                      IdleCase{"StartUnanswered", Idle::kStartUnanswered, cli::kExitFailed},
                      IdleCase{"CtrlCWhileWaiting", Idle::kCtrlCWhileWaiting, cli::kExitAborted},
                      IdleCase{"ConsoleClosedWhileWaiting", Idle::kConsoleClosedWhileWaiting,
                               cli::kExitAborted}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lumo::win32
