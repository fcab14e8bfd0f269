// The blocker on its own, as the command line's hidden window uses it: the window set before
// the update starts and taken away before it is destroyed.
#include "platform/win32/sleep_shutdown_blocker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/win32/recording_power_calls.h"

namespace lumo::win32 {
namespace {

const std::string kHeld = "state:continuous|system-required";
const std::string kReleased = "state:continuous";
const std::string kReason = "reason:create Firmware update in progress";
const std::string kReasonGone = "reason:destroy";

class BlockerTest : public ::testing::Test {
protected:
    BlockerTest() {
        window = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    }
    ~BlockerTest() override { DestroyWindow(window); }

    RecordingPowerCalls power;
    HWND window = nullptr;
};

TEST_F(BlockerTest, HeldFromStartToEndAndAnswersTheShutdownQuery) {
    SleepShutdownBlocker blocker(&power);
    blocker.set_window(window);
    EXPECT_EQ(blocker.QueryEndSessionAnswer(), TRUE);
    EXPECT_TRUE(power.log.empty()) << "a window alone holds nothing";

    blocker.UpdateStarted();
    EXPECT_EQ(power.log, (std::vector<std::string>{kHeld, kReason}));
    EXPECT_EQ(blocker.QueryEndSessionAnswer(), FALSE);

    blocker.UpdateEnded();
    blocker.UpdateEnded();  // a second end changes nothing
    EXPECT_EQ(power.log, (std::vector<std::string>{kHeld, kReason, kReasonGone, kReleased}));
    EXPECT_EQ(power.windows, (std::vector<HWND>{window, window}));
    EXPECT_EQ(blocker.QueryEndSessionAnswer(), TRUE);
}

// The window goes while the update is still under way (the program ends mid-update): the
// reason goes with the window still there, and the end releases the execution state alone.
TEST_F(BlockerTest, WindowTakenAwayMidUpdateThenTheEnd) {
    {
        SleepShutdownBlocker blocker(&power);
        blocker.set_window(window);
        blocker.UpdateStarted();
        blocker.set_window(nullptr);
        EXPECT_EQ(power.log.back(), kReasonGone);
        EXPECT_EQ(blocker.QueryEndSessionAnswer(), FALSE) << "still under way";
    }  // the program's end ends the update
    EXPECT_EQ(power.log, (std::vector<std::string>{kHeld, kReason, kReasonGone, kReleased}));
}

TEST_F(BlockerTest, WithoutAWindowOnlyTheExecutionState) {
    SleepShutdownBlocker blocker(&power);
    blocker.UpdateStarted();
    EXPECT_EQ(blocker.QueryEndSessionAnswer(), FALSE);
    blocker.UpdateEnded();
    EXPECT_EQ(power.log, (std::vector<std::string>{kHeld, kReleased}));
}

}  // namespace
}  // namespace lumo::win32
