// The Linux HID backend against an emulated bus: real libudev enumeration and monitoring,
// real open/poll/read/write/ioctl on the node, umockdev underneath.
#include "platform/linux/hidraw_access.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "core/device_link.h"
#include "platform/linux/hid_path.h"
#include "platform/linux/udev_monitor.h"
#include "protocol/update_report.h"
#include "tests/fakes/recording_view.h"
#include "tests/linux/testbed.h"

namespace lumo::linux_hid {
namespace {

using testing::EmulatedHid;
using testing::RecordingView;
using testing::Testbed;

// ---- path composition (no testbed needed) ----

struct PathCase {
    const char* what;
    HidIdentity id;
    const char* instance;
    const char* expected;
};

void PrintTo(const PathCase& c, std::ostream* os) { *os << c.what; }

class ComposePath : public ::testing::TestWithParam<PathCase> {};

TEST_P(ComposePath, GivesTheWindowsForm) {
    const PathCase& c = GetParam();
    EXPECT_EQ(ComposeHidPath(c.id, c.instance, "/dev/hidraw3"), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Buses, ComposePath,
    ::testing::Values(PathCase{"usb interface 0",
                               {0x0003, 0x5A7E, 0xC3D1, 0u},
                               "0003:5A7E:C3D1.0001",
                               "hid#vid_5a7e&pid_c3d1&mi_00#0003:5a7e:c3d1.0001#/dev/hidraw3"},
                      PathCase{"usb interface 10",
                               {0x0003, 0x5A7E, 0x7B16, 10u},
                               "0003:5A7E:7B16.000A",
                               "hid#vid_5a7e&pid_7b16&mi_0a#0003:5a7e:7b16.000a#/dev/hidraw3"},
                      PathCase{"usb without interface",
                               {0x0003, 0x046D, 0xC31C, std::nullopt},
                               "0003:046D:C31C.0002",
                               "hid#vid_046d&pid_c31c#0003:046d:c31c.0002#/dev/hidraw3"},
                      PathCase{"bluetooth never reads as usb",
                               {0x0005, 0x5A7E, 0xC3D1, std::nullopt},
                               "0005:5A7E:C3D1.0003",
                               "hid#{00001124-0000-1000-8000-00805f9b34fb}_vid&00025a7e_pid&c3d1"
                               "#0005:5a7e:c3d1.0003#/dev/hidraw3"},
                      PathCase{"i2c never reads as usb",
                               {0x0018, 0x5A7E, 0xC3D1, std::nullopt},
                               "0018:5A7E:C3D1.0004",
                               "hid#ven_5a7e&dev_c3d1#0018:5a7e:c3d1.0004#/dev/hidraw3"}),
    [](const ::testing::TestParamInfo<PathCase>& info) {
        std::string name;
        for (const char* c = info.param.what; *c; ++c)
            name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        return name;
    });

TEST(HidPath, NodeIsRecoveredFromTheComposedPath) {
    EXPECT_EQ(NodeFromHidPath("hid#vid_5a7e&pid_c3d1&mi_00#0003:5a7e:c3d1.0001#/dev/hidraw12"),
              "/dev/hidraw12");
    EXPECT_EQ(NodeFromHidPath("/dev/hidraw0"), "/dev/hidraw0");
    EXPECT_EQ(NodeFromHidPath("hid#vid_5a7e&pid_c3d1#hidraw0"), "");
    EXPECT_EQ(NodeFromHidPath(""), "");
}

TEST(HidPath, ParsesHidIdAndPhys) {
    const auto id = ParseHidId("0003:00005A7E:0000C3D1");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->bus, 0x0003);
    EXPECT_EQ(id->vendor, 0x5A7E);
    EXPECT_EQ(id->product, 0xC3D1);
    for (const char* bad : {"", "0003", "0003:5A7E", "0003:5A7E:", "0003:1FFFF:0001", "x:1:2"})
        EXPECT_FALSE(ParseHidId(bad)) << bad;

    EXPECT_EQ(InterfaceFromPhys("usb-0000:00:14.0-2/input1"), 1u);
    EXPECT_EQ(InterfaceFromPhys("usb-0000:00:14.0-2/input0"), 0u);
    EXPECT_FALSE(InterfaceFromPhys("usb-0000:00:14.0-2"));
    EXPECT_FALSE(InterfaceFromPhys("usb-0000:00:14.0-2/input"));
    EXPECT_FALSE(InterfaceFromPhys("usb-0000:00:14.0-2/inputX"));
}

// ---- against the emulated bus ----

class Backend : public ::testing::Test {
  protected:
    std::vector<std::string> Paths() {
        std::vector<std::string> out;
        auto set = hid.ListInterfaces();
        if (!set) return out;
        for (std::uint32_t i = 0; set->EnumInterface(i); ++i) {
            std::string buf(set->PathSize(i), '\0');
            if (!buf.empty() && set->ReadPath(i, {buf.data(), buf.size()}))
                out.emplace_back(buf.c_str());
        }
        return out;
    }

