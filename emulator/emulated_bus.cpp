#include "emulator/emulated_bus.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/input.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include <umockdev.h>

#include "emulator/udev_db.h"
#include "firmware/firmware_image.h"
#include "protocol/update_report.h"

namespace lumo::emulator {

namespace {

constexpr int kHidrawMajor = 247;
constexpr const char* kRootHub = "/sys/devices/pci0000:00/0000:00:14.0/usb1";

// Report ID 1: a 2-byte input report and a 62-byte output report, vendor-defined, so that
// Windows sees 3-byte input and 63-byte output reports.
const std::vector<std::uint8_t> kOrvelDescriptor = {
    0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x85, 0x01,        //   Report ID (1)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x09, 0x02,        //   Usage (2)
    0x95, 0x02,        //   Report Count (2)
    0x81, 0x02,        //   Input (Data, Var, Abs)
    0x09, 0x03,        //   Usage (3)
    0x95, 0x3E,        //   Report Count (62)
    0x91, 0x02,        //   Output (Data, Var, Abs)
    0xC0,              // End Collection
};

// A plain boot keyboard without LEDs: the unrelated device.
const std::vector<std::uint8_t> kKeyboardDescriptor = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00,
    0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01,
    0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65,
    0x81, 0x00, 0xC0,
};

const std::uint8_t kReply[UPDATE_REPLY_SIZE] = {UPDATE_REPORT_ID, UPDATE_CMD_START, 0x00};

std::string Hex4(std::uint16_t v, bool upper) {
    char buf[8];
    std::snprintf(buf, sizeof buf, upper ? "%04X" : "%04x", v);
    return buf;
}

std::string AddDevice(UMockdevTestbed* tb, const char* subsystem, const std::string& name,
                      const char* parent, std::vector<std::string> attrs,
                      std::vector<std::string> props) {
    std::vector<gchar*> a, p;
    for (auto& s : attrs) a.push_back(s.data());
    a.push_back(nullptr);
    for (auto& s : props) p.push_back(s.data());
    p.push_back(nullptr);
    gchar* path = umockdev_testbed_add_devicev(tb, subsystem, name.c_str(), parent, a.data(), p.data());
    std::string out = path ? path : "";
    g_free(path);
    return out;
}

// A handler knows its node by minor number, looked up under the bus's mutex: a node can be
// released while umockdev's worker thread is about to call in for it.
struct NodeLink {
    EmulatedBus* bus;
    int minor;
};

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto* link = static_cast<NodeLink*>(data);
    return link->bus->HandleIoctl(link->minor, client);
}

gboolean OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto* link = static_cast<NodeLink*>(data);
    return link->bus->HandleWrite(link->minor, client);
}

void FreeLink(gpointer data, GClosure*) { delete static_cast<NodeLink*>(data); }

// How many of a stream's units not delivered its verdict names.
constexpr std::size_t kMissedNamed = 5;

// Copies `bytes` into the client's buffer that the ioctl argument points to.
bool CopyOut(UMockdevIoctlClient* client, const void* bytes, std::size_t n) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    GError* err = nullptr;
    UMockdevIoctlData* buf = umockdev_ioctl_data_resolve(arg, 0, n, &err);
    if (!buf) {
        if (err) g_error_free(err);
        return false;
    }
    std::memcpy(buf->data, bytes, n);
    umockdev_ioctl_data_unref(buf);
    return true;
}

void CopyString(UMockdevIoctlClient* client, const std::string& s, std::size_t len) {
    const std::size_t n = std::min(len, s.size() + 1);
    if (n == 0) {
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    if (!CopyOut(client, s.c_str(), n)) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    umockdev_ioctl_client_complete(client, static_cast<glong>(n), 0);
}

}  // namespace

struct EmulatedBus::Timed {
    EmulatedBus* bus;
    void (*fn)(EmulatedBus*, void*);
    void* arg;
};

