#include "platform/linux/hidraw_access.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <ostream>
#include <thread>
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

// Writes the whole report. hidraw takes a report whole in one write; the loop only matters
// for nodes that are streams underneath (an emulated device's pseudo-terminal).
bool WriteWhole(int fd, const UpdateReport& report, Clock::time_point deadline) {
    std::size_t done = 0;
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

}  // namespace

// The helper thread of one descriptor (see the header): one report at a time is handed over,
// written, and its result handed back.
class HidrawAccess::Writer {
  public:
    static std::shared_ptr<Writer> Start(int fd) {
        auto writer = std::make_shared<Writer>(fd);
        std::thread([writer] { writer->Run(); }).detach();
        return writer;
    }

    explicit Writer(int fd) : fd_(fd) {}

    // Hands the report over and waits until `deadline` for it to be written.
    bool Write(const UpdateReport& report, Clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        // The report before is still in the kernel: this one may only follow it.
        if (!changed_.wait_until(lock, deadline, [this] { return !busy_; })) return false;
        report_ = report;
        deadline_ = deadline;
        busy_ = handed_over_ = true;
        changed_.notify_all();
        if (!changed_.wait_until(lock, deadline, [this] { return !busy_; })) return false;
        return written_;
    }

    // The descriptor is closed as soon as no write of it is in the kernel.
    void Close() {
        std::lock_guard lock(mutex_);
        closing_ = true;
        changed_.notify_all();
    }

  private:
    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return handed_over_ || closing_; });
            if (!handed_over_) break;
            handed_over_ = false;
            const UpdateReport report = report_;
            const auto deadline = deadline_;
            lock.unlock();
            // A report its caller has already given up on is not sent late.
            const bool written = Clock::now() < deadline && WriteWhole(fd_, report, deadline);
            lock.lock();
            written_ = written;
            busy_ = false;
            changed_.notify_all();
        }
        close(fd_);
    }

    const int fd_;
    std::mutex mutex_;
    std::condition_variable changed_;
    UpdateReport report_;
    Clock::time_point deadline_;
    bool handed_over_ = false;  // report_ waits for the helper
    bool busy_ = false;         // from the hand-over until its write has returned
    bool written_ = false;      // the result of the last write
    bool closing_ = false;
};

bool WaitReady(int fd, short events, unsigned timeout_ms) {
    return WaitUntil(fd, events, Clock::now() + std::chrono::milliseconds(timeout_ms));
}

HidrawAccess::HidrawAccess(std::ostream& diagnostics, std::string rule_file, std::string program)
    : udev_(udev_new()),
      diagnostics_(diagnostics),
      rule_file_(std::move(rule_file)),
      program_(std::move(program)) {}

HidrawAccess::~HidrawAccess() {
    for (auto& [fd, writer] : writers_) writer->Close();
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
    // A listing that cannot be made is no listing: "no units" taken from it would make a
    // station forget the units it has updated, and update them again.
    if (udev_enumerate_add_match_subsystem(e, "hidraw") < 0 ||
        udev_enumerate_add_match_is_initialized(e) < 0 || udev_enumerate_scan_devices(e) < 0) {
        udev_enumerate_unref(e);
        return nullptr;
    }
    {
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
    int fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    // udev writes a node's database entry before its rules' uaccess tag has given the user the
    // node, so a node listed just after it came may still refuse the user for a moment.
    while (fd < 0 && (errno == EACCES || errno == EPERM) && NodeIsNew(node)) {
        std::this_thread::sleep_for(kNewNodeRetry);
        fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }
    if (fd < 0) {
        ReportOpenFailure(node, errno);
        return kInvalidHandle;
    }
    reported_nodes_.erase(node);
    return static_cast<HidHandle>(fd) + 1;
}

bool HidrawAccess::NodeIsNew(const std::string& node) {
    struct stat st {};
    if (!udev_ || stat(node.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    udev_device* dev = udev_device_new_from_devnum(udev_, 'c', st.st_rdev);
    if (!dev) return false;
    const unsigned long long age_us = udev_device_get_usec_since_initialized(dev);
    udev_device_unref(dev);
    return age_us > 0 && age_us < kNewNodeUs;
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
    auto& writer = writers_[fd];
    if (!writer) writer = Writer::Start(fd);
    return writer->Write(report, Clock::now() + std::chrono::milliseconds(HID_WRITE_TIMEOUT_MS));
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
    if (fd < 0) return;
    const auto writer = writers_.find(fd);
    if (writer == writers_.end()) {
        close(fd);
        return;
    }
    writer->second->Close();  // its helper closes the descriptor
    writers_.erase(writer);
}

}  // namespace lumo::linux_hid
