// The Windows HID backend against the emulated Orvel-M8, under Wine: Wine's HID stack reads
// the emulated hidraw node, so every call here goes through SetupAPI, HID.dll and file I/O for
// real. Each test is one story that CTest runs under its own device scenario, and the
// emulator judges what reached the device; the tests are disabled unless run that way
// (--gtest_also_run_disabled_tests with a filter naming one test).
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/lumo_tool.h"
#include "firmware/firmware_image.h"
#include "platform/win32/win32_hid_access.h"
#include "ports/status_texts.h"
#include "protocol/update_report.h"
#include "tests/fakes/recording_view.h"

namespace lumo {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kOrvel = "vid_5a7e&pid_c3d1";

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

struct Listed {
    std::string path;
    std::size_t reported_size;
};

// Every interface of the set, with the size its path was reported to need.
std::vector<Listed> ListAll(HidAccess& hid) {
    std::vector<Listed> out;
    const std::unique_ptr<HidInterfaceSet> set = hid.ListInterfaces();
    if (!set) return out;
    for (std::uint32_t i = 0; i < 1000 && set->EnumInterface(i); ++i) {
        const std::size_t size = set->PathSize(i);
        std::vector<char> buffer(size + 1, '\x7f');
        if (size == 0 || !set->ReadPath(i, {buffer.data(), size})) continue;
        out.push_back({std::string(buffer.data(), strnlen(buffer.data(), size)), size});
    }
    return out;
}

std::optional<std::string> FindOrvel(HidAccess& hid) {
    for (const Listed& l : ListAll(hid))
        if (l.path.find(kOrvel) != std::string::npos) return l.path;
    return std::nullopt;
}

// The unit of the first interface whose path has `match` in it; nothing when none has.
std::optional<UnitIdentity> UnitOf(HidAccess& hid, const std::string& match) {
    const std::unique_ptr<HidInterfaceSet> set = hid.ListInterfaces();
    if (!set) return std::nullopt;
    for (std::uint32_t i = 0; i < 1000 && set->EnumInterface(i); ++i) {
        const std::size_t size = set->PathSize(i);
        std::vector<char> buffer(size + 1, '\0');
        if (size == 0 || !set->ReadPath(i, {buffer.data(), size})) continue;
        if (std::string(buffer.data()).find(match) == std::string::npos) continue;
        const UnitIdentity unit = set->Identity(i);
        std::printf("unit of %s: port \"%s\" serial \"%s\"\n", buffer.data(), unit.port.c_str(),
                    unit.serial.c_str());
        return unit;
    }
    return std::nullopt;
}

// A window that registers for device-interface notifications and keeps what it hears.
class NotifiedWindow {
public:
    NotifiedWindow() {
        WNDCLASSW cls{};
        cls.lpfnWndProc = Proc;
        cls.hInstance = GetModuleHandleW(nullptr);
        cls.lpszClassName = L"LumoHidTestWindow";
        RegisterClassW(&cls);
        window_ = CreateWindowExW(0, cls.lpszClassName, L"hid test", WS_OVERLAPPEDWINDOW, 0, 0,
                                  100, 100, nullptr, nullptr, cls.hInstance, nullptr);
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        RegisterDeviceInterfaceNotifications(window_);
    }
    ~NotifiedWindow() { DestroyWindow(window_); }

    HWND window() const { return window_; }

    // Handles messages for `ms`.
    void Pump(DWORD ms) { WaitFor(kNoEvent, ms); }

    // Handles messages until an event with this code has come, at most `limit_ms`.
    bool WaitFor(WPARAM event, DWORD limit_ms) {
        const ULONGLONG end = GetTickCount64() + limit_ms;
        for (;;) {
            for (std::size_t i = 0; i < events_.size(); ++i) {
                if (events_[i] == event) {
                    events_.erase(events_.begin(), events_.begin() + static_cast<long>(i) + 1);
                    return true;
                }
            }
            const ULONGLONG now = GetTickCount64();
            if (now >= end) return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now),
                                      QS_ALLINPUT);
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        }
    }

private:
    static constexpr WPARAM kNoEvent = 0xFFFFFFFF;

    static LRESULT CALLBACK Proc(HWND w, UINT message, WPARAM wparam, LPARAM lparam) {
        auto* self = reinterpret_cast<NotifiedWindow*>(GetWindowLongPtrW(w, GWLP_USERDATA));
        if (message == WM_DEVICECHANGE && self != nullptr) {
            self->events_.push_back(wparam);
            std::printf("WM_DEVICECHANGE 0x%04llx\n", static_cast<unsigned long long>(wparam));
            std::fflush(stdout);
            return TRUE;
        }
        return DefWindowProcW(w, message, wparam, lparam);
    }

    HWND window_ = nullptr;
    std::vector<WPARAM> events_;
};