    Testbed bed;
    std::ostringstream diagnostics;
    HidrawAccess hid{diagnostics, "70-orvel-m8.rules"};
    RecordingView view;
    DeviceLinkState state;
    DeviceLink link{state, hid, view, view};
};

TEST_F(Backend, ListsEveryHidrawNodeInTheWindowsForm) {
    bed.Plug({.vendor = 0x046D,
              .product = 0xC31C,
              .usb_interface = 1,
              .instance = 1,
              .node = "hidraw0"});
    bed.Plug({.instance = 2, .node = "hidraw1"});
    bed.Plug(
        {.product = 0x7B16, .bus = 0x0005, .usb_interface = -1, .instance = 3, .node = "hidraw2"});
    auto paths = Paths();
    std::sort(paths.begin(), paths.end());  // the bus lists them in sysfs order
    EXPECT_EQ(paths, (std::vector<std::string>{
                         "hid#vid_046d&pid_c31c&mi_01#0003:046d:c31c.0001#/dev/hidraw0",
                         "hid#vid_5a7e&pid_c3d1&mi_00#0003:5a7e:c3d1.0002#/dev/hidraw1",
                         "hid#{00001124-0000-1000-8000-00805f9b34fb}_vid&00025a7e_pid&7b16"
                         "#0005:5a7e:7b16.0003#/dev/hidraw2"}));
}

TEST_F(Backend, InterfaceNumberFallsBackToThePhysicalPath) {
    bed.Plug({.usb_interface = -1, .instance = 1, .node = "hidraw0"});
    EXPECT_EQ(
        Paths(),
        (std::vector<std::string>{"hid#vid_5a7e&pid_c3d1&mi_00#0003:5a7e:c3d1.0001#/dev/hidraw0"}));
}

TEST_F(Backend, EmptyBusGivesAnEmptySet) {
    auto set = hid.ListInterfaces();
    ASSERT_TRUE(set);
    EXPECT_FALSE(set->EnumInterface(0));
    EXPECT_EQ(set->PathSize(0), 0u);
}

TEST_F(Backend, DiscoveryFindsEachProductBehindAnUnrelatedDevice) {
    for (const std::uint16_t product : {0xC3D1, 0x7B16}) {
        Testbed local;
        std::ostringstream diag;
        HidrawAccess access{diag, "70-orvel-m8.rules"};
        DeviceLinkState s;
        DeviceLink l{s, access, view, view};
        local.Plug({.vendor = 0x046D, .product = 0xC31C, .instance = 1, .node = "hidraw0"});
        local.Plug({.product = product, .instance = 2, .node = "hidraw1"});
        ASSERT_TRUE(l.FindDevice()) << std::hex << product;
        EXPECT_TRUE(s.bConnected);
        EXPECT_EQ(s.bVariantDevice, product == 0x7B16);
        access.Close(s.hDevice);
    }
}

// A unit's identity: the USB device's sysfs name and the serial, from HID_UNIQ first.
struct IdentityCase {
    const char* what;
    EmulatedHid device;
    UnitIdentity expected;
};

TEST(BackendIdentity, NamesTheUnitByPortAndSerial) {
    const IdentityCase cases[] = {
        {"port behind a hub, serial from HID_UNIQ",
         {.port = "1-2.3", .hid_uniq = "M8V-000101", .usb_serial = "USB-SERIAL"},
         {"1-2.3", "M8V-000101"}},
        {"serial from the USB device when HID_UNIQ is empty",
         {.port = "3-1", .usb_serial = "M8P-000202"},
         {"3-1", "M8P-000202"}},
        {"no serial at all", {.port = "1-4"}, {"1-4", ""}},
        {"no USB device above the node",
         {.bus = 0x0005, .usb_interface = -1, .hid_uniq = "aa:bb:cc:dd:ee:ff"},
         {"", "aa:bb:cc:dd:ee:ff"}},
    };
    for (const IdentityCase& c : cases) {
        Testbed bed;
        std::ostringstream diag;
        HidrawAccess hid{diag, "70-orvel-m8.rules"};
        bed.Plug(c.device);
        auto set = hid.ListInterfaces();
        ASSERT_TRUE(set && set->EnumInterface(0)) << c.what;
        EXPECT_EQ(set->Identity(0), c.expected) << c.what;
        EXPECT_EQ(set->Identity(1), UnitIdentity{}) << c.what;  // past the end: unknown
    }
}

// Two units listed side by side keep their own identities, in the order of their paths.
TEST(BackendIdentity, EachInterfaceCarriesItsOwnUnit) {
    Testbed bed;
    std::ostringstream diag;
    HidrawAccess hid{diag, "70-orvel-m8.rules"};
    bed.Plug({.product = 0x7B16, .instance = 1, .node = "hidraw0", .port = "1-2"});
    bed.Plug({.product = 0x7B16, .instance = 2, .node = "hidraw1", .port = "1-3",
              .hid_uniq = "M8V-000303"});
    auto set = hid.ListInterfaces();
    ASSERT_TRUE(set);
    std::vector<std::pair<std::string, UnitIdentity>> listed;
    for (std::uint32_t i = 0; set->EnumInterface(i); ++i) {
        std::string buf(set->PathSize(i), '\0');
        ASSERT_TRUE(set->ReadPath(i, {buf.data(), buf.size()}));
        listed.emplace_back(NodeFromHidPath(buf.c_str()), set->Identity(i));
    }
    std::sort(listed.begin(), listed.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].first, "/dev/hidraw0");
    EXPECT_EQ(listed[0].second, (UnitIdentity{"1-2", ""}));
    EXPECT_EQ(listed[1].first, "/dev/hidraw1");
    EXPECT_EQ(listed[1].second, (UnitIdentity{"1-3", "M8V-000303"}));
}

// For a moment after every plug-in the node exists but udev has not applied its rules yet,
// so a user's open would be refused on a correctly set-up system. Such a node is left for
// the arrival that udev sends when it has finished.
TEST_F(Backend, NodeIsListedAndOpenedOnlyOnceUdevHasFinishedWithIt) {
    bed.Plug({.vendor = 0x046D, .product = 0xC31C, .instance = 1, .node = "hidraw0"});
    const std::string syspath = bed.Plug({.instance = 2, .node = "hidraw1", .initialized = false});
    EXPECT_EQ(Paths(), (std::vector<std::string>{
                           "hid#vid_046d&pid_c31c&mi_00#0003:046d:c31c.0001#/dev/hidraw0"}));
    EXPECT_FALSE(link.FindDevice());
    EXPECT_FALSE(state.bConnected);
    EXPECT_EQ(diagnostics.str(), "");

    bed.FinishUdev(syspath);
    ASSERT_TRUE(link.FindDevice());
    EXPECT_TRUE(state.bConnected);
    hid.Close(state.hDevice);
}

TEST_F(Backend, ProbeFailsWhenTheDescriptorCannotBeRead) {
    bed.Plug({});
    bed.refuse_descriptor = true;
    EXPECT_FALSE(link.FindDevice());

    EXPECT_TRUE(state.bConnected)
        << diagnostics.str();  // opened, as on Windows; the probe alone failed
    hid.Close(state.hDevice);
}

TEST_F(Backend, ReportGoesOutWholeAndReplyIsRead) {
    bed.Plug({});
    ASSERT_TRUE(link.FindDevice());
    const UpdateReport start = BuildStartReport();
    ASSERT_TRUE(hid.WriteReport(state.hDevice, start));
    const auto got = bed.ReadFromDevice("hidraw0", UPDATE_REPORT_SIZE);
    EXPECT_EQ(got, std::vector<std::uint8_t>(start.bytes.begin(), start.bytes.end()));

    // Data reports carry every byte value, line-ending bytes included, unaltered.
    std::vector<std::uint8_t> block(56);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 37 + 3);
    block[0] = 0x0A;
    block[1] = 0x0D;
    block[2] = 0x03;
    block[3] = 0x11;
    const UpdateReport data = BuildDataReport(7, block);
    ASSERT_TRUE(hid.WriteReport(state.hDevice, data));
    EXPECT_EQ(bed.ReadFromDevice("hidraw0", UPDATE_REPORT_SIZE),
              std::vector<std::uint8_t>(data.bytes.begin(), data.bytes.end()));