EmulatedBus::EmulatedBus(UMockdevTestbed* testbed, BusOptions options, Scenario scenario)
    : testbed_(testbed), options_(options), scenario_(std::move(scenario)) {
    const bool variant = options_.product == kVariantProduct;
    main_.number = 1;
    main_.port = scenario_.device_port.value_or("1-1");
    main_.vendor = kOrvelVendor;
    main_.product = options_.product;
    main_.name = "Orvel Orvel-M8 Bootloader";
    main_.serial = scenario_.device_serial.value_or(variant ? "M8V-000101" : "M8P-000101");
    main_.descriptor = kOrvelDescriptor;
    main_.model = ModelFor(variant);

    second_.number = 2;
    second_.port = "1-2";
    second_.vendor = kOrvelVendor;
    second_.product = variant ? kPrimaryProduct : kVariantProduct;
    second_.name = main_.name;
    second_.serial = variant ? "M8P-000202" : "M8V-000202";
    second_.descriptor = kOrvelDescriptor;
    second_.model = std::make_unique<BootloaderModel>(
        variant ? g_firmwarePrimary.bytes() : g_firmwareVariant.bytes(),
        variant ? "primary" : "variant");

    unrelated_.number = 3;
    unrelated_.port = "1-3";
    unrelated_.vendor = 0x046D;
    unrelated_.product = 0xC31C;
    unrelated_.name = "Generic USB Keyboard";
    unrelated_.serial = "";
    unrelated_.descriptor = kKeyboardDescriptor;

    for (const ExtraUnit& wanted : scenario_.units) {
        auto unit = std::make_unique<Device>();
        unit->number = static_cast<int>(4 + units_.size());
        unit->unit = wanted.name;
        unit->port = wanted.port;
        unit->vendor = kOrvelVendor;
        unit->product = wanted.variant ? kVariantProduct : kPrimaryProduct;
        unit->name = main_.name;
        unit->serial = wanted.serial;
        unit->descriptor = kOrvelDescriptor;
        unit->model = ModelFor(wanted.variant);
        unit->never_answers_start = wanted.never_answers_start;
        units_.push_back(std::move(unit));
    }

    // Two devices on one port would share their sysfs entries. With a stream, device 1 is
    // never plugged in.
    std::vector<std::string> ports;
    if (scenario_.stream) {
        ports = scenario_.stream->ports;
        stream_slots_.resize(ports.size());
    } else {
        ports.push_back(main_.port);
    }
    if (scenario_.second_device) ports.push_back(second_.port);
    if (scenario_.unrelated_at_start || !scenario_.unrelated.empty())
        ports.push_back(unrelated_.port);
    for (const auto& unit : units_) ports.push_back(unit->port);
    std::sort(ports.begin(), ports.end());
    if (const auto twice = std::adjacent_find(ports.begin(), ports.end()); twice != ports.end())
        testbed_error_ = "two devices on port " + *twice;

    fault_used_.assign(scenario_.faults.size(), false);
    unplug_used_.assign(scenario_.unplugs.size(), false);
    unit_plug_used_.assign(scenario_.units.size(), false);
}

EmulatedBus::~EmulatedBus() {
    for (auto& [minor, n] : nodes_)
        if (n->master_fd >= 0) close(n->master_fd);
}

std::unique_ptr<BootloaderModel> EmulatedBus::ModelFor(bool variant) const {
    if (!options_.image.empty() && variant == (options_.product == kVariantProduct))
        return std::make_unique<BootloaderModel>(options_.image, options_.image_name);
    return std::make_unique<BootloaderModel>(
        variant ? g_firmwareVariant.bytes() : g_firmwarePrimary.bytes(),
        variant ? "variant" : "primary");
}

double EmulatedBus::NowMs() const {
    if (!clock_started_) return 0.0;
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_)
        .count();
}

void EmulatedBus::Log(const Device* d, const Node* n, const std::string& kind,
                      const std::string& block, const std::string& status,
                      const std::string& detail) {
    std::string node = n ? n->devnode.substr(n->devnode.rfind('/') + 1) : "-";
    if (options_.transcript) {
        std::fprintf(options_.transcript, "%.3f %d %s %s %s %s%s%s\n", NowMs(), d ? d->number : 0,
                     node.c_str(), kind.c_str(), block.c_str(), status.c_str(),
                     detail.empty() ? "" : " ", detail.c_str());
        std::fflush(options_.transcript);
    }
    if (options_.verbose && kind != "data")
        std::fprintf(stderr, "emulator: %.3f ms device %d %s %s %s %s %s\n", NowMs(),
                     d ? d->number : 0, node.c_str(), kind.c_str(), block.c_str(),
                     status.c_str(), detail.c_str());
}

int EmulatedBus::RunTimed(void* data) {
    auto* t = static_cast<Timed*>(data);
    t->fn(t->bus, t->arg);
    delete t;
    return G_SOURCE_REMOVE;
}

void EmulatedBus::After(std::uint32_t ms, void (*fn)(EmulatedBus*, void*), void* arg) {
    auto* t = new Timed{this, fn, arg};
    // The default main context is driven by the main thread; attaching is thread-safe.
    g_timeout_add_full(G_PRIORITY_DEFAULT, ms, &EmulatedBus::RunTimed, t, nullptr);
}

std::string EmulatedBus::TestbedRoot() {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    std::string out = root ? root : "";
    g_free(root);
    return out;
}

