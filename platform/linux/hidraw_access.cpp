#include "platform/linux/hidraw_access.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ostream>
#include <vector>

#include "platform/linux/hid_path.h"
#include "platform/linux/unit_identity.h"
#include "platform/path_list_interface_set.h"

namespace lumo::linux_hid {

namespace {

using Clock = std::chrono::steady_clock;

int Fd(HidHandle h) { return IsOpenHandle(h) ? static_cast<int>(h - 1) : -1; }

int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool WaitUntil(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, MsLeft(deadline));
        if (r > 0) return (p.revents & events) != 0;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

// The composed path of one hidraw device, or nothing when it has no node or no HID parent.
std::optional<std::string> PathOf(udev_device* hidraw) {
    const char* devnode = udev_device_get_devnode(hidraw);
    udev_device* hid = udev_device_get_parent_with_subsystem_devtype(hidraw, "hid", nullptr);
    if (!devnode || !hid) return std::nullopt;
    const char* hid_id = udev_device_get_property_value(hid, "HID_ID");
    auto id = hid_id ? ParseHidId(hid_id) : std::nullopt;
    if (!id) return std::nullopt;
    if (id->bus == kBusUsb) {
        udev_device* intf =
            udev_device_get_parent_with_subsystem_devtype(hidraw, "usb", "usb_interface");
        const char* number =
            intf ? udev_device_get_sysattr_value(intf, "bInterfaceNumber") : nullptr;
        if (number) {
            id->usb_interface = static_cast<unsigned>(std::strtoul(number, nullptr, 16));
        } else if (const char* phys = udev_device_get_property_value(hid, "HID_PHYS")) {
            id->usb_interface = InterfaceFromPhys(phys);
        }
    }
    const char* instance = udev_device_get_sysname(hid);
    return ComposeHidPath(*id, instance ? instance : "", devnode);
}

}  // namespace

bool WaitReady(int fd, short events, unsigned timeout_ms) {
    return WaitUntil(fd, events, Clock::now() + std::chrono::milliseconds(timeout_ms));
}

HidrawAccess::HidrawAccess(std::ostream& diagnostics, std::string rule_file, std::string program)
    : udev_(udev_new()),
      diagnostics_(diagnostics),
      rule_file_(std::move(rule_file)),
      program_(std::move(program)) {}

HidrawAccess::~HidrawAccess() {
    if (udev_) udev_unref(udev_);
}

std::unique_ptr<HidInterfaceSet> HidrawAccess::ListInterfaces() {
    if (!udev_) return nullptr;
    udev_enumerate* e = udev_enumerate_new(udev_);
    if (!e) return nullptr;
    std::vector<std::string> paths;
    std::vector<UnitIdentity> units;
    // Only nodes udev has finished with: until it has applied the rules (the uaccess tag
    // among them) the node may be root's alone, and opening it would fail on a correctly
    // set-up system. The arrival event that follows udev's work brings a new search.
    if (udev_enumerate_add_match_subsystem(e, "hidraw") >= 0 &&
        udev_enumerate_add_match_is_initialized(e) >= 0 && udev_enumerate_scan_devices(e) >= 0) {
        udev_list_entry* entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
            udev_device* dev = udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry));
            if (!dev) continue;
            if (auto path = PathOf(dev)) {
                paths.push_back(std::move(*path));
                units.push_back(UnitIdentityOf(dev));
            }
            udev_device_unref(dev);
        }
    }
    udev_enumerate_unref(e);
    return std::make_unique<PathListInterfaceSet>(std::move(paths), std::move(units));
}

HidHandle HidrawAccess::Open(std::string_view path) {
    const std::string node = NodeFromHidPath(path);
    if (node.empty()) return kInvalidHandle;
    const int fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        ReportOpenFailure(node, errno);
        return kInvalidHandle;
    }
    reported_nodes_.erase(node);
    return static_cast<HidHandle>(fd) + 1;
}

void HidrawAccess::ReportOpenFailure(const std::string& node, int error) {
    // A node that went away between the listing and the open is no fault to report: the
    // device was unplugged, or its node is not there yet and the next arrival finds it.
    if (error == ENOENT || error == ENODEV || error == ENXIO) return;
    if (!reported_nodes_.insert(node).second) return;
    diagnostics_ << program_ << ": cannot open " << node << ": " << std::strerror(error);
    if (error == EACCES || error == EPERM) {
        diagnostics_ << ". The udev rule " << rule_file_
                     << " lets the logged-in user open the device: install it (cmake --install),"
                        " run 'udevadm control --reload' and plug the device in again.";
    }
    diagnostics_ << std::endl;
}

bool HidrawAccess::SetNumInputBuffers(HidHandle h, unsigned /*count*/) {
    return Fd(h) >= 0;  // hidraw's queue has a fixed depth (see the header)
}

bool HidrawAccess::Probe(HidHandle h) {
    const int fd = Fd(h);
    if (fd < 0) return false;
    int size = 0;
    if (ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0 || size <= 0 || size > HID_MAX_DESCRIPTOR_SIZE)
        return false;
    hidraw_report_descriptor descriptor{};
    descriptor.size = static_cast<__u32>(size);
    return ioctl(fd, HIDIOCGRDESC, &descriptor) >= 0;
}

bool HidrawAccess::WriteReport(HidHandle h, const UpdateReport& report) {
    const int fd = Fd(h);
    if (fd < 0) return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(HID_WRITE_TIMEOUT_MS);
    std::size_t done = 0;
    // hidraw takes a report whole in one write; the loop only matters for nodes that are
    // streams underneath (an emulated device's pseudo-terminal).
    while (done < report.bytes.size()) {
        if (!WaitUntil(fd, POLLOUT, deadline)) return false;
        const ssize_t n = write(fd, report.bytes.data() + done, report.bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool HidrawAccess::ReadReply(HidHandle h) {
    const int fd = Fd(h);
    if (fd < 0) return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(HID_REPLY_TIMEOUT_MS);
    std::uint8_t reply[UPDATE_REPLY_SIZE];
    for (;;) {
        if (!WaitUntil(fd, POLLIN, deadline)) return false;
        // One read takes one input report; its bytes are not looked at.
        const ssize_t n = read(fd, reply, sizeof reply);
        if (n > 0) return true;
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) return false;
    }
}

void HidrawAccess::Close(HidHandle h) {
    const int fd = Fd(h);
    if (fd >= 0) close(fd);
}

}  // namespace lumo::linux_hid