    bed.WriteFromDevice("hidraw0", {0x01, 0x81, 0x00});
    EXPECT_TRUE(hid.ReadReply(state.hDevice));
    hid.Close(state.hDevice);
}

TEST_F(Backend, ReplyWaitGivesUpWhenTheDeviceIsSilent) {
    bed.Plug({});
    ASSERT_TRUE(link.FindDevice());
    EXPECT_FALSE(hid.ReadReply(state.hDevice));
    hid.Close(state.hDevice);
}

TEST_F(Backend, WriteGivesUpWhenTheDeviceTakesNothing) {
    bed.Plug({});
    ASSERT_TRUE(link.FindDevice());
    // Nobody reads the device end: the node's buffer fills and a write must time out.
    bool failed = false;
    for (int i = 0; i < 100000 && !failed; ++i)
        failed = !hid.WriteReport(state.hDevice, BuildStartReport());
    EXPECT_TRUE(failed);
    hid.Close(state.hDevice);
}

// ---- a device that takes no report ----

// The kernel holds such a write until usbhid gives up (5 s); the emulated node holds it for
// this long, shorter to keep the tests short, still far beyond the write's own bound.
constexpr int kKernelGivesUpMs = 3000;
// Separates "waited its bound" from "held for as long as the kernel held the write".
constexpr long long kBounded = 2000;

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool DescriptorOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST_F(Backend, StalledWriteGivesUpAtItsBoundAndTheNextDoesNotOvertakeIt) {
    bed.Plug({});
    ASSERT_TRUE(link.FindDevice());
    bed.stall_writes_ms = kKernelGivesUpMs;
    const auto start = Clock::now();
    EXPECT_FALSE(hid.WriteReport(state.hDevice, BuildStartReport()));
    const long long first = MsSince(start);
    bed.stall_writes_ms = 0;  // the device would take the next one, but the first is in the way
    EXPECT_FALSE(hid.WriteReport(state.hDevice, BuildStartReport()));
    const long long second = MsSince(start) - first;
    std::printf("stalled write gave up after %lld ms, the one after it after %lld ms "
                "(bound %u ms; the kernel held the first for %d ms)\n",
                first, second, HID_WRITE_TIMEOUT_MS, kKernelGivesUpMs);
    EXPECT_LT(first, kBounded);
    EXPECT_LT(second, kBounded);

    // Once the kernel has given up on the first, reports go out again; the second, which its
    // caller gave up on, is not sent late.
    std::this_thread::sleep_until(start + std::chrono::milliseconds(kKernelGivesUpMs + 300));
    const UpdateReport data = BuildDataReport(0, std::vector<std::uint8_t>(56, 0x5A));
    EXPECT_TRUE(hid.WriteReport(state.hDevice, data));
    EXPECT_EQ(bed.ReadFromDevice("hidraw0", UPDATE_REPORT_SIZE),
              std::vector<std::uint8_t>(data.bytes.begin(), data.bytes.end()));
    EXPECT_EQ(bed.ReadFromDevice("hidraw0", 1, 200), std::vector<std::uint8_t>{});
    hid.Close(state.hDevice);
}

