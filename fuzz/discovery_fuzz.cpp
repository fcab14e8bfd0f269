// Device discovery and the arrival and removal paths over a fuzzed bus: interfaces with any
// path (ours, the other product's, others', any bytes), sizes that are wrong or missing, and
// a failure at each step (the list, the enumeration, the size, the path, the open, the probe),
// with notices and bus changes in any order. After every step: no interface set held, at most
// one handle open and it is the device's, and a device is open only if its path names it.
#include <string>

#include "core/device_link.h"
#include "core/lumo_tool.h"
#include "fuzz/fuzz_check.h"
#include "tests/fakes/fake_hid_bus.h"
#include "tests/fakes/recording_view.h"

using namespace lumo;
using lumo::fuzz::Require;

namespace {

const char* const kPaths[] = {
    "\\\\?\\hid#vid_5a7e&pid_c3d1&mi_00#7&1a2b3c&0&0000#{4d1e55b2}",
    "\\\\?\\hid#vid_5a7e&pid_7b16&mi_00#7&2b3c4d&0&0000#{4d1e55b2}",
    "hid#vid_5a7e&pid_c3d1&mi_01#0003:5a7e:c3d1.0002#/dev/hidraw3",
    "\\\\?\\hid#vid_046d&pid_c52b&mi_00#7&3c4d5e&0&0000#{4d1e55b2}",
    "\\\\?\\HID#VID_5A7E&PID_C3D1&MI_00#7&1A2B3C&0&0000#{4d1e55b2}",
};

void Check(const testing::FakeHidBus& bus, const LumoTool& tool) {
    const DeviceLinkState& link = tool.link_state();
    Require(bus.sets_live == 0, "an interface set not released");
    Require(bus.bad_closes == 0, "a handle closed that was not open");
    Require(bus.open_handles.size() <= 1, "more than one handle open");
    Require(link.bConnected == !bus.open_handles.empty(), "connected without a handle, or not");
    if (link.bConnected) {
        Require(bus.open_handles.contains(link.hDevice), "the open handle is not the device's");
        const std::string& path = bus.opened.back();
        const bool variant = path.find("vid_5a7e&pid_7b16") != std::string::npos;
        Require(variant || path.find("vid_5a7e&pid_c3d1") != std::string::npos,
                "opened a path that names no device of ours");
        Require(link.bVariantDevice == variant, "the image chosen is not the open device's");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    testing::FakeHidBus bus;
    testing::RecordingView view;
    LumoTool tool(bus, view, view);
    tool.Start();
    Check(bus, tool);
    for (int step = 0; step < 64 && !in.Empty(); ++step) {
        const std::uint8_t op = in.Next();
        switch (op % 8) {
        case 0: {  // an interface arrives, at a place in the list
            const std::uint8_t pick = in.Next();
            std::string path = pick % 6 < 5 ? kPaths[pick % 6] : in.String(96);
            testing::FakeInterface i{std::move(path)};
            const std::uint8_t flags = in.Next();
            i.refuse_open = flags & 1;
            i.refuse_probe = flags & 2;
            i.hide_path_size = flags & 4;
            i.fail_path_read = flags & 8;
            if (flags & 16) i.reported_size = in.Next();
            const std::size_t at = bus.interfaces.empty() ? 0 : in.Next() % (bus.interfaces.size() + 1);
            bus.interfaces.insert(bus.interfaces.begin() + static_cast<std::ptrdiff_t>(at), i);
            break;
        }
        case 1:  // one goes
            if (!bus.interfaces.empty())
                bus.interfaces.erase(bus.interfaces.begin() +
                                     static_cast<std::ptrdiff_t>(in.Next() % bus.interfaces.size()));
            break;
        case 2: tool.OnDeviceChange(kDeviceArrival, 0); break;
        case 3: tool.OnDeviceChange(kDeviceRemoveComplete, 0); break;
        case 4: tool.OnDeviceChange(in.Next16(), 0); break;  // any other event
        case 5:
            bus.fail_list = op & 0x10;
            bus.fail_enum_at = op & 0x20 ? in.Next() % 8 : UINT32_MAX;
            break;
        case 6:  // the search alone, as the dialog's start runs it (only while not connected)
            if (!tool.IsConnected()) tool.FindDevice();
            break;
        default: {  // the user presses Update and some ticks pass
            tool.OnBnClickedUpdate();
            for (int t = in.Next() % 4; t > 0; --t) tool.OnTimer(UPDATE_TIMER_ID);
        }
        }
        Check(bus, tool);
    }
    return 0;
}