void EmulatedBus::PlugIn(Device& d) {
    std::lock_guard lock(mutex_);
    if (d.node) return;
    if (!root_hub_made_) {
        AddDevice(testbed_, "usb", "pci0000:00/0000:00:14.0/usb1", nullptr,
                  {"idVendor", "1d6b", "idProduct", "0002", "busnum", "1", "devnum", "1",
                   "product", "xHCI Host Controller", "speed", "480"},
                  {"DEVTYPE", "usb_device", "PRODUCT", "1d6b/2/606", "BUSNUM", "001", "DEVNUM",
                   "001", "DRIVER", "usb"});
        root_hub_made_ = true;
    }
    auto node = std::make_unique<Node>();
    Node* n = node.get();
    n->device = &d;
    const std::string vid = Hex4(d.vendor, false), pid = Hex4(d.product, false);
    const std::string VID = Hex4(d.vendor, true), PID = Hex4(d.product, true);
    const std::string& port = d.port;
    const std::string phys = "usb-0000:00:14.0-" + port.substr(2) + "/input0";
    const int devnum = next_devnum_++;
    const int minor = next_hidraw_++;
    const int seq = next_hid_seq_++;
    char devnum_s[8], seq_s[8];
    std::snprintf(devnum_s, sizeof devnum_s, "%03d", devnum);
    std::snprintf(seq_s, sizeof seq_s, "%04X", seq);
    const std::string product_prop = vid.substr(vid.find_first_not_of('0')) + "/" +
                                     pid.substr(pid.find_first_not_of('0')) + "/100";

    n->usb = AddDevice(testbed_, "usb", port, kRootHub,
                       {"idVendor", vid, "idProduct", pid, "bcdDevice", "0100", "busnum", "1",
                        "devnum", std::to_string(devnum), "manufacturer", "Orvel",
                        "product", d.name, d.serial.empty() ? "bMaxPower" : "serial",
                        d.serial.empty() ? "100mA" : d.serial, "speed", "12",
                        "bNumInterfaces", " 1", "bConfigurationValue", "1",
                        "bDeviceClass", "00"},
                       {"DEVTYPE", "usb_device", "DRIVER", "usb", "PRODUCT", product_prop,
                        "TYPE", "0/0/0", "BUSNUM", "001", "DEVNUM", devnum_s});
    n->interface = AddDevice(testbed_, "usb", port + ":1.0", n->usb.c_str(),
                             {"bInterfaceNumber", "00", "bInterfaceClass", "03",
                              "bInterfaceSubClass", "00", "bInterfaceProtocol", "00",
                              "bAlternateSetting", " 0", "bNumEndpoints", "02"},
                             {"DEVTYPE", "usb_interface", "DRIVER", "usbhid", "PRODUCT",
                              product_prop, "TYPE", "0/0/0", "INTERFACE", "3/0/0", "MODALIAS",
                              "usb:v" + VID + "p" + PID + "d0100dc00dsc00dp00ic03isc00ip00in00"});
    const std::string hid_name = "0003:" + VID + ":" + PID + "." + seq_s;
    n->hid = AddDevice(testbed_, "hid", hid_name, n->interface.c_str(), {},
                       {"DRIVER", "hid-generic", "HID_ID", "0003:0000" + VID + ":0000" + PID,
                        "HID_NAME", d.name, "HID_PHYS", phys, "HID_UNIQ", d.serial, "MODALIAS", "hid:b0003g0001v0000" + VID + "p0000" + PID});
    umockdev_testbed_set_attribute_binary(testbed_, n->hid.c_str(), "report_descriptor",
                                          d.descriptor.data(),
                                          static_cast<gint>(d.descriptor.size()));
    const std::string raw_name = "hidraw" + std::to_string(minor);
    n->devnode = "/dev/" + raw_name;

    // The handler comes first, then the node, then the hidraw entry in sysfs: a host that
    // finds the entry (by enumerating or from the "add" event) and opens the node at once
    // must find umockdev's handler there, or its ioctls fail and its writes bypass the device.
    n->handler = umockdev_ioctl_base_new();
    // Each link goes with its signal connection.
    n->ioctl_signal = g_signal_connect_data(n->handler, "handle-ioctl", G_CALLBACK(OnIoctl),
                                            new NodeLink{this, minor}, FreeLink, GConnectFlags{});
    n->write_signal = g_signal_connect_data(n->handler, "handle-write", G_CALLBACK(OnWrite),
                                            new NodeLink{this, minor}, FreeLink, GConnectFlags{});
    GError* err = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, n->devnode.c_str(), n->handler, &err)) {
        if (testbed_error_.empty())
            testbed_error_ = "cannot attach to " + n->devnode + ": " + (err ? err->message : "?");
        if (err) g_error_free(err);
    }

    // The node: a pseudo-terminal whose far end the device keeps. Replies go in there; the
    // host's writes and ioctls come to the handler.
    int master = -1, slave = -1;
    char pts[256] = {};
    if (openpty(&master, &slave, pts, nullptr, nullptr) == 0) {
        termios tio{};
        tcgetattr(master, &tio);
        cfmakeraw(&tio);
        tcsetattr(master, TCSANOW, &tio);
        close(slave);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        gchar* root = umockdev_testbed_get_root_dir(testbed_);
        const std::string dev_dir = std::string(root) + "/dev";
        const std::string link_path = std::string(root) + n->devnode;
        g_free(root);
        g_mkdir_with_parents(dev_dir.c_str(), 0755);
        if (symlink(pts, link_path.c_str()) != 0 && testbed_error_.empty())
            testbed_error_ = "cannot create " + n->devnode + ": " + std::strerror(errno);
        n->master_fd = master;
    } else if (testbed_error_.empty()) {
        testbed_error_ = std::string("openpty failed: ") + std::strerror(errno);
    }

    // udev has processed the node (its database entry written, access granted) before any
    // listener hears of it, as on a real system: the entry comes before the sysfs entry,
    // whose creation already sends an "add".
    n->minor = minor;
    if (!WriteUdevDbEntry(TestbedRoot(), kHidrawMajor, static_cast<unsigned>(minor)) &&
        testbed_error_.empty())
        testbed_error_ = "cannot write the udev database entry of " + n->devnode;
    const std::string majmin = std::to_string(kHidrawMajor) + ":" + std::to_string(minor);
    n->hidraw = AddDevice(testbed_, "hidraw", "hidraw/" + raw_name, n->hid.c_str(),
                          {"dev", majmin},
                          {"DEVNAME", n->devnode, "MAJOR", std::to_string(kHidrawMajor),
                           "MINOR", std::to_string(minor)});

    if (n->usb.empty() || n->interface.empty() || n->hid.empty() || n->hidraw.empty())
        if (testbed_error_.empty()) testbed_error_ = "cannot add the sysfs entries of " + n->devnode;

    d.node = n;
    nodes_.emplace(minor, std::move(node));
    for (const std::string* p : {&n->usb, &n->interface, &n->hid, &n->hidraw})
        umockdev_testbed_uevent(testbed_, p->c_str(), "add");
    Log(&d, n, "plug", "-", "ok", hid_name + " " + VID + ":" + PID);
}