TEST_F(Backend, CloseLeavesTheDescriptorToAWriteStillInTheKernel) {
    bed.Plug({});
    ASSERT_TRUE(link.FindDevice());
    const int fd = static_cast<int>(state.hDevice - 1);
    bed.stall_writes_ms = kKernelGivesUpMs;
    const auto start = Clock::now();
    EXPECT_FALSE(hid.WriteReport(state.hDevice, BuildStartReport()));
    hid.Close(state.hDevice);
    EXPECT_LT(MsSince(start), kBounded);

    // Its number stays taken while the kernel writes through it, so a new open gets another.
    EXPECT_TRUE(DescriptorOpen(fd));
    const HidHandle again = hid.Open("hid#vid_5a7e&pid_c3d1&mi_00#0003:5a7e:c3d1.0001#/dev/hidraw0");
    ASSERT_TRUE(IsOpenHandle(again));
    EXPECT_NE(again, state.hDevice);
    // Closed once the write has returned.
    while (DescriptorOpen(fd) && MsSince(start) < kKernelGivesUpMs + 2000)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(DescriptorOpen(fd));
    EXPECT_GE(MsSince(start), kKernelGivesUpMs - 100);
    hid.Close(again);
}

TEST_F(Backend, IoOnHandlesThatAreNotOpenFails) {
    for (const HidHandle h : {kNullHandle, kInvalidHandle}) {
        EXPECT_FALSE(hid.Probe(h));
        EXPECT_FALSE(hid.WriteReport(h, BuildStartReport()));
        EXPECT_FALSE(hid.ReadReply(h));
        hid.Close(h);  // harmless
    }
}

