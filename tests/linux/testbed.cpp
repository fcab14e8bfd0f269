#include "tests/linux/testbed.h"

#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "emulator/udev_db.h"

namespace lumo::testing {

namespace {

constexpr unsigned kHidrawMajor = 245;

// Report ID 1: a 62-byte output report and a 2-byte input report, vendor-defined.
constexpr std::uint8_t kDescriptor[] = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x01, 0x09,
                                        0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x3E,
                                        0x91, 0x02, 0x09, 0x03, 0x95, 0x02, 0x81, 0x02, 0xC0};

// An ioctl handler for one hidraw node, a subclass of umockdev's base handler.
struct HidrawIoctl {
    UMockdevIoctlBase parent;
    const std::atomic<bool>* refuse;
    Testbed* bed;
};
struct HidrawIoctlClass {
    UMockdevIoctlBaseClass parent_class;
};

gboolean HandleIoctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client) {
    auto* self = reinterpret_cast<HidrawIoctl*>(base);
    const gulong request = umockdev_ioctl_client_get_request(client);
    if (self->refuse->load() || (request != HIDIOCGRDESCSIZE && request != HIDIOCGRDESC)) {
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
    const gsize len = request == HIDIOCGRDESCSIZE ? sizeof(int) : sizeof(hidraw_report_descriptor);
    GError* error = nullptr;
    UMockdevIoctlData* data =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, len, &error);
    if (!data) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return TRUE;
    }
    if (request == HIDIOCGRDESCSIZE) {
        const int size = sizeof kDescriptor;
        std::memcpy(data->data, &size, sizeof size);
    } else {
        hidraw_report_descriptor d{};
        d.size = sizeof kDescriptor;
        std::memcpy(d.value, kDescriptor, sizeof kDescriptor);
        std::memcpy(data->data, &d, sizeof d);
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(data);
    return TRUE;
}

// A stalled device holds each write; otherwise the bytes go to the node as written.
gboolean HandleWrite(UMockdevIoctlBase* base, UMockdevIoctlClient* client) {
    auto* self = reinterpret_cast<HidrawIoctl*>(base);
    if (self->bed->HoldWrite(client)) return TRUE;
    auto* parent = static_cast<UMockdevIoctlBaseClass*>(
        g_type_class_peek_parent(G_OBJECT_GET_CLASS(base)));
    return parent->handle_write(base, client);
}

void ClassInit(gpointer klass, gpointer) {
    reinterpret_cast<UMockdevIoctlBaseClass*>(klass)->handle_ioctl = HandleIoctl;
    reinterpret_cast<UMockdevIoctlBaseClass*>(klass)->handle_write = HandleWrite;
}

GType HidrawIoctlType() {
    static const GType type = g_type_register_static_simple(
        UMOCKDEV_TYPE_IOCTL_BASE, "LumoTestHidrawIoctl", sizeof(HidrawIoctlClass), ClassInit,
        sizeof(HidrawIoctl), nullptr, GTypeFlags{});
    return type;
}

std::string Hex(unsigned value, int digits, bool upper) {
    char buf[16];
    std::snprintf(buf, sizeof buf, upper ? "%0*X" : "%0*x", digits, value);
    return buf;
}

std::string Take(gchar* s) {
    std::string out = s ? s : "";
    g_free(s);
    return out;
}

}  // namespace

void RunUnderUmockdev(int /*argc*/, char** argv) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload && std::strstr(preload, "libumockdev-preload") &&
        std::strstr(preload, LUMO_UDEV_DB_PRELOAD))
        return;
    if (std::getenv("LUMO_UMOCKDEV_REEXEC")) {
        std::fprintf(stderr, "umockdev's preload or the udev database's did not load\n");
        std::exit(2);
    }
    setenv("LUMO_UMOCKDEV_REEXEC", "1", 1);
    // Ours first: umockdev's library calls libc directly, past any library after it.
    std::string value = std::string(LUMO_UDEV_DB_PRELOAD) + ":libumockdev-preload.so.0";
    if (preload && *preload) value += std::string(":") + preload;
    setenv("LD_PRELOAD", value.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("re-running under umockdev");
    std::exit(2);
}

Testbed::Testbed() : testbed_(umockdev_testbed_new()) {}

Testbed::~Testbed() {
    {
        std::lock_guard lock(stalls_mutex_);
        for (auto& stall : stalls_) stall.join();
    }
    g_object_unref(testbed_);
    for (void* h : handlers_) g_object_unref(h);
}

