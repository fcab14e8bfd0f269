// A small host for the emulator's own tests: finds the emulated device through libudev,
// speaks plain open/write/poll/read on its hidraw node, and streams an image built with the
// project's report builders, with or without a deliberate flaw. Every wait is bounded.
//
//   hidraw_client stream [FLAW] [--follow] [--may-fail] [--watch-removal]
//                                            FLAW: none, corrupt-byte, skip-block,
//                                            repeat-block, wrong-finish, short-report,
//                                            no-start, stop-at-100
//                                            --follow: after a failed write, wait for the
//                                            device to come back and go on there, as the
//                                            tool does; --may-fail: a failed write ends the
//                                            stream with status 0; --watch-removal: after
//                                            a failed write, says whether udev had announced
//                                            the removal by then or did so later
//   hidraw_client start-only                  start report, then read the reply (must come)
//   hidraw_client no-reply                    start report; the reply must not come
//   hidraw_client describe                    prints what udev and the ioctls say
//   hidraw_client descriptor-file [PLUGS]      the HID device's sysfs report_descriptor
//                                            holds the descriptor ioctl's bytes, on PLUGS
//                                            plug-ins in turn (default 1)
//   hidraw_client monitor MS EVENT...         waits up to MS ms for the events in order,
//                                            e.g. add:hidraw0 remove:hidraw0 add:hidraw1
//   hidraw_client station COUNT [IMAGE] [--corrupt-unit K]
//                                            streams to each node that appears, one after
//                                            another, until COUNT nodes had their stream
//                                            (IMAGE: this file instead of the built-in
//                                            image); the K-th gets a wrong byte; prints each
//                                            node's serial
#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "firmware/firmware_image.h"
#include "protocol/update_report.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Found {
    std::string devnode;
    std::string path;  // as the Linux backend composes it: vid_xxxx&pid_xxxx&mi_nn
    std::string hid_syspath;
    unsigned product = 0;
};

std::string Attr(udev_device* d, const char* name) {
    const char* v = d ? udev_device_get_sysattr_value(d, name) : nullptr;
    return v ? v : "";
}

// The first hidraw node whose USB device is vendor 5a7e, with the path composed from udev,
// leaving out `skip_node` and the nodes `skip` says to.
bool FindDevice(Found& out, const std::string& skip_node = "",
                const std::vector<std::string>* skip = nullptr) {
    udev* u = udev_new();
    udev_enumerate* e = udev_enumerate_new(u);
    udev_enumerate_add_match_subsystem(e, "hidraw");
    udev_enumerate_scan_devices(e);
    bool found = false;
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
        udev_device* raw = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
        if (!raw) continue;
        udev_device* hid = udev_device_get_parent_with_subsystem_devtype(raw, "hid", nullptr);
        udev_device* intf =
            udev_device_get_parent_with_subsystem_devtype(raw, "usb", "usb_interface");
        udev_device* usb = udev_device_get_parent_with_subsystem_devtype(raw, "usb", "usb_device");
        const char* node = udev_device_get_devnode(raw);
        const std::string vid = Attr(usb, "idVendor"), pid = Attr(usb, "idProduct");
        const char* hid_id = hid ? udev_device_get_property_value(hid, "HID_ID") : nullptr;
        if (node && hid_id && vid == "5a7e" && skip_node != node &&
            !(skip && std::find(skip->begin(), skip->end(), node) != skip->end())) {
            out.devnode = node;
            out.path = "vid_" + vid + "&pid_" + pid + "&mi_" + Attr(intf, "bInterfaceNumber");
            out.product = static_cast<unsigned>(std::stoul(pid, nullptr, 16));
            out.hid_syspath = udev_device_get_syspath(hid);
            found = true;
        }
        udev_device_unref(raw);
        if (found) break;
    }
    udev_enumerate_unref(e);
    udev_unref(u);
    return found;
}

bool WriteReport(int fd, const std::uint8_t* bytes, std::size_t n) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 1000) != 1 || !(p.revents & POLLOUT)) return false;
    return write(fd, bytes, n) == static_cast<ssize_t>(n);
}

bool ReadReply(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1 || !(p.revents & POLLIN)) return false;
    std::uint8_t buf[lumo::UPDATE_REPLY_SIZE];
    return read(fd, buf, sizeof buf) > 0;
}

