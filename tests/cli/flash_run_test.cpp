// The run logic of lumo-flash over the fake bus and a fake clock: no real time passes. Each
// test drives the events a platform loop would (ticks of 10 ms, arrival, removal, Ctrl-C).
#include "cli/flash_run.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/exit_codes.h"
#include "core/device_link.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_provenance.h"
#include "ports/status_texts.h"
#include "tests/cli/fake_time.h"
#include "tests/fakes/bootloader_check.h"
#include "tests/fakes/fake_hid_bus.h"

namespace lumo::cli {
namespace {

using testing::CheckDelivery;
using testing::FakeHidBus;
using testing::FakeTime;
using testing::kDelivered;

const std::string kC3D1 = "hid#vid_5a7e&pid_c3d1&mi_00#0003:5a7e:c3d1.0001#/dev/hidraw0";
const std::string k7B16 = "hid#vid_5a7e&pid_7b16&mi_00#0003:5a7e:7b16.0001#/dev/hidraw0";
const std::string k7B16Again = "hid#vid_5a7e&pid_7b16&mi_00#0003:5a7e:7b16.0002#/dev/hidraw1";
const std::string kKeyboard = "hid#vid_046d&pid_c31c&mi_00#0003:046d:c31c.0003#/dev/hidraw2";

class FlashRunTest : public ::testing::Test {
  protected:
    void Make(RunSettings s, OutputMode mode = OutputMode::kLines) {
        s.allow_stand_in = true;
        report = std::make_unique<ConsoleReport>(out, err, mode);
        run = std::make_unique<FlashRun>(bus, time, time, *report, std::move(s));
    }
    // A run with --image for product 0x7B16: the file in both slots, as two distinct images.
    void MakeFileRunForVariant() {
        RunSettings s;
        s.update.images = {&file_as_variant, &file_as_primary};
        s.image_for_variant = true;
        Make(s);
    }
    // Ticks every 10 ms until the run ends or `max_ticks` have passed; the ticks made.
    int Tick(int max_ticks) {
        int n = 0;
        for (; n < max_ticks && !run->exit_code(); ++n) {
            time.now += 10;
            run->OnTick();
        }
        return n;
    }
    // The JSON lines of these events (names separated by '|'), in order.
    std::vector<std::string> Lines(const std::string& events) const {
        std::vector<std::string> found;
        std::istringstream lines(out.str());
        for (std::string line; std::getline(lines, line);) {
            std::istringstream names(events);
            for (std::string name; std::getline(names, name, '|');)
                if (line.starts_with(R"({"event":")" + name + '"')) found.push_back(line);
        }
        return found;
    }
    std::string Delivery(bool variant) const {
        return CheckDelivery(bus.Reports(), SelectFirmwareImage(variant).bytes());
    }

    const FirmwareImage file_as_variant = g_firmwareVariant, file_as_primary = g_firmwareVariant;
    FakeHidBus bus;
    FakeTime time;
    std::ostringstream out, err;
    std::unique_ptr<ConsoleReport> report;
    std::unique_ptr<FlashRun> run;
};

TEST_F(FlashRunTest, DevicePresentIsUpdatedAndTheSuccessTextGoesToStdout) {
    bus.Plug(k7B16);
    Make({});
    run->Begin();
    Tick(5000);
    EXPECT_EQ(run->exit_code(), kExitSuccess);
    EXPECT_EQ(Delivery(true), kDelivered);
    EXPECT_NE(out.str().find("Update is successful!\nThe device has its new firmware"),
              std::string::npos);
    EXPECT_NE(out.str().find("100% 988/988 blocks"), std::string::npos);
    // Nothing on stderr but, in a build with stand-in images, the answered question.
    const std::string asked = std::string(text::kStandInQuestion) + " (yes: --allow-stand-in)\n";
    EXPECT_EQ(err.str(), g_firmwareProvenance.HasStandIns() ? asked : "");
}

TEST_F(FlashRunTest, NoDeviceAndNoWaitEndsAtOnceWithTwo) {
    Make({});
    run->Begin();
    EXPECT_EQ(run->exit_code(), kExitNoDevice);
    EXPECT_NE(err.str().find("The device is not connected!"), std::string::npos);
    EXPECT_TRUE(bus.writes.empty());
}

TEST_F(FlashRunTest, WaitGivesUpAtItsDeadline) {
    RunSettings s;
    s.wait_s = 2;
    Make(s);
    run->Begin();
    EXPECT_FALSE(run->exit_code());
    const int ticks = Tick(1000);
    EXPECT_EQ(run->exit_code(), kExitNoDevice);
    EXPECT_EQ(ticks, 200);
}

TEST_F(FlashRunTest, DevicePluggedInWhileWaitingIsFoundEvenWithoutANotification) {
    RunSettings s;
    s.wait_s = 10;
    Make(s);
    run->Begin();
    Tick(100);
    bus.Plug(kC3D1);  // no arrival event: the periodic search finds it
    Tick(5000);
    EXPECT_EQ(run->exit_code(), kExitSuccess);
    EXPECT_EQ(Delivery(false), kDelivered);
}

// --wait with no --device and several units: the unit is chosen once the pause after the first
// one's arrival is over. Two there by then (already, or plugged in during that pause): exit 2
// and nothing written. One plugged in after the update began is never written to.
TEST_F(FlashRunTest, WaitRefusesSeveralUnitsPresentWhenTheUnitIsChosen) {
    enum When { kWithTheFirst, kDuringThePause, kAfterTheStart };
    for (const When when : {kWithTheFirst, kDuringThePause, kAfterTheStart}) {
        SCOPED_TRACE(when);
        bus = FakeHidBus{};
        out.str("");
        err.str("");
        std::set<std::string> written_to;
        bus.on_write = [&](HidHandle, const std::string& path, const UpdateReport&) {
            written_to.insert(path);
        };
        RunSettings s;
        s.wait_s = 30;
        s.refuse_several_units = true;
        Make(s);
        run->Begin();
        Tick(100);
        bus.Plug(k7B16).unit = {"1-2", ""};
        if (when == kWithTheFirst) bus.Plug(kC3D1).unit = {"1-3", ""};
        if (when == kDuringThePause) {
            time.during_wait = [&] {
                if (bus.interfaces.size() == 1) bus.Plug(kC3D1).unit = {"1-3", ""};
            };
        }
        run->OnDeviceChange(kDeviceArrival);
        time.during_wait = nullptr;
        if (when == kAfterTheStart) {
            Tick(100);
            bus.Plug(kC3D1).unit = {"1-3", ""};
            run->OnDeviceChange(kDeviceArrival);
        }
        Tick(5000);
        if (when == kAfterTheStart) {
            EXPECT_EQ(run->exit_code(), kExitSuccess);
            EXPECT_EQ(written_to, std::set<std::string>{k7B16});
        } else {
            EXPECT_EQ(run->exit_code(), kExitNoDevice);
            EXPECT_TRUE(written_to.empty());
            EXPECT_NE(err.str().find("2 units in update mode are present"), std::string::npos);
            EXPECT_NE(err.str().find("lumo-flash --device 1-3"), std::string::npos);
        }
    }
}

TEST_F(FlashRunTest, UnplugAndReplugResumesFromTheSavedBlock) {
    bus.Plug(k7B16);
    Make({}, OutputMode::kJson);
    run->Begin();
    Tick(300);
    bus.Unplug(k7B16);
    run->OnDeviceChange(kDeviceRemoveComplete);
    Tick(50);  // suspended: nothing is written
    const std::size_t written = bus.writes.size();
    Tick(50);
    EXPECT_EQ(bus.writes.size(), written);
    bus.Plug(k7B16Again);
    run->OnDeviceChange(kDeviceArrival);
    Tick(5000);
    EXPECT_EQ(run->exit_code(), kExitSuccess);
    EXPECT_EQ(Delivery(true), kDelivered);
    // The record names each node the stream went to and the block from which it went there.
    EXPECT_EQ(Lines("suspended|device|resumed"),
              (std::vector<std::string>{
                  R"({"event":"device","path":")" + k7B16 + R"(","product":"7b16"})",
                  R"({"event":"suspended","block":300,"percent":30})",
                  R"({"event":"device","path":")" + k7B16Again +
                      R"(","product":"7b16","block":300})",
                  R"({"event":"resumed","block":300})"}));
}

