// The 1 ms clock of an update and the update timer, on their own: what is asked of each Windows
// and what is given back, and the timer on a Windows that lacks the newer calls.
#include "platform/win32/timer_resolution.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "core/update_sequence.h"
#include "tests/win32/recording_timer_calls.h"

namespace lumo::win32 {
namespace {

using Log = std::vector<std::string>;

const std::string kOptOut = "throttling:ignore-timer-resolution off";
const std::string kThrottlingBack = "throttling:system";
const std::string kBegin = "period:begin 1";
const std::string kEnd = "period:end 1";

// What a Windows answers, and what an update's start and end then ask of it.
struct WindowsCase {
    const char* name;
    BOOL throttling_answer;
    MMRESULT begin_answer;
    Log at_start;
    Log at_end;
};
void PrintTo(const WindowsCase& c, std::ostream* os) { *os << c.name; }

class TimerResolutionTest : public ::testing::TestWithParam<WindowsCase> {};

TEST_P(TimerResolutionTest, RaisedAtTheStartAndOnlyWhatWasGrantedGivenBackAtTheEnd) {
    const WindowsCase& c = GetParam();
    RecordingTimerCalls calls;
    calls.throttling_answer = c.throttling_answer;
    calls.begin_answer = c.begin_answer;
    {
        TimerResolution resolution(&calls);
        EXPECT_TRUE(calls.log.empty()) << "nothing asked before an update";

        resolution.UpdateStarted();
        resolution.UpdateStarted();  // a second start asks nothing more
        EXPECT_EQ(calls.log, c.at_start);

        resolution.UpdateEnded();
        resolution.UpdateEnded();  // a second end gives nothing back twice
        Log whole = c.at_start;
        whole.insert(whole.end(), c.at_end.begin(), c.at_end.end());
        EXPECT_EQ(calls.log, whole);

        // The next update asks again.
        calls.log.clear();
        resolution.UpdateStarted();
        EXPECT_EQ(calls.log, c.at_start);
        calls.log.clear();
    }  // the program ends mid-update: given back all the same
    EXPECT_EQ(calls.log, c.at_end);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, TimerResolutionTest,
    ::testing::Values(
        // Windows 11: the opt-out and the 1 ms clock, both given back.
        WindowsCase{"Eleven", TRUE, TIMERR_NOERROR, {kOptOut, kBegin}, {kEnd, kThrottlingBack}},
        // The opt-out refused (Windows 7 has no such call, Windows 10 may not know the flag):
        // the 1 ms clock alone, and no throttling state is set at the end either.
        WindowsCase{"BeforeEleven", FALSE, TIMERR_NOERROR, {kOptOut, kBegin}, {kEnd}},
        // A 1 ms clock refused (out of the system's range) is not ended.
        WindowsCase{"ClockRefused", TRUE, TIMERR_NOCANDO, {kOptOut, kBegin}, {kThrottlingBack}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UpdateTimerTest, NotCoalescedWhereWindowsCanSaySoAndPlainElsewhere) {
    RecordingTimerCalls calls;
    EXPECT_NE(SetUpdateTimer(nullptr, UPDATE_TIMER_ID, UPDATE_TIMER_PERIOD_MS, &calls), 0u);
    EXPECT_EQ(calls.log, Log{"timer:no-coalescing 5 10"});

    calls.log.clear();
    calls.coalescable_answer = 0;  // before Windows 8, or refused
    EXPECT_NE(SetUpdateTimer(nullptr, UPDATE_TIMER_ID, UPDATE_TIMER_PERIOD_MS, &calls), 0u);
    EXPECT_EQ(calls.log, (Log{"timer:no-coalescing 5 10", "timer:plain 5 10"}));
}

// Windows 7 has neither SetProcessInformation nor SetCoalescableTimer.
FARPROC NothingFound(const wchar_t*, const char*) { return nullptr; }

TEST(SystemTimerCallsTest, WithoutTheWindowsEightCallsTheirStepsAreSkipped) {
    SystemTimerCalls calls(&NothingFound);
    EXPECT_EQ(calls.SetProcessPowerThrottling(PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION, 0),
              FALSE);
    EXPECT_EQ(calls.SetCoalescableTimer(nullptr, 0, 10, TIMERV_NO_COALESCING), 0u);
    // The clock needs no lookup: winmm's calls are on every Windows.
    ASSERT_EQ(calls.TimeBeginPeriod(kUpdateTimerResolutionMs),
              static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(calls.TimeEndPeriod(kUpdateTimerResolutionMs), static_cast<MMRESULT>(TIMERR_NOERROR));
}

// The real timer on a real window, with the calls found (as under Wine, which has them) and
// with none found (Windows 7): either way WM_TIMER 5 comes, again and again.
class RealUpdateTimerTest : public ::testing::TestWithParam<bool> {};

TEST_P(RealUpdateTimerTest, TicksReachTheWindow) {
    const bool windows_seven = GetParam();
    const HWND window = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                        nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(window, nullptr);
    SystemTimerCalls calls(windows_seven ? &NothingFound : nullptr);
    if (!windows_seven) {
        EXPECT_NE(calls.SetCoalescableTimer(window, UPDATE_TIMER_ID, UPDATE_TIMER_PERIOD_MS,
                                            TIMERV_NO_COALESCING),
                  0u)
            << "Wine has SetCoalescableTimer";
    }
    ASSERT_NE(SetUpdateTimer(window, UPDATE_TIMER_ID, UPDATE_TIMER_PERIOD_MS, &calls), 0u);
    int ticks = 0;
    const ULONGLONG deadline = GetTickCount64() + 5000;
    MSG msg;
    while (ticks < 3 && GetTickCount64() < deadline) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        while (PeekMessageW(&msg, window, WM_TIMER, WM_TIMER, PM_REMOVE))
            ticks += msg.wParam == UPDATE_TIMER_ID;
    }
    KillTimer(window, UPDATE_TIMER_ID);
    DestroyWindow(window);
    EXPECT_EQ(ticks, 3);
}

INSTANTIATE_TEST_SUITE_P(Lookups, RealUpdateTimerTest, ::testing::Values(false, true),
                         [](const auto& info) {
                             return std::string(info.param ? "NothingFound" : "SystemFound");
                         });

}  // namespace
}  // namespace lumo::win32