int OpenFound(Found& f, int wait_ms, const std::string& skip = "") {
    const auto until = Clock::now() + std::chrono::milliseconds(wait_ms);
    while (!FindDevice(f, skip)) {
        if (Clock::now() > until) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return open(f.devnode.c_str(), O_RDWR | O_CLOEXEC);
}

// A udev monitor of hidraw nodes, open for the life of the object.
class RemovalWatch {
  public:
    RemovalWatch() : udev_(udev_new()), monitor_(udev_monitor_new_from_netlink(udev_, "udev")) {
        udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr);
        udev_monitor_enable_receiving(monitor_);
    }
    ~RemovalWatch() {
        udev_monitor_unref(monitor_);
        udev_unref(udev_);
    }
    RemovalWatch(const RemovalWatch&) = delete;
    RemovalWatch& operator=(const RemovalWatch&) = delete;

    // Whether a "remove" of `node` comes within `ms` (0: whether one is already queued).
    bool Removed(const std::string& node, int ms) {
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            pollfd p{udev_monitor_get_fd(monitor_), POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0))) != 1) return false;
            udev_device* d = udev_monitor_receive_device(monitor_);
            if (!d) continue;
            const bool removed = std::string(udev_device_get_action(d)) == "remove" &&
                                 node == udev_device_get_devnode(d);
            udev_device_unref(d);
            if (removed) return true;
        }
    }

  private:
    udev* udev_;
    udev_monitor* monitor_;
};

// After a failed write: whether the host could have known of the removal before it wrote.
void SayWhenRemovalCame(RemovalWatch& watch, const std::string& node) {
    if (watch.Removed(node, 0)) {
        std::printf("client: the removal was announced before the write failed\n");
    } else if (watch.Removed(node, 5000)) {
        std::printf("client: the removal was announced after the write failed\n");
    } else {
        std::printf("client: no removal announced\n");
    }
}

int Stream(const std::string& flaw, bool follow, bool may_fail, bool watch_removal) {
    std::optional<RemovalWatch> watch;
    if (watch_removal) watch.emplace();
    Found f;
    int fd = OpenFound(f, 5000);
    if (fd < 0) {
        std::fprintf(stderr, "client: no device\n");
        return 1;
    }
    std::printf("client: found %s %s\n", f.devnode.c_str(), f.path.c_str());
    const auto& image = lumo::SelectFirmwareImage(f.product == 0x7B16);
    if (flaw != "no-start") {
        const auto start = lumo::BuildStartReport();
        if (!WriteReport(fd, start.bytes.data(), start.bytes.size()) || !ReadReply(fd, 5000)) {
            std::fprintf(stderr, "client: start failed\n");
            return 1;
        }
    }
    const auto bytes = image.bytes();
    lumo::UpdateReport last;
    std::uint32_t index = 0;
    for (std::size_t offset = 0; offset < bytes.size(); offset += lumo::UPDATE_BLOCK_SIZE, ++index) {
        auto block = bytes.subspan(offset, std::min(lumo::UPDATE_BLOCK_SIZE, bytes.size() - offset));
        lumo::UpdateReport r = lumo::BuildDataReport(index, block);
        last = r;
        if (flaw == "stop-at-100" && index == 100) return 0;
        if (flaw == "skip-block" && index == 7) continue;
        if (flaw == "corrupt-byte" && index == 5) r.bytes[20] ^= 0x01;
        std::size_t size = r.bytes.size();
        if (flaw == "short-report" && index == 3) size = 62;
        for (int attempt = 0;; ++attempt) {
            if (WriteReport(fd, r.bytes.data(), size)) break;
            if (!follow || attempt > 0) {
                std::printf("client: write of block %u failed: %s\n", index, std::strerror(errno));
                if (watch) SayWhenRemovalCame(*watch, f.devnode);
                return may_fail ? 0 : 1;
            }
            // The device went away: wait for it to come back under a new node, go on there.
            const std::string old = f.devnode;
            close(fd);
            fd = OpenFound(f, 5000, old);
            if (fd < 0) {
                std::fprintf(stderr, "client: the device did not come back\n");
                return 1;
            }
            std::printf("client: resumed on %s at block %u\n", f.devnode.c_str(), index);
        }
        if (flaw == "repeat-block" && index == 9) WriteReport(fd, r.bytes.data(), size);
    }
    lumo::UpdateReport finish = lumo::BuildFinishReport(last);
    if (flaw == "wrong-finish") finish.bytes[30] ^= 0xFF;
    if (!WriteReport(fd, finish.bytes.data(), finish.bytes.size())) {
        std::fprintf(stderr, "client: finish failed\n");
        return 1;
    }
    close(fd);
    return 0;
}

