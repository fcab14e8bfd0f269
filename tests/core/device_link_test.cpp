#include "core/device_link.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/fakes/fake_hid_bus.h"
#include "tests/fakes/recording_view.h"

namespace lumo {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::FakeHidBus;
using ::testing::IsEmpty;
using testing::RecordingView;

const std::string kC3D1 = "\\\\?\\hid#vid_5a7e&pid_c3d1&mi_00#7&1a2b3c&0&0000#{4d1e55b2}";
const std::string k7B16 = "\\\\?\\hid#vid_5a7e&pid_7b16&mi_00#7&2b3c4d&0&0000#{4d1e55b2}";
const std::string kMouse = "\\\\?\\hid#vid_046d&pid_c52b&mi_00#7&3c4d5e&0&0000#{4d1e55b2}";
const std::string kCaps = "\\\\?\\HID#VID_5A7E&PID_C3D1&MI_00#7&1A2B3C&0&0000#{4d1e55b2}";
const std::string kSecondInterface =
    "\\\\?\\hid#vid_5a7e&pid_c3d1&mi_01#7&4d5e6f&0&0000#{4d1e55b2}";
const std::string kPercent = "\\\\?\\hid#vid_5a7e&pid_c3d1&mi_00#7&1a%2b%3c&0&0000#{4d1e55b2}";

enum class Handle { Unchanged, Invalid, Open };

struct SearchCase {
    const char* name;
    std::function<void(FakeHidBus&)> setup;
    bool variant_before;
    bool result;
    Handle handle;
    bool connected;
    bool variant_after;
    std::vector<std::string> opened;
};
void PrintTo(const SearchCase& c, std::ostream* os) { *os << c.name; }

class FindDeviceCases : public ::testing::TestWithParam<SearchCase> {};

TEST_P(FindDeviceCases, LeavesTheStateOfItsOutcome) {
    const SearchCase& c = GetParam();
    FakeHidBus bus;
    RecordingView view;
    c.setup(bus);
    DeviceLinkState state;
    state.bVariantDevice = c.variant_before;
    DeviceLink link(state, bus, view, view);

    EXPECT_EQ(link.FindDevice(), c.result);

    switch (c.handle) {
        case Handle::Unchanged:
            EXPECT_EQ(state.hDevice, kNullHandle);
            break;
        case Handle::Invalid:
            EXPECT_EQ(state.hDevice, kInvalidHandle);
            break;
        case Handle::Open:
            EXPECT_TRUE(bus.open_handles.contains(state.hDevice));
            EXPECT_EQ(bus.input_buffers[state.hDevice], 200u);
            break;
    }
    EXPECT_EQ(state.bConnected, c.connected);
    EXPECT_EQ(state.bVariantDevice, c.variant_after);
    EXPECT_THAT(bus.opened, ElementsAreArray(c.opened));
    EXPECT_EQ(bus.sets_live, 0) << "the interface set was not released";
    EXPECT_EQ(bus.open_handles.size(), c.connected ? 1u : 0u);
    EXPECT_THAT(view.log, IsEmpty());  // the search shows nothing itself
}

void Plug(FakeHidBus& bus, std::initializer_list<std::string> paths) {
    for (const auto& p : paths) bus.Plug(p);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, FindDeviceCases,
    ::testing::Values(
        SearchCase{"no_set",
                   [](auto& b) {
                       b.fail_list = true;
                       Plug(b, {kC3D1});
                   },
                   false,
                   false,
                   Handle::Unchanged,
                   false,
                   false,
                   {}},
        SearchCase{
            "no_interfaces", [](auto&) {}, false, false, Handle::Unchanged, false, false, {}},
        SearchCase{"no_match_keeps_flag",
                   [](auto& b) { Plug(b, {kMouse}); },
                   true,
                   false,
                   Handle::Unchanged,
                   false,
                   true,
                   {}},
        SearchCase{"capital_letters_do_not_match",
                   [](auto& b) { Plug(b, {kCaps}); },
                   false,
                   false,
                   Handle::Unchanged,
                   false,
                   false,
                   {}},
        SearchCase{"second_interface_of_composite",
                   [](auto& b) {
                       Plug(b, {kMouse, kSecondInterface});
                   },
                   false,
                   true,
                   Handle::Open,
                   true,
                   false,
                   {kSecondInterface}},
        SearchCase{"percent_signs_compared_unchanged",
                   [](auto& b) { Plug(b, {kPercent}); },
                   false,
                   true,
                   Handle::Open,
                   true,
                   false,
                   {kPercent}},
        SearchCase{"variant_listed_first_wins",
                   [](auto& b) {
                       Plug(b, {k7B16, kC3D1});
                   },
                   false,
                   true,
                   Handle::Open,
                   true,
                   true,
                   {k7B16}},
        SearchCase{"primary_listed_first_wins",
                   [](auto& b) {
                       Plug(b, {kC3D1, k7B16});
                   },
                   false,
                   true,
                   Handle::Open,
                   true,
                   false,
                   {kC3D1}},
        SearchCase{"first_match_cannot_be_opened",
                   [](auto& b) {
                       Plug(b, {k7B16, kC3D1});
                       b.interfaces[0].refuse_open = true;
                   },
                   false,
                   false,
                   Handle::Invalid,
                   false,
                   true,
                   {k7B16}},
        SearchCase{"probe_fails_keeps_handle",
                   [](auto& b) {
                       Plug(b, {kC3D1});
                       b.interfaces[0].refuse_probe = true;
                   },
                   false,
                   false,
                   Handle::Open,
                   true,
                   false,
                   {kC3D1}},
        SearchCase{"path_size_not_reported",
                   [](auto& b) {
                       Plug(b, {kMouse, kC3D1});
                       b.interfaces[0].hide_path_size = true;
                   },
                   false,
                   false,
                   Handle::Unchanged,
                   false,
                   false,
                   {}},
        SearchCase{"path_request_fails",
                   [](auto& b) {
                       Plug(b, {kC3D1});
                       b.interfaces[0].fail_path_read = true;
                   },
                   false,
                   false,
                   Handle::Unchanged,
                   false,
                   false,
                   {}},
        SearchCase{"enumeration_fails",
                   [](auto& b) {
                       Plug(b, {kMouse, kC3D1});
                       b.fail_enum_at = 1;
                   },
                   false,
                   false,
                   Handle::Unchanged,
                   false,
                   false,
                   {}},
        // A stale flag from an earlier product 0x7B16 match never survives a new match.
        SearchCase{"match_sets_flag_from_its_path",
                   [](auto& b) { Plug(b, {kC3D1}); },
                   true,
                   true,
                   Handle::Open,
                   true,
                   false,
                   {kC3D1}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FindDevice, LaterInterfacesAreNeverLookedAt) {
    FakeHidBus bus;
    RecordingView view;
    Plug(bus, {kMouse, k7B16, kC3D1});
    bus.interfaces[1].refuse_open = true;
    DeviceLinkState state;
    DeviceLink link(state, bus, view, view);

    link.FindDevice();

    EXPECT_THAT(bus.paths_read, ElementsAre(kMouse, k7B16));
}

// Arrival and removal, from each state, with what the user sees and the pauses in order.
struct ChangeCase {
    const char* name;
    bool connected_before;
    std::function<void(FakeHidBus&)> change;  // what happens on the bus before the event
    unsigned event;
    bool connected_after;
    std::vector<std::string> log;
    bool searched;
};
void PrintTo(const ChangeCase& c, std::ostream* os) { *os << c.name; }

class DeviceChangeCases : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(DeviceChangeCases, FollowsTheDevice) {
    const ChangeCase& c = GetParam();
    FakeHidBus bus;
    RecordingView view;
    DeviceLinkState state;
    DeviceLink link(state, bus, view, view);
    bus.Plug(kMouse);
    if (c.connected_before) {
        bus.Plug(k7B16);
        ASSERT_TRUE(link.FindDevice());
        ASSERT_TRUE(state.bVariantDevice);
    } else {
        state.bVariantDevice = true;  // left by an earlier match
    }
    const HidHandle before = state.hDevice;
    const int sets_before = bus.sets_created;
    c.change(bus);

    EXPECT_TRUE(link.OnDeviceChange(c.event, 0));

    EXPECT_EQ(state.bConnected, c.connected_after);
    EXPECT_THAT(view.log, ElementsAreArray(c.log));
    EXPECT_EQ(bus.sets_created > sets_before, c.searched);
    EXPECT_EQ(bus.sets_live, 0);
    EXPECT_EQ(bus.bad_closes, 0);
    EXPECT_EQ(bus.open_handles.size(), c.connected_after ? 1u : 0u);
    if (c.connected_before && c.event == kDeviceRemoveComplete) {
        EXPECT_FALSE(bus.open_handles.contains(before)) << "the old handle was not closed";
        if (!c.connected_after) {
            EXPECT_EQ(state.hDevice, kInvalidHandle);
            EXPECT_FALSE(state.bVariantDevice);
        }
    } else if (!c.connected_before && !c.connected_after) {
        EXPECT_TRUE(state.bVariantDevice) << "only the removal path clears the flag";
    }
}

const std::vector<std::string> kShownOnArrival = {
    "caption:Device Connected", "note: ", "percent:0%", "progress:0", "pause:250"};
const std::vector<std::string> kShownOnReopen = {"caption:Device Disconnected",
                                                 "caption:Device Connected", "progress:0",
                                                 "percent:0%", "note: "};
void Nothing(FakeHidBus&) {}

INSTANTIATE_TEST_SUITE_P(
    States, DeviceChangeCases,
    ::testing::Values(
        ChangeCase{"arrival_opens_device", false, [](auto& b) { b.Plug(kC3D1); }, kDeviceArrival,
                   true, kShownOnArrival, true},
        ChangeCase{"arrival_opens_device_probe_fails",
                   false,
                   [](auto& b) { b.Plug(kC3D1).refuse_probe = true; },
                   kDeviceArrival,
                   true,
                   {},
                   true},
        ChangeCase{"arrival_opens_nothing", false, Nothing, kDeviceArrival, false, {}, true},
        ChangeCase{
            "removal_while_not_connected", false, Nothing, kDeviceRemoveComplete, false, {}, false},
        ChangeCase{"arrival_while_connected",
                   true,
                   [](auto& b) { b.Plug(kC3D1); },
                   kDeviceArrival,
                   true,
                   {},
                   false},
        ChangeCase{"removal_of_another_interface_reopens", true, [](auto& b) { b.Unplug(kMouse); },
                   kDeviceRemoveComplete, true, kShownOnReopen, true},
        ChangeCase{"removal_of_the_device",
                   true,
                   [](auto& b) { b.Unplug(k7B16); },
                   kDeviceRemoveComplete,
                   false,
                   {"caption:Device Disconnected"},
                   true},
        ChangeCase{"other_event_while_connected",
                   true,
                   [](auto& b) { b.Unplug(k7B16); },
                   0x0007 /* DBT_DEVNODES_CHANGED */,
                   true,
                   {},
                   false},
        ChangeCase{"query_remove_while_connected", true, Nothing, 0x8001, true, {}, false},
        ChangeCase{"other_event_while_not_connected",
                   false,
                   [](auto& b) { b.Plug(kC3D1); },
                   0x8003,
                   false,
                   {},
                   false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceChange, OnePlugWithSeveralArrivalsSearchesUntilOpened) {
    FakeHidBus bus;
    RecordingView view;
    DeviceLinkState state;
    DeviceLink link(state, bus, view, view);

    link.OnDeviceChange(kDeviceArrival, 0);  // an interface that is not the device yet
    bus.Plug(kC3D1);
    link.OnDeviceChange(kDeviceArrival, 0);
    link.OnDeviceChange(kDeviceArrival, 0);
    link.OnDeviceChange(kDeviceArrival, 0);

    EXPECT_EQ(bus.sets_created, 2);
    EXPECT_THAT(bus.opened, ElementsAre(kC3D1));
    EXPECT_THAT(view.log, ElementsAreArray(kShownOnArrival));
}

TEST(DeviceChange, OneUnplugWithSeveralRemovalsClosesOnce) {
    FakeHidBus bus;
    RecordingView view;
    DeviceLinkState state;
    DeviceLink link(state, bus, view, view);
    bus.Plug(kC3D1);
    ASSERT_TRUE(link.FindDevice());

    bus.Unplug(kC3D1);
    for (int i = 0; i < 3; ++i) link.OnDeviceChange(kDeviceRemoveComplete, 0);

    EXPECT_EQ(bus.sets_created, 2);
    EXPECT_EQ(bus.bad_closes, 0);
    EXPECT_THAT(view.log, ElementsAre("caption:Device Disconnected"));
}

}  // namespace
}  // namespace lumo