TEST_F(FlashRunTest, ReopenAfterAnotherInterfaceLeavesIsReportedWithItsBlock) {
    bus.Plug(k7B16);
    bus.Plug(kKeyboard);
    Make({}, OutputMode::kJson);
    run->Begin();
    Tick(200);
    bus.Unplug(kKeyboard);
    run->OnDeviceChange(kDeviceRemoveComplete);  // the link closes and reopens at once
    Tick(5000);
    EXPECT_EQ(run->exit_code(), kExitSuccess);
    EXPECT_EQ(Delivery(true), kDelivered);
    const std::vector<std::string> devices = Lines("device");
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[1], R"({"event":"device","path":")" + k7B16 +
                              R"(","product":"7b16","block":200})");
}

TEST_F(FlashRunTest, DeviceThatNeverReturnsFailsAfterTheResumeTimeout) {
    bus.Plug(k7B16);
    RunSettings s;
    s.resume_timeout_s = 1.5;
    Make(s);
    run->Begin();
    Tick(300);
    bus.Unplug(k7B16);
    run->OnDeviceChange(kDeviceRemoveComplete);
    const int ticks = Tick(1000);
    EXPECT_EQ(run->exit_code(), kExitFailed);
    EXPECT_EQ(ticks, 150);
    EXPECT_NE(err.str().find("did not come back within 1.5 s"), std::string::npos);
    EXPECT_NE(err.str().find("needs the update again"), std::string::npos);
    EXPECT_EQ(out.str().find("successful"), std::string::npos);
}