// Opens the emulated device the way the device search does.
HidHandle OpenOrvel(Win32HidAccess& hid) {
    const std::optional<std::string> path = FindOrvel(hid);
    if (!path) return kInvalidHandle;
    const HidHandle h = hid.Open(*path);
    if (IsOpenHandle(h)) hid.SetNumInputBuffers(h, HID_INPUT_BUFFERS);
    return h;
}

std::vector<std::uint8_t> Block(std::uint32_t index) {
    const auto bytes = g_firmwarePrimary.bytes();
    const std::size_t from = std::size_t{index} * UPDATE_BLOCK_SIZE;
    const std::size_t n = std::min<std::size_t>(UPDATE_BLOCK_SIZE, bytes.size() - from);
    return {bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(from + n)};
}

// The core's update through this backend: the device search, the start report and its reply,
// then every tick at once, without the timer's pace. Returns the boxes shown.
std::vector<std::string> RunWholeUpdate(HidAccess& hid) {
    testing::RecordingView view;
    view.answer_yes = true;  // to the question a build with stand-in images asks first
    LumoTool tool(hid, view, view, {.question = &view});
    tool.Start();
    EXPECT_TRUE(tool.IsConnected());
    const auto start = Clock::now();
    tool.OnBnClickedUpdate();
    EXPECT_TRUE(tool.IsUpdating()) << ::testing::PrintToString(view.log);
    for (int tick = 0; tick < 10000 && tool.IsUpdating(); ++tick) tool.OnTimer(UPDATE_TIMER_ID);
    std::printf("update of %u bytes without the timer's pace: %lld ms\n",
                g_firmwarePrimary.length, MsSince(start));
    EXPECT_FALSE(tool.IsUpdating());
    std::vector<std::string> boxes = view.Only("plain:");
    for (const std::string& w : view.Only("warning:")) boxes.push_back(w);
    return boxes;
}

const std::vector<std::string> kSuccessOnly{"plain:" + std::string(text::kSuccess)};

// Scenario: the device is present. The path has the Windows form with the interface part, its
// reported size is exact, and the core finds the device through this backend and delivers the
// whole image (the emulator checks it byte for byte).
TEST(Win32Hid, DISABLED_ListsOpensAndDeliversAnUpdate) {
    Win32HidAccess hid;
    const std::vector<Listed> all = ListAll(hid);
    const Listed* orvel = nullptr;
    for (const Listed& l : all) {
        std::printf("interface %s\n", l.path.c_str());
        EXPECT_EQ(l.reported_size, l.path.size() + 1) << l.path;
        if (l.path.find("vid_5a7e&pid_c3d1&mi_00") != std::string::npos) orvel = &l;
    }
    ASSERT_NE(orvel, nullptr) << "no interface of the emulated device";
    EXPECT_EQ(orvel->path.rfind("\\\\?\\hid#", 0), 0u) << orvel->path;

    const HidHandle h = hid.Open(orvel->path);
    ASSERT_TRUE(IsOpenHandle(h));
    EXPECT_TRUE(hid.SetNumInputBuffers(h, HID_INPUT_BUFFERS));
    EXPECT_TRUE(hid.Probe(h));
    EXPECT_TRUE(hid.Probe(h)) << "the description can be read again: the first was released";
    hid.Close(h);
    EXPECT_FALSE(IsOpenHandle(hid.Open(orvel->path + "x"))) << "a path that names nothing";

    EXPECT_EQ(RunWholeUpdate(hid), kSuccessOnly);
}

// Scenario: the device, a device of the other product and a keyboard without a serial number
// are present. Each Orvel-M8 is known by the serial number it reports; the keyboard's "0000"
// (what Wine reports for a device without one) names no unit. Wine's device tree puts no USB
// device above a HID collection, so no port is known there.
TEST(Win32Hid, DISABLED_UnitsAreKnownBySerialNumber) {
    Win32HidAccess hid;
    const auto ours = UnitOf(hid, "vid_5a7e&pid_c3d1&mi_00");
    const auto other = UnitOf(hid, "vid_5a7e&pid_7b16&mi_00");
    const auto keyboard = UnitOf(hid, "vid_046d&pid_c31c");
    ASSERT_TRUE(ours.has_value());
    ASSERT_TRUE(other.has_value());
    ASSERT_TRUE(keyboard.has_value());
    EXPECT_EQ(*ours, (UnitIdentity{"", "M8P-000101"}));
    EXPECT_EQ(*other, (UnitIdentity{"", "M8V-000202"}));
    EXPECT_FALSE(keyboard->Known());
}