void EmulatedBus::PullOut(Device& d, const char* why) {
    std::lock_guard lock(mutex_);
    Node* n = d.node;
    if (!n) return;
    n->gone = true;
    d.node = nullptr;
    RemoveUdevDbEntry(TestbedRoot(), kHidrawMajor, static_cast<unsigned>(n->minor));
    // As the kernel does: children first, while their sysfs entries still exist.
    for (const std::string* p : {&n->hidraw, &n->hid, &n->interface, &n->usb})
        umockdev_testbed_uevent(testbed_, p->c_str(), "remove");
    if (n->master_fd >= 0) {
        close(n->master_fd);  // the host's end hangs up
        n->master_fd = -1;
    }
    umockdev_testbed_detach_ioctl(testbed_, n->devnode.c_str(), nullptr);
    for (const std::string* p : {&n->hidraw, &n->hid, &n->interface, &n->usb})
        umockdev_testbed_remove_device(testbed_, p->c_str());
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    unlink((std::string(root) + n->devnode).c_str());
    g_free(root);
    Log(&d, n, "unplug", "-", "ok", why);
}

void EmulatedBus::ReleaseNode(Node* n) {
    // Called with the mutex held, after PullOut: the node is detached and its entries are gone.
    g_signal_handler_disconnect(n->handler, n->ioctl_signal);
    g_signal_handler_disconnect(n->handler, n->write_signal);
    g_object_unref(n->handler);
    nodes_.erase(n->minor);
}

void EmulatedBus::PlugStreamUnit(std::size_t slot) {
    std::lock_guard lock(mutex_);
    const UnitStream& stream = *scenario_.stream;
    if (stream_plugged_ >= stream.count || stream_slots_[slot]) return;
    const std::uint32_t n = ++stream_plugged_;
    const bool variant = options_.product == kVariantProduct;
    auto unit = std::make_unique<Device>();
    unit->number = static_cast<int>(4 + units_.size() + n - 1);
    unit->unit = "#" + std::to_string(n);
    unit->port = stream.ports[slot];
    unit->vendor = kOrvelVendor;
    unit->product = options_.product;
    unit->name = main_.name;
    unit->serial = StreamSerial(stream, n, variant);
    unit->descriptor = kOrvelDescriptor;
    unit->model = ModelFor(variant);
    unit->stream_number = n;
    unit->stream_slot = slot;
    stream_slots_[slot] = std::move(unit);
    PlugIn(*stream_slots_[slot]);
}