TEST_F(FlashRunTest, FileForTheOtherProductIsRefusedBeforeTheStartReport) {
    bus.Plug(kC3D1);
    MakeFileRunForVariant();
    run->Begin();
    EXPECT_EQ(run->exit_code(), kExitUsage);
    EXPECT_EQ(bus.write_calls, 0u);
    EXPECT_NE(err.str().find("is for product 7b16"), std::string::npos);
}

TEST_F(FlashRunTest, FileUpdateReopenedAsTheOtherProductEndsBeforeWriting) {
    bus.Plug(k7B16);
    MakeFileRunForVariant();
    run->Begin();
    Tick(100);
    bus.Unplug(k7B16);
    run->OnDeviceChange(kDeviceRemoveComplete);
    bus.Plug(kC3D1);
    run->OnDeviceChange(kDeviceArrival);
    Tick(100);
    EXPECT_EQ(run->exit_code(), kExitFailed);
    EXPECT_EQ(bus.opened.back(), kC3D1);
    // Nothing went to the handle of the other product's device.
    const HidHandle other = *bus.open_handles.rbegin();
    for (const auto& w : bus.writes) EXPECT_NE(w.handle, other);
}

TEST_F(FlashRunTest, FirstCtrlCWarnsAndTheSecondWithinThreeSecondsAborts) {
    bus.Plug(k7B16);
    Make({});
    run->Begin();
    Tick(100);
    run->OnInterrupt();
    EXPECT_FALSE(run->exit_code());
    EXPECT_NE(err.str().find("Ctrl-C again within 3 s"), std::string::npos);
    Tick(350);  // more than 3 s: the first one has lapsed, the update went on
    EXPECT_FALSE(run->exit_code());
    run->OnInterrupt();  // a first one again
    EXPECT_FALSE(run->exit_code());
    Tick(100);
    const std::size_t written = bus.writes.size();
    run->OnInterrupt();
    EXPECT_EQ(run->exit_code(), kExitAborted);
    Tick(100);
    EXPECT_EQ(bus.writes.size(), written);
    EXPECT_NE(err.str().find("Aborted by the user"), std::string::npos);
}

// The console window closed (or log-off, shutdown): the system ends the process in a moment, so
// there is no second chance as with Ctrl-C; the abort and the device's state are said at once.
TEST_F(FlashRunTest, TerminationDuringAnUpdateAbortsAtOnceAndSaysTheDeviceNeedsTheUpdate) {
    bus.Plug(k7B16);
    Make({}, OutputMode::kJson);
    run->Begin();
    Tick(100);
    const std::size_t written = bus.writes.size();
    run->OnTerminating("The console window was closed");
    EXPECT_EQ(run->exit_code(), kExitAborted);
    Tick(100);
    EXPECT_EQ(bus.writes.size(), written);
    EXPECT_EQ(Lines("failed"), std::vector<std::string>{
                                   R"({"event":"failed","reason":"aborted","text":"The console )"
                                   R"(window was closed at block 100 of 988."})"});
    EXPECT_NE(err.str().find("needs the update again"), std::string::npos);
    EXPECT_EQ(err.str().find("Ctrl-C again"), std::string::npos);
}

TEST_F(FlashRunTest, TerminationWhileWaitingSaysNothingWasWritten) {
    RunSettings s;
    s.wait_s = 30;
    Make(s);
    run->Begin();
    Tick(10);
    run->OnTerminating("The user is logging off");
    EXPECT_EQ(run->exit_code(), kExitAborted);
    EXPECT_NE(err.str().find("The user is logging off.\nNothing was written to a device."),
              std::string::npos);
}