// Scenario: the device holds the write of block 2 for 600 ms, within the write limit. That is
// a slow device, not a failure: the update goes on and is delivered whole.
//
// A write held beyond the limit cannot be shown under Wine: its HID class driver passes a
// write to the device inside the call itself, so WriteFile returns only when the device has
// taken the report, overlapped or not. The time limit and the cancellation are shown with the
// reply read, which takes the same path in this backend.
TEST(Win32Hid, DISABLED_SlowWriteWithinTheLimitGoesThrough) {
    Win32HidAccess hid;
    EXPECT_EQ(RunWholeUpdate(hid), kSuccessOnly);
}

// Scenario: the device takes the start report and never answers. The read gives up after its
// limit, no earlier, and the handle stays usable.
TEST(Win32Hid, DISABLED_ReplyThatNeverComesTimesOut) {
    Win32HidAccess hid;
    const HidHandle h = OpenOrvel(hid);
    ASSERT_TRUE(IsOpenHandle(h));
    ASSERT_TRUE(hid.WriteReport(h, BuildStartReport()));
    const auto start = Clock::now();
    EXPECT_FALSE(hid.ReadReply(h));
    const long long waited = MsSince(start);
    std::printf("the reply read gave up after %lld ms\n", waited);
    EXPECT_GE(waited, HID_REPLY_TIMEOUT_MS - 20);
    EXPECT_TRUE(hid.Probe(h));
    hid.Close(h);
}

// Scenario: the device refuses the write of block 1. The write reports the failure.
TEST(Win32Hid, DISABLED_FailedWriteFails) {
    Win32HidAccess hid;
    const HidHandle h = OpenOrvel(hid);
    ASSERT_TRUE(IsOpenHandle(h));
    ASSERT_TRUE(hid.WriteReport(h, BuildStartReport()));
    ASSERT_TRUE(hid.ReadReply(h));
    EXPECT_TRUE(hid.WriteReport(h, BuildDataReport(0, Block(0))));
    EXPECT_FALSE(hid.WriteReport(h, BuildDataReport(1, Block(1))));
    hid.Close(h);
}

// Scenario: the device is plugged in some seconds after the start, unplugged, then plugged
// back in. A registered window hears of each arrival and removal; the old handle fails once
// the device has gone; the device comes back under a path of the same form, as the same unit.
TEST(Win32Hid, DISABLED_ArrivalAndRemovalAreNotified) {
    Win32HidAccess hid;
    NotifiedWindow window;
    ASSERT_NE(window.window(), nullptr);
    ASSERT_FALSE(FindOrvel(hid)) << "the device should not be there yet";

    ASSERT_TRUE(window.WaitFor(DBT_DEVICEARRIVAL, 30000));
    std::optional<std::string> path;
    for (int i = 0; i < 50 && !(path = FindOrvel(hid)); ++i) window.Pump(100);
    ASSERT_TRUE(path);
    const std::optional<UnitIdentity> unit = UnitOf(hid, kOrvel);
    ASSERT_TRUE(unit && unit->Known());
    const HidHandle h = hid.Open(*path);
    ASSERT_TRUE(IsOpenHandle(h));
    EXPECT_TRUE(hid.Probe(h));

    ASSERT_TRUE(window.WaitFor(DBT_DEVICEREMOVECOMPLETE, 30000));
    EXPECT_FALSE(hid.WriteReport(h, BuildStartReport())) << "the device has gone";
    EXPECT_FALSE(FindOrvel(hid));
    hid.Close(h);

    ASSERT_TRUE(window.WaitFor(DBT_DEVICEARRIVAL, 30000));
    for (int i = 0; i < 50 && !(path = FindOrvel(hid)); ++i) window.Pump(100);
    ASSERT_TRUE(path);
    EXPECT_NE(path->find("vid_5a7e&pid_c3d1&mi_00"), std::string::npos) << *path;
    EXPECT_EQ(UnitOf(hid, kOrvel), unit);
    const HidHandle again = hid.Open(*path);
    ASSERT_TRUE(IsOpenHandle(again));
    EXPECT_TRUE(hid.Probe(again));
    hid.Close(again);
}

}  // namespace
}  // namespace lumo
