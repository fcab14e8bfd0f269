// The whole core over a fake bus, as a user lives it: start, plug, Update, unplug, replug.
#include "core/lumo_tool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ports/status_texts.h"
#include "tests/fakes/bootloader_check.h"
#include "tests/fakes/fake_hid_bus.h"
#include "tests/fakes/recording_view.h"

namespace lumo {
namespace {

using testing::CheckDelivery;
using ::testing::ElementsAre;
using testing::FakeHidBus;
using testing::kDelivered;
using testing::RecordingView;

const std::string kC3D1 = "\\\\?\\hid#vid_5a7e&pid_c3d1&mi_00#7&1a2b3c&0&0000#{4d1e55b2}";
const std::string k7B16 = "\\\\?\\hid#vid_5a7e&pid_7b16&mi_00#7&2b3c4d&0&0000#{4d1e55b2}";
const std::string kKeyboard = "\\\\?\\hid#vid_04f2&pid_0112&mi_00#7&5e6f70&0&0000#{4d1e55b2}";

class ToolTest : public ::testing::Test {
  protected:
    void Ticks(int n) {
        for (int i = 0; i < n; ++i) tool.OnTimer(UPDATE_TIMER_ID);
    }
    int RunToEnd() {
        int ticks = 0;
        for (; tool.IsUpdating() && ticks < 5000; ++ticks) tool.OnTimer(UPDATE_TIMER_ID);
        return ticks;
    }
    // The view's log from line `from` on.
    std::vector<std::string> LogSince(std::size_t from) const {
        return {view.log.begin() + static_cast<std::ptrdiff_t>(from), view.log.end()};
    }
    std::vector<std::string> NotesSince(std::size_t from) const {
        std::vector<std::string> out;
        for (const auto& l : LogSince(from))
            if (l.starts_with("note:")) out.push_back(l);
        return out;
    }

    FakeHidBus bus;
    RecordingView view;
    LumoTool tool{bus, view, view, {.stand_ins = false}};
};

TEST_F(ToolTest, StartWithoutDeviceShowsOnlyZeroPercent) {
    tool.Start();
    EXPECT_THAT(view.log, ElementsAre("percent:0%"));
    EXPECT_FALSE(tool.IsConnected());
}

TEST_F(ToolTest, StartWithDeviceShowsConnectedAfterThePause) {
    bus.Plug(kC3D1);
    tool.Start();
    EXPECT_THAT(view.log, ElementsAre("caption:Device Connected", "pause:2500", "percent:0%"));
    EXPECT_TRUE(tool.IsConnected());
}

TEST_F(ToolTest, UnplugBetweenTicksSuspendsAndReplugResumes) {
    tool.Start();
    bus.Plug(kC3D1);
    tool.OnDeviceChange(kDeviceArrival, 0);
    tool.OnBnClickedUpdate();
    Ticks(300);

    bus.Unplug(kC3D1);
    tool.OnDeviceChange(kDeviceRemoveComplete, 0);
    const std::size_t mark = view.log.size();
    const std::size_t writes = bus.write_calls;
    Ticks(50);
    EXPECT_EQ(bus.write_calls, writes) << "nothing is written while the device is away";
    EXPECT_EQ(view.log.size(), mark) << "note, percentage and bar stay as they were";
    EXPECT_TRUE(tool.IsUpdating());
    EXPECT_THAT(NotesSince(0).back(), ::testing::EndsWith(std::string(text::kUpdating)));
    EXPECT_EQ(view.Only("enable:").back(), "enable:0");

    bus.Plug(kC3D1);
    tool.OnDeviceChange(kDeviceArrival, 0);
    tool.OnTimer(UPDATE_TIMER_ID);
    const auto image = g_firmwarePrimary.bytes();
    EXPECT_EQ(bus.writes.back().report, BuildDataReport(300, image.subspan(300 * 56, 56)));
    RunToEnd();

    EXPECT_EQ(CheckDelivery(bus.Reports(), image), kDelivered);      // one start report only
    EXPECT_THAT(NotesSince(mark), ElementsAre("note: ", "note: "));  // blanked, then after success
    EXPECT_THAT(std::vector(view.log.end() - 3, view.log.end()),
                ElementsAre("plain:Update is successful!", "note: ", "enable:1"));
}

TEST_F(ToolTest, UnrelatedInterfaceRemovedMidUpdateReopensAndContinues) {
    bus.Plug(kKeyboard);
    bus.Plug(k7B16);
    tool.Start();
    tool.OnBnClickedUpdate();
    Ticks(10);
    const HidHandle first = tool.link_state().hDevice;

    bus.Unplug(kKeyboard);
    const std::size_t mark = view.log.size();
    tool.OnDeviceChange(kDeviceRemoveComplete, 0);

    EXPECT_NE(tool.link_state().hDevice, first);
    EXPECT_FALSE(bus.open_handles.contains(first));
    EXPECT_THAT(LogSince(mark),
                ElementsAre("caption:Device Disconnected", "caption:Device Connected", "progress:0",
                            "percent:0%", "note: "));
    tool.OnTimer(UPDATE_TIMER_ID);
    EXPECT_EQ(view.Only("percent:").back(), "percent:1%");  // the saved share, shown again
    RunToEnd();

    EXPECT_EQ(CheckDelivery(bus.Reports(), g_firmwareVariant.bytes()), kDelivered);
    EXPECT_THAT(NotesSince(mark), ElementsAre("note: ", "note: "));
}

TEST_F(ToolTest, DevicePulledOutDuringWriteEndsTheUpdate) {
    bus.Plug(kC3D1);
    tool.Start();
    tool.OnBnClickedUpdate();
    Ticks(20);

    std::size_t writes_during_box = 0;
    view.while_box_open = [&] {
        const std::size_t before = bus.write_calls;
        tool.OnDeviceChange(kDeviceRemoveComplete, 0);
        Ticks(10);
        writes_during_box = bus.write_calls - before;
    };
    bus.Unplug(kC3D1);  // the removal notification comes only after the write failed
    const std::size_t mark = view.log.size();
    Ticks(5);

    EXPECT_EQ(writes_during_box, 0u);
    EXPECT_EQ(view.Only("warning:").size(), 1u);
    EXPECT_THAT(LogSince(mark), ElementsAre(std::string("warning:") += text::kTryAgain,
                                            "caption:Device Disconnected", "enable:1",
                                            std::string("note:") += text::kInterrupted));
    EXPECT_FALSE(tool.IsUpdating());
}

// A product 0x7B16 device that could not be opened must not leave its image selected for the
// product 0xC3D1 device that is opened next.
TEST_F(ToolTest, DeviceOpenedAfterAFailedVariantMatchGetsItsOwnImage) {
    bus.Plug(k7B16).refuse_open = true;
    tool.Start();
    EXPECT_FALSE(tool.IsConnected());

    bus.Unplug(k7B16);
    bus.Plug(kC3D1);
    tool.OnDeviceChange(kDeviceArrival, 0);
    tool.OnBnClickedUpdate();
    RunToEnd();

    EXPECT_EQ(CheckDelivery(bus.Reports(), g_firmwarePrimary.bytes()), kDelivered);
}

TEST_F(ToolTest, SeveralToolsKeepTheirOwnState) {
    FakeHidBus other_bus;
    RecordingView other_view;
    LumoTool other{other_bus, other_view, other_view, {.stand_ins = false}};
    bus.Plug(kC3D1);
    tool.Start();
    other.Start();
    EXPECT_TRUE(tool.IsConnected());
    EXPECT_FALSE(other.IsConnected());
}

}  // namespace
}  // namespace lumo