std::string Testbed::Plug(const EmulatedHid& d) {
    const std::string usb_name = d.port.empty() ? "1-" + std::to_string(d.instance) : d.port;
    std::string parent;
    if (d.bus == 0x0003) {
        // A device without a serial has no `serial` attribute at all; bcdDevice takes its place.
        const bool serial = !d.usb_serial.empty();
        parent = Take(umockdev_testbed_add_device(
            testbed_, "usb", usb_name.c_str(), nullptr, "idVendor", Hex(d.vendor, 4, false).c_str(),
            "idProduct", Hex(d.product, 4, false).c_str(), serial ? "serial" : "bcdDevice",
            serial ? d.usb_serial.c_str() : "0100", nullptr, "DEVTYPE", "usb_device", nullptr));
        if (d.usb_interface >= 0) {
            const std::string intf = usb_name + ":1." + std::to_string(d.usb_interface);
            parent = Take(umockdev_testbed_add_device(
                testbed_, "usb", intf.c_str(), parent.c_str(), "bInterfaceNumber",
                Hex(static_cast<unsigned>(d.usb_interface), 2, false).c_str(), "bInterfaceClass",
                "03", nullptr, "DEVTYPE", "usb_interface", "INTERFACE", "3/0/0", nullptr));
        }
    }
    const std::string instance = Hex(d.bus, 4, true) + ":" + Hex(d.vendor, 4, true) + ":" +
                                 Hex(d.product, 4, true) + "." + Hex(d.instance, 4, true);
    const std::string hid_id =
        Hex(d.bus, 4, true) + ":" + Hex(d.vendor, 8, true) + ":" + Hex(d.product, 8, true);
    const std::string phys = "usb-0000:00:14.0-" + std::to_string(d.instance) + "/input" +
                             std::to_string(d.usb_interface < 0 ? 0 : d.usb_interface);
    const std::string hid = Take(umockdev_testbed_add_device(
        testbed_, "hid", instance.c_str(), parent.empty() ? nullptr : parent.c_str(), nullptr,
        "HID_ID", hid_id.c_str(), "HID_NAME", "Orvel M8 Bootloader", "HID_PHYS", phys.c_str(),
        "HID_UNIQ", d.hid_uniq.c_str(), nullptr));
    // udev's database entry comes before the node's sysfs entry, whose creation sends "add".
    if (d.initialized && !emulator::WriteUdevDbEntry(Root(), kHidrawMajor, d.instance))
        throw std::runtime_error("cannot write the udev database entry of " + d.node);
    // Only a device described as a record gets a node; a stream node is a pseudo-terminal.
    const std::string devname = "/dev/" + d.node;
    const std::string record =
        "P: " + hid.substr(4) + "/hidraw/" + d.node + "\nN: " + d.node + "\nE: DEVNAME=" + devname +
        "\nE: SUBSYSTEM=hidraw\nE: MAJOR=" + std::to_string(kHidrawMajor) +
        "\nE: MINOR=" + std::to_string(d.instance) + "\nA: dev=" +
        std::to_string(kHidrawMajor) + ":" + std::to_string(d.instance) + "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
        const std::string message = error ? error->message : "add_from_string failed";
        g_clear_error(&error);
        throw std::runtime_error(message);
    }
    const std::string hidraw = "/sys" + hid.substr(4) + "/hidraw/" + d.node;
    minors_[hidraw] = d.instance;

    auto* handler = static_cast<HidrawIoctl*>(g_object_new(HidrawIoctlType(), nullptr));
    handler->refuse = &refuse_descriptor;
    handler->bed = this;
    handlers_.push_back(handler);
    if (!umockdev_testbed_attach_ioctl(testbed_, devname.c_str(),
                                       reinterpret_cast<UMockdevIoctlBase*>(handler), &error)) {
        const std::string message = error ? error->message : "attach_ioctl failed";
        g_clear_error(&error);
        throw std::runtime_error(message);
    }
    return hidraw;
}

void Testbed::Unplug(const std::string& hidraw_syspath) {
    emulator::RemoveUdevDbEntry(Root(), kHidrawMajor, minors_[hidraw_syspath]);
    SendEvent(hidraw_syspath, "remove");
    umockdev_testbed_remove_device(testbed_, hidraw_syspath.c_str());
}

void Testbed::FinishUdev(const std::string& hidraw_syspath) {
    if (!emulator::WriteUdevDbEntry(Root(), kHidrawMajor, minors_.at(hidraw_syspath)))
        throw std::runtime_error("cannot write the udev database entry of " + hidraw_syspath);
    SendEvent(hidraw_syspath, "add");
}

bool Testbed::HoldWrite(_UMockdevIoctlClient* client) {
    const int ms = stall_writes_ms.load();
    if (ms <= 0) return false;
    g_object_ref(client);
    std::lock_guard lock(stalls_mutex_);
    stalls_.emplace_back([client, ms] {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        umockdev_ioctl_client_complete(client, -1, ETIMEDOUT);
        g_object_unref(client);
    });
    return true;
}

std::string Testbed::Root() { return Take(umockdev_testbed_get_root_dir(testbed_)); }

void Testbed::SendEvent(const std::string& syspath, const char* action) {
    umockdev_testbed_uevent(testbed_, syspath.c_str(), action);
}

int Testbed::DeviceEnd(const std::string& node) {
    return umockdev_testbed_get_dev_fd(testbed_, ("/dev/" + node).c_str());
}

std::vector<std::uint8_t> Testbed::ReadFromDevice(const std::string& node, std::size_t size,
                                                  int timeout_ms) {
    const int fd = DeviceEnd(node);
    std::vector<std::uint8_t> out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < size) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        std::uint8_t buf[256];
        const ssize_t n = read(fd, buf, std::min(sizeof buf, size - out.size()));
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR || errno == EIO)) {
                usleep(1000);  // EIO: the program has not opened its end yet
                continue;
            }
            break;
        }
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

void Testbed::WriteFromDevice(const std::string& node, const std::vector<std::uint8_t>& bytes) {
    const ssize_t n = write(DeviceEnd(node), bytes.data(), bytes.size());
    if (n != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("device write failed");
}

}  // namespace lumo::testing