TEST_F(Backend, OpenFailureIsReportedOnceWithItsReason) {
    const std::string dir = std::filesystem::temp_directory_path().string();
    const std::string path = "hid#vid_5a7e&pid_c3d1&mi_00#0003:5a7e:c3d1.0001#" + dir;
    EXPECT_EQ(hid.Open(path), kInvalidHandle);  // a directory: opened for writing, refused
    EXPECT_EQ(hid.Open(path), kInvalidHandle);
    EXPECT_EQ(diagnostics.str(), "Lumo_Tool: cannot open " + dir + ": Is a directory\n");
}

TEST_F(Backend, VanishedNodeIsNotReported) {
    EXPECT_EQ(hid.Open("hid#vid_5a7e&pid_c3d1&mi_00#0003:5a7e:c3d1.0001#/dev/hidraw9"),
              kInvalidHandle);
    EXPECT_EQ(hid.Open("hid#vid_5a7e&pid_c3d1#relative"), kInvalidHandle);
    EXPECT_EQ(diagnostics.str(), "");
}

// A user without access to the node learns which node, why, and which rule grants access.
TEST(BackendPermissions, RefusedNodeNamesTheRuleFile) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("lumo-perm-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto node = dir / "hidraw0";
    {
        const int fd = open(node.c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    chmod(dir.c_str(), 0755);

    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipe_fds[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        std::ostringstream diag;
        HidrawAccess access{diag, "/usr/lib/udev/rules.d/70-orvel-m8.rules"};
        const bool refused =
            access.Open("hid#vid_5a7e&pid_c3d1&mi_00#x#" + node.string()) == kInvalidHandle;
        const std::string text = diag.str();
        if (write(pipe_fds[1], text.data(), text.size()) < 0) _exit(4);
        _exit(refused ? 0 : 5);
    }
    close(pipe_fds[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = read(pipe_fds[0], buf, sizeof buf)) > 0;) text.append(buf, n);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    std::filesystem::remove_all(dir);

    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << text;
    EXPECT_NE(text.find("cannot open " + node.string() + ": Permission denied"), std::string::npos)
        << text;
    EXPECT_NE(text.find("/usr/lib/udev/rules.d/70-orvel-m8.rules"), std::string::npos) << text;
}

// ---- the monitor ----

std::optional<unsigned> NextWithin(UdevHidMonitor& monitor, int timeout_ms) {
    if (!WaitReady(monitor.fd(), POLLIN, static_cast<unsigned>(timeout_ms))) return std::nullopt;
    return monitor.NextEvent();
}

TEST(Monitor, TurnsAddAndRemoveIntoDeviceChangeEvents) {
    Testbed bed;
    UdevHidMonitor monitor;
    ASSERT_GE(monitor.fd(), 0);

    const std::string syspath = bed.Plug({});
    EXPECT_EQ(NextWithin(monitor, 2000), kDeviceArrival);
    EXPECT_EQ(monitor.NextEvent(), std::nullopt);

    bed.SendEvent(syspath, "change");  // neither arrival nor removal
    bed.Unplug(syspath);
    EXPECT_EQ(NextWithin(monitor, 2000), kDeviceRemoveComplete);
    EXPECT_EQ(monitor.NextEvent(), std::nullopt);
}

}  // namespace
}  // namespace lumo::linux_hid

int main(int argc, char** argv) {
    lumo::testing::RunUnderUmockdev(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