void EmulatedBus::PullStreamUnit(std::size_t slot) {
    std::lock_guard lock(mutex_);
    std::unique_ptr<Device> unit = std::move(stream_slots_[slot]);
    if (!unit) return;
    Node* n = unit->node;
    PullOut(*unit, "pulled out after its update");
    if (n) ReleaseNode(n);
    const Verdict verdict = unit->model->Conclude();
    stream_tally_.Add(*unit, verdict);
    if (options_.progress) {
        std::fprintf(options_.progress, "unit %u %s (%s, %s)\n", unit->stream_number,
                     verdict.outcome == Outcome::Delivered ? "delivered" : "not delivered",
                     unit->port.c_str(), verdict.text.c_str());
        std::fflush(options_.progress);
    }
    After(scenario_.stream->plug_after_ms, [](EmulatedBus* bus, void* at) {
        bus->PlugStreamUnit(reinterpret_cast<std::uintptr_t>(at));
    }, reinterpret_cast<void*>(std::uintptr_t{slot}));
}

void EmulatedBus::StreamTally::Add(const Device& unit, const Verdict& verdict) {
    if (verdict.outcome == Outcome::Delivered) {
        ++delivered;
        return;
    }
    ++not_delivered;
    failed = failed || verdict.outcome == Outcome::Failed;
    interrupted = interrupted || verdict.outcome == Outcome::Interrupted;
    if (missed.size() < kMissedNamed)
        missed.push_back("unit " + std::to_string(unit.stream_number) + " (" + unit.port +
                         (unit.serial.empty() ? "" : ", " + unit.serial) + "): " + verdict.text);
}

Verdict EmulatedBus::StreamVerdict() {
    const UnitStream& stream = *scenario_.stream;
    // The units still plugged in count as they stand; those never plugged in as missing.
    StreamTally tally = stream_tally_;
    for (const auto& unit : stream_slots_)
        if (unit) tally.Add(*unit, unit->model->Conclude());
    const std::uint32_t never = stream.count - stream_plugged_;
    const std::string of = std::to_string(tally.delivered) + " of " +
                           std::to_string(stream.count) + " units";
    if (tally.not_delivered == 0 && never == 0) {
        const bool variant = options_.product == kVariantProduct;
        const std::string image = !options_.image.empty() ? options_.image_name
                                  : variant               ? "variant"
                                                          : "primary";
        return {Outcome::Delivered, "delivered byte for byte: " + of + " (" + image + " image, " +
                                        std::to_string(ModelFor(variant)->BlockCount()) +
                                        " blocks)"};
    }
    const Outcome outcome = tally.failed        ? Outcome::Failed
                            : tally.interrupted ? Outcome::Interrupted
                                                : Outcome::NoUpdate;
    std::string text = std::string(outcome == Outcome::Failed        ? "failed"
                                   : outcome == Outcome::Interrupted ? "interrupted"
                                                                     : "no update") +
                       ": " + of + " delivered byte for byte";
    for (const std::string& m : tally.missed) text += "; " + m;
    if (tally.not_delivered > tally.missed.size())
        text += "; " + std::to_string(tally.not_delivered - tally.missed.size()) +
                " more not delivered";
    if (never > 0) text += "; " + std::to_string(never) + " never plugged in";
    return {outcome, text};
}

void EmulatedBus::PlugInitial() {
    // A bus that cannot be built (two devices on one port) is reported, not half built.
    if (!TestbedError().empty()) return;
    if (scenario_.stream) {
        for (std::size_t slot = 0; slot < stream_slots_.size(); ++slot) PlugStreamUnit(slot);
    } else if (!scenario_.plug_in_ms) {
        PlugIn(main_);
    }
    if (scenario_.second_device && !scenario_.second_device_ms) PlugIn(second_);
    if (scenario_.unrelated_at_start) PlugIn(unrelated_);
    for (std::size_t i = 0; i < units_.size(); ++i)
        if (!scenario_.units[i].plug_in_ms && !scenario_.units[i].plug_in_after_block)
            PlugIn(*units_[i]);
}

Device* EmulatedBus::Target(const Unplug& u) {
    if (u.unit.empty()) return &main_;
    for (const auto& unit : units_)
        if (unit->unit == u.unit) return unit.get();
    return nullptr;
}