// A whole update of `image` to the node open as `fd`; `corrupt` flips a byte of block 2.
bool StreamImage(int fd, std::span<const std::uint8_t> image, bool corrupt) {
    const auto start = lumo::BuildStartReport();
    if (!WriteReport(fd, start.bytes.data(), start.bytes.size()) || !ReadReply(fd, 5000))
        return false;
    lumo::UpdateReport last;
    std::uint32_t index = 0;
    for (std::size_t offset = 0; offset < image.size(); offset += lumo::UPDATE_BLOCK_SIZE, ++index) {
        last = lumo::BuildDataReport(
            index, image.subspan(offset, std::min(lumo::UPDATE_BLOCK_SIZE, image.size() - offset)));
        lumo::UpdateReport sent = last;
        if (corrupt && index == 2) sent.bytes[20] ^= 0x01;
        if (!WriteReport(fd, sent.bytes.data(), sent.bytes.size())) return false;
    }
    const lumo::UpdateReport finish = lumo::BuildFinishReport(last);
    return WriteReport(fd, finish.bytes.data(), finish.bytes.size());
}

int Station(int count, const std::string& image_file, int corrupt_unit) {
    std::vector<std::uint8_t> file;
    if (!image_file.empty()) {
        std::FILE* in = std::fopen(image_file.c_str(), "rb");
        if (!in) return 1;
        std::uint8_t buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, in)) > 0;)
            file.insert(file.end(), buf, buf + n);
        std::fclose(in);
    }
    std::vector<std::string> done;
    for (int unit = 1; unit <= count; ++unit) {
        Found f;
        const auto until = Clock::now() + std::chrono::seconds(10);
        while (!FindDevice(f, "", &done)) {
            if (Clock::now() > until) {
                std::fprintf(stderr, "client: no unit %d\n", unit);
                return 1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const int fd = open(f.devnode.c_str(), O_RDWR | O_CLOEXEC);
        char serial[256] = {};
        if (fd < 0 || ioctl(fd, HIDIOCGRAWUNIQ(sizeof serial), serial) < 0) return 1;
        const auto image = file.empty() ? lumo::SelectFirmwareImage(f.product == 0x7B16).bytes()
                                        : std::span<const std::uint8_t>(file);
        const bool ok = StreamImage(fd, image, unit == corrupt_unit);
        close(fd);
        std::printf("client: unit %d on %s serial \"%s\"%s\n", unit, f.devnode.c_str(), serial,
                    ok ? "" : " failed");
        if (!ok) return 1;
        done.push_back(f.devnode);
    }
    return 0;
}

int StartOnly(bool expect_reply) {
    Found f;
    const int fd = OpenFound(f, 5000);
    if (fd < 0) return 1;
    const auto start = lumo::BuildStartReport();
    if (!WriteReport(fd, start.bytes.data(), start.bytes.size())) return 1;
    const bool got = ReadReply(fd, expect_reply ? 5000 : 700);
    std::printf("client: reply %s\n", got ? "read" : "not read");
    close(fd);
    return got == expect_reply ? 0 : 1;
}

int Describe() {
    Found f;
    const int fd = OpenFound(f, 5000);
    if (fd < 0) return 1;
    hidraw_devinfo info{};
    int size = 0;
    hidraw_report_descriptor desc{};
    char name[256] = {}, phys[256] = {};
    if (ioctl(fd, HIDIOCGRAWINFO, &info) < 0 || ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0) return 1;
    desc.size = static_cast<__u32>(size);
    if (ioctl(fd, HIDIOCGRDESC, &desc) < 0) return 1;
    if (ioctl(fd, HIDIOCGRAWNAME(sizeof name), name) < 0) return 1;
    if (ioctl(fd, HIDIOCGRAWPHYS(sizeof phys), phys) < 0) return 1;
    std::printf("client: %s %s bus %u vendor %04x product %04x descriptor %d bytes name \"%s\" "
                "phys %s\n", f.devnode.c_str(), f.path.c_str(), info.bustype,
                static_cast<unsigned>(info.vendor) & 0xFFFF,
                static_cast<unsigned>(info.product) & 0xFFFF, size, name, phys);
    close(fd);
    return 0;
}

// Browsers read the descriptor from sysfs, not through the node: both must say the same.
int DescriptorFile(int plugs) {
    std::string previous;
    for (int plug = 1; plug <= plugs; ++plug) {
        Found f;
        const int fd = OpenFound(f, 8000, previous);
        if (fd < 0) {
            std::fprintf(stderr, "client: no device for plug-in %d\n", plug);
            return 1;
        }
        hidraw_report_descriptor desc{};
        int size = 0;
        const bool ioctls = ioctl(fd, HIDIOCGRDESCSIZE, &size) == 0 &&
                            (desc.size = static_cast<__u32>(size), ioctl(fd, HIDIOCGRDESC, &desc) == 0);
        close(fd);
        std::vector<char> file(HID_MAX_DESCRIPTOR_SIZE + 1);
        std::FILE* in = std::fopen((f.hid_syspath + "/report_descriptor").c_str(), "rb");
        const std::size_t n = in ? std::fread(file.data(), 1, file.size(), in) : 0;
        if (in) std::fclose(in);
        const bool same = ioctls && in && n == static_cast<std::size_t>(size) &&
                          std::memcmp(file.data(), desc.value, n) == 0;
        std::printf("client: report_descriptor of %s %s (%zu bytes)\n", f.devnode.c_str(),
                    same ? "matches the ioctl" : "DIFFERS from the ioctl", n);
        if (!same) return 1;
        previous = f.devnode;
    }
    return 0;
}

int Monitor(int ms, const std::vector<std::string>& expected) {
    udev* u = udev_new();
    udev_monitor* m = udev_monitor_new_from_netlink(u, "udev");
    udev_monitor_filter_add_match_subsystem_devtype(m, "hidraw", nullptr);
    udev_monitor_enable_receiving(m);
    std::printf("client: monitoring\n");
    std::fflush(stdout);
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    std::size_t next = 0;
    while (next < expected.size()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{udev_monitor_get_fd(m), POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) != 1) continue;
        udev_device* d = udev_monitor_receive_device(m);
        if (!d) continue;
        const std::string seen =
            std::string(udev_device_get_action(d)) + ":" + udev_device_get_sysname(d);
        std::printf("client: event %s\n", seen.c_str());
        if (seen == expected[next]) ++next;
        udev_device_unref(d);
    }
    udev_monitor_unref(m);
    udev_unref(u);
    return next == expected.size() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return 2;
    int rc = 2;
    if (args[0] == "stream") {
        std::string flaw = "none";
        bool follow = false, may_fail = false, watch_removal = false;
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--follow") follow = true;
            else if (args[i] == "--may-fail") may_fail = true;
            else if (args[i] == "--watch-removal") watch_removal = true;
            else flaw = args[i];
        }
        rc = Stream(flaw, follow, may_fail, watch_removal);
    } else if (args[0] == "start-only") {
        rc = StartOnly(true);
    } else if (args[0] == "no-reply") {
        rc = StartOnly(false);
    } else if (args[0] == "describe") {
        rc = Describe();
    } else if (args[0] == "descriptor-file") {
        rc = DescriptorFile(args.size() >= 2 ? std::stoi(args[1]) : 1);
    } else if (args[0] == "station" && args.size() >= 2) {
        std::string image;
        int corrupt = 0;
        for (std::size_t i = 2; i < args.size(); ++i) {
            if (args[i] == "--corrupt-unit" && i + 1 < args.size()) corrupt = std::stoi(args[++i]);
            else image = args[i];
        }
        rc = Station(std::stoi(args[1]), image, corrupt);
    } else if (args[0] == "monitor" && args.size() >= 2) {
        rc = Monitor(std::stoi(args[1]), {args.begin() + 2, args.end()});
    }
    std::fflush(stdout);
    return rc;
}