TEST_F(FlashRunTest, CtrlCOutsideAnUpdateEndsAtOnce) {
    RunSettings s;
    s.wait_s = 30;
    Make(s);
    run->Begin();
    Tick(10);
    run->OnInterrupt();
    EXPECT_EQ(run->exit_code(), kExitAborted);
}

TEST_F(FlashRunTest, DeviceThatCannotBeOpenedEndsWithFour) {
    bus.Plug(kC3D1).refuse_open = true;
    Make({});
    run->Begin();
    EXPECT_EQ(run->exit_code(), kExitCannotOpen);
    EXPECT_NE(err.str().find("cannot be opened: " + kC3D1), std::string::npos);
}

// Another update holds the unit: nothing at all is written and the run ends with its own status.
TEST_F(FlashRunTest, UnitClaimedElsewhereWritesNothingAndEndsWithFive) {
    struct Refusing : UnitClaims {
        bool TryClaim(std::string_view) override { return false; }
        void Release() override {}
    } claims;
    bus.Plug(k7B16);
    RunSettings s;
    s.update.claims = &claims;
    Make(s);
    run->Begin();
    Tick(100);
    EXPECT_EQ(run->exit_code(), kExitUnitBusy);
    EXPECT_TRUE(bus.writes.empty());
    EXPECT_NE(err.str().find(std::string(text::kUnitBusy) + "\nNothing was written."),
              std::string::npos)
        << err.str();
}

TEST_F(FlashRunTest, UnansweredStartFailsWithTheWarningText) {
    bus.Plug(kC3D1);
    bus.fail_reply = true;
    Make({}, OutputMode::kJson);
    run->Begin();
    EXPECT_EQ(run->exit_code(), kExitFailed);
    EXPECT_NE(err.str().find(text::kTryAgain), std::string::npos);
    EXPECT_NE(out.str().find("\"reason\":\"start-failed\""), std::string::npos);
    EXPECT_EQ(out.str().find("successful"), std::string::npos);
    EXPECT_EQ(bus.writes.size(), 1u);  // the start report only
}

// Another program holds the unit: nothing is written, and the exit status says why.
TEST_F(FlashRunTest, UnitHeldByAnotherProgramEndsWithFiveAndWritesNothing) {
    struct HeldElsewhere : UnitClaims {
        bool TryClaim(std::string_view) override { return false; }
        void Release() override {}
    } held;
    bus.Plug(k7B16);
    RunSettings s;
    s.update.claims = &held;
    Make(s);
    run->Begin();
    Tick(100);
    EXPECT_EQ(run->exit_code(), kExitUnitBusy);
    EXPECT_TRUE(bus.writes.empty());
    EXPECT_NE(err.str().find(std::string(text::kUnitBusy) + "\nNothing was written"),
              std::string::npos)
        << err.str();
}

// A claim that cannot be made (an unusable lock folder, say) is not "busy": its own reason word
// and the platform's reason, status 1, and still nothing written.
TEST_F(FlashRunTest, ClaimThatCannotBeMadeSaysWhyWritesNothingAndEndsWithOne) {
    struct CannotClaim : UnitClaims {
        bool TryClaim(std::string_view) override { return false; }
        void Release() override {}
        std::string ClaimFailure() const override { return "cannot open /locks/x.lock: EIO"; }
    } claims;
    bus.Plug(k7B16);
    RunSettings s;
    s.update.claims = &claims;
    Make(s, OutputMode::kJson);
    run->Begin();
    Tick(100);
    EXPECT_EQ(run->exit_code(), kExitFailed);
    EXPECT_TRUE(bus.writes.empty());
    EXPECT_NE(out.str().find("\"reason\":\"claim-failed\""), std::string::npos) << out.str();
    EXPECT_NE(err.str().find("The unit could not be claimed: cannot open /locks/x.lock: EIO\n"
                             "Nothing was written."),
              std::string::npos)
        << err.str();
    EXPECT_EQ(err.str().find(text::kUnitBusy), std::string::npos);
}

TEST_F(FlashRunTest, RefusedWriteFailsAndNothingMoreIsWritten) {
    bus.Plug(kC3D1);
    bus.failing_writes = {101};
    Make({});
    run->Begin();
    Tick(5000);
    EXPECT_EQ(run->exit_code(), kExitFailed);
    EXPECT_EQ(bus.write_calls, 102u);
    EXPECT_NE(err.str().find(text::kTryAgain), std::string::npos);
    EXPECT_NE(err.str().find("without complete firmware"), std::string::npos);
}

}  // namespace
}  // namespace lumo::cli