void EmulatedBus::ScheduleUnplug(Device& d, const Unplug& u) {
    // Called with the mutex held, possibly on umockdev's worker thread in the middle of a
    // write; the node already refuses writes. By default the device goes at once, so that the
    // "remove" events are out before the host's next write fails. The mutex keeps testbed
    // calls one at a time.
    if (!u.removal_events_ms) {
        PullOut(d, "pulled out as the scenario says");
        ScheduleReplug(d, u);
        return;
    }
    // The other order, as when a report is already on its way to a unit being pulled: its write
    // fails first, and udev announces the removal only later.
    struct LateRemoval {
        Device* device;
        const Unplug* unplug;
    };
    After(*u.removal_events_ms, [](EmulatedBus* bus, void* p) {
        const LateRemoval late = *static_cast<LateRemoval*>(p);
        delete static_cast<LateRemoval*>(p);
        bus->PullOut(*late.device, "pulled out as the scenario says, its removal announced late");
        bus->ScheduleReplug(*late.device, *late.unplug);
    }, new LateRemoval{&d, &u});
}

void EmulatedBus::ScheduleReplug(Device& d, const Unplug& u) {
    if (u.replug_ms)
        After(*u.replug_ms, [](EmulatedBus* bus, void* dev) {
            bus->PlugIn(*static_cast<Device*>(dev));
        }, &d);
}

void EmulatedBus::StartClock(std::chrono::steady_clock::time_point start) {
    std::lock_guard lock(mutex_);
    start_ = start;
    clock_started_ = true;
    auto plug = [](EmulatedBus* bus, void* dev) { bus->PlugIn(*static_cast<Device*>(dev)); };
    auto unplug = [](EmulatedBus* bus, void* dev) {
        bus->PullOut(*static_cast<Device*>(dev), "pulled out as the scenario says");
    };
    if (scenario_.plug_in_ms) After(*scenario_.plug_in_ms, plug, &main_);
    if (scenario_.second_device_ms) After(*scenario_.second_device_ms, plug, &second_);
    if (scenario_.second_device_removed_ms)
        After(*scenario_.second_device_removed_ms, unplug, &second_);
    for (const auto& t : scenario_.unrelated) After(t.at_ms, t.add ? plug : unplug, &unrelated_);
    for (std::size_t i = 0; i < units_.size(); ++i)
        if (scenario_.units[i].plug_in_ms) After(*scenario_.units[i].plug_in_ms, plug, units_[i].get());
    for (std::size_t i = 0; i < scenario_.unplugs.size(); ++i) {
        const Unplug& u = scenario_.unplugs[i];
        if (u.trigger != Unplug::Trigger::AfterMs) continue;
        unplug_used_[i] = true;
        auto* unit = new std::pair<EmulatedBus*, const Unplug*>(this, &u);
        After(u.value, [](EmulatedBus*, void* p) {
            auto* unit = static_cast<std::pair<EmulatedBus*, const Unplug*>*>(p);
            std::lock_guard lock(unit->first->mutex_);
            Device* d = unit->first->Target(*unit->second);
            if (d && d->node) {
                d->node->gone = true;
                unit->first->ScheduleUnplug(*d, *unit->second);
            }
            delete unit;
        }, unit);
    }
}

void EmulatedBus::UnplugAll() {
    for (Device* d : {&main_, &second_, &unrelated_}) PullOut(*d, "end of the run");
    for (const auto& unit : units_) PullOut(*unit, "end of the run");
    for (const auto& unit : stream_slots_)
        if (unit) PullOut(*unit, "end of the run");
}

bool EmulatedBus::HandleIoctl(int minor, UMockdevIoctlClient* client) {
    std::lock_guard lock(mutex_);
    const auto it = nodes_.find(minor);
    if (it == nodes_.end()) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    return HandleIoctl(it->second.get(), client);
}

bool EmulatedBus::HandleWrite(int minor, UMockdevIoctlClient* client) {
    std::lock_guard lock(mutex_);
    const auto it = nodes_.find(minor);
    if (it == nodes_.end()) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    return HandleWrite(it->second.get(), client);
}

bool EmulatedBus::HandleIoctl(Node* n, UMockdevIoctlClient* client) {
    std::lock_guard lock(mutex_);
    const gulong request = umockdev_ioctl_client_get_request(client);
    const Device& d = *n->device;
    if (_IOC_TYPE(request) != 'H') {
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
    if (n->gone) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    const std::size_t size = _IOC_SIZE(request);
    switch (_IOC_NR(request)) {
    case _IOC_NR(HIDIOCGRDESCSIZE): {
        const int n_bytes = static_cast<int>(d.descriptor.size());
        umockdev_ioctl_client_complete(client, CopyOut(client, &n_bytes, sizeof n_bytes) ? 0 : -1,
                                       0);
        return TRUE;
    }
    case _IOC_NR(HIDIOCGRDESC): {
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        GError* err = nullptr;
        UMockdevIoctlData* buf =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_report_descriptor), &err);
        if (!buf) {
            if (err) g_error_free(err);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        auto* desc = reinterpret_cast<hidraw_report_descriptor*>(buf->data);
        if (desc->size > HID_MAX_DESCRIPTOR_SIZE) {
            umockdev_ioctl_data_unref(buf);
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return TRUE;
        }
        const std::size_t n_bytes = std::min<std::size_t>(desc->size, d.descriptor.size());
        std::memcpy(desc->value, d.descriptor.data(), n_bytes);
        umockdev_ioctl_data_unref(buf);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case _IOC_NR(HIDIOCGRAWINFO): {
        hidraw_devinfo info{};
        info.bustype = BUS_USB;
        info.vendor = static_cast<__s16>(d.vendor);
        info.product = static_cast<__s16>(d.product);
        umockdev_ioctl_client_complete(client, CopyOut(client, &info, sizeof info) ? 0 : -1, 0);
        return TRUE;
    }
    case 0x04:  // HIDIOCGRAWNAME(len)
        CopyString(client, d.name, size);
        return TRUE;
    case 0x05:  // HIDIOCGRAWPHYS(len)
        CopyString(client, "usb-0000:00:14.0-" + d.port.substr(2) + "/input0", size);
        return TRUE;
    case 0x08:  // HIDIOCGRAWUNIQ(len)
        CopyString(client, d.serial, size);
        return TRUE;
    default:
        // Feature, input and output report requests: the device has no such reports.
        umockdev_ioctl_client_complete(client, -1, EPIPE);
        return TRUE;
    }
}

bool EmulatedBus::HandleWrite(Node* n, UMockdevIoctlClient* client) {
    std::lock_guard lock(mutex_);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(arg->data),
                                              static_cast<std::size_t>(arg->data_len));
    Device& d = *n->device;
    ++d.writes_seen;
    const bool looks_like_data = bytes.size() == UPDATE_REPORT_SIZE &&
                                 bytes[0] == UPDATE_REPORT_ID && bytes[1] == UPDATE_CMD_DATA;
    const std::uint32_t index = looks_like_data ? (bytes[3] | (std::uint32_t{bytes[4]} << 8)) : 0;
    const std::string block = looks_like_data ? std::to_string(index) : "-";
    if (n->gone) {
        Log(&d, n, "write", block, "refused", "the device has been pulled out");
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    if (!d.model) {
        Log(&d, n, "write", "-", "bad", "a report was written to the unrelated device");
        umockdev_ioctl_client_complete(client, static_cast<glong>(bytes.size()), 0);
        return TRUE;
    }

    // Scenario faults concern device 1 only.
    const bool is_data = looks_like_data && d.number == 1;
    std::optional<std::uint32_t> stall_ms;
    if (is_data) {
        for (std::size_t i = 0; i < scenario_.faults.size(); ++i) {
            if (fault_used_[i] || scenario_.faults[i].block != index) continue;
            fault_used_[i] = true;
            if (scenario_.faults[i].times_out) {
                TimeOut(d, n, block, client);
                return TRUE;
            }
            if (scenario_.faults[i].stall_ms) {
                stall_ms = scenario_.faults[i].stall_ms;
                continue;
            }
            Log(&d, n, "data", block, "failed", "the write fails (EIO) as the scenario says");
            umockdev_ioctl_client_complete(client, -1, EIO);
            return TRUE;
        }
        for (std::size_t i = 0; i < scenario_.unplugs.size(); ++i) {
            const Unplug& u = scenario_.unplugs[i];
            if (unplug_used_[i] || u.trigger != Unplug::Trigger::AtBlock || u.value != index ||
                Target(u) != &d)
                continue;
            unplug_used_[i] = true;
            n->gone = true;
            Log(&d, n, "data", block, "failed", "the device is pulled out during this write");
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            ScheduleUnplug(d, u);
            return TRUE;
        }
    }

    const Judgement j = d.model->Take(bytes);
    Log(&d, n, j.kind, j.block ? std::to_string(*j.block) : "-", j.problem.empty() ? "ok" : "bad",
        j.problem);
    if (j.answer) {
        if ((scenario_.never_answer_start && d.number == 1) || d.never_answers_start) {
            Log(&d, n, "reply", "-", "withheld", "the scenario says never to answer");
        } else {
            const ssize_t w = n->master_fd >= 0 ? ::write(n->master_fd, kReply, sizeof kReply) : -1;
            Log(&d, n, "reply", "-", w == static_cast<ssize_t>(sizeof kReply) ? "sent" : "failed",
                w < 0 ? std::strerror(errno) : "");
        }
    }
    if (d.stream_number && j.kind == "finish" && !d.done) {
        d.done = true;
        After(scenario_.stream->pull_after_done_ms, [](EmulatedBus* bus, void* at) {
            bus->PullStreamUnit(reinterpret_cast<std::uintptr_t>(at));
        }, reinterpret_cast<void*>(std::uintptr_t{d.stream_slot}));
    }
    if (looks_like_data && d.number == 1) {
        if (scenario_.unrelated_removed_after_block == index && !unrelated_removal_used_) {
            unrelated_removal_used_ = true;
            After(0, [](EmulatedBus* bus, void* dev) {
                bus->PullOut(*static_cast<Device*>(dev), "pulled out as the scenario says");
            }, &unrelated_);
        }
        for (std::size_t i = 0; i < units_.size(); ++i) {
            if (scenario_.units[i].plug_in_after_block != index || unit_plug_used_[i]) continue;
            unit_plug_used_[i] = true;
            After(0, [](EmulatedBus* bus, void* dev) {
                bus->PlugIn(*static_cast<Device*>(dev));
            }, units_[i].get());
        }
    }
    if (looks_like_data) {
        for (std::size_t i = 0; i < scenario_.unplugs.size(); ++i) {
            const Unplug& u = scenario_.unplugs[i];
            if (unplug_used_[i] || u.trigger != Unplug::Trigger::AfterBlock || u.value != index ||
                Target(u) != &d)
                continue;
            unplug_used_[i] = true;
            n->gone = true;
            ScheduleUnplug(d, u);
            break;
        }
    }
    if (stall_ms) {
        Log(&d, n, "stall", block, "ok", "the write returns after " + std::to_string(*stall_ms) +
                                             " ms");
        g_object_ref(client);
        After(*stall_ms, [](EmulatedBus*, void* c) {
            auto* cl = static_cast<UMockdevIoctlClient*>(c);
            UMockdevIoctlData* a = umockdev_ioctl_client_get_arg(cl);
            umockdev_ioctl_client_complete(cl, a ? a->data_len : 0, 0);
            g_object_unref(cl);
        }, client);
        return TRUE;
    }
    umockdev_ioctl_client_complete(client, static_cast<glong>(bytes.size()), 0);
    return TRUE;
}

std::vector<EmulatedBus::UnitVerdict> EmulatedBus::ConcludeUnits() {
    std::lock_guard lock(mutex_);
    std::vector<UnitVerdict> out;
    for (std::size_t i = 0; i < units_.size(); ++i) {
        out.push_back({units_[i]->unit, units_[i]->model->Conclude(),
                       ParseOutcome(scenario_.units[i].expect).value_or(Outcome::NoUpdate)});
    }
    return out;
}

void EmulatedBus::TimeOut(Device& d, Node* n, const std::string& block,
                          UMockdevIoctlClient* client) {
    Log(&d, n, "stall", block, "ok",
        "the device does not take it; the write fails after " +
            std::to_string(kKernelWriteTimeoutMs) + " ms as the scenario says");
    struct Held {
        Device* device;
        Node* node;
        std::string block;
        UMockdevIoctlClient* client;
    };
    g_object_ref(client);
    After(kKernelWriteTimeoutMs, [](EmulatedBus* bus, void* p) {
        auto* held = static_cast<Held*>(p);
        {
            std::lock_guard lock(bus->mutex_);
            bus->Log(held->device, held->node, "write", held->block, "failed",
                     "timed out (ETIMEDOUT)");
        }
        umockdev_ioctl_client_complete(held->client, -1, ETIMEDOUT);
        g_object_unref(held->client);
        delete held;
    }, new Held{&d, n, block, client});
}

std::string EmulatedBus::TestbedError() {
    std::lock_guard lock(mutex_);
    return testbed_error_;
}

Verdict EmulatedBus::Conclude() {
    std::lock_guard lock(mutex_);
    if (unrelated_.writes_seen > 0)
        return {Outcome::Failed, "failed: a report was written to the unrelated device"};
    if (scenario_.stream) return StreamVerdict();
    const bool first = main_.model->Touched(), second = second_.model->Touched();
    if (first && second) {
        const Verdict a = main_.model->Conclude(), b = second_.model->Conclude();
        return {Outcome::Failed, "failed: reports reached both devices (first: " + a.text +
                                     "; second: " + b.text + ")"};
    }
    if (second) {
        Verdict v = second_.model->Conclude();
        v.text += " on the second device";
        return v;
    }
    return main_.model->Conclude();
}

}  // namespace lumo::emulator
