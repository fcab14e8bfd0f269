// An in-process umockdev testbed for the Linux HID backend's tests: it fakes the sysfs tree of
// USB HID devices, their /dev/hidrawN nodes (pseudo-terminals whose far end the test holds)
// and the report-descriptor ioctls, and sends udev events. libudev and hidraw I/O in the code
// under test run for real against it. The test binary must run under umockdev's preload;
// RunUnderUmockdev() re-executes it so when it is not, with the library that gives the
// testbed a udev database in front of umockdev's.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct _UMockdevTestbed;
struct _UMockdevIoctlClient;

namespace lumo::testing {

// Re-executes the program under umockdev-wrapper when the preload is missing; returns only
// when it is in place.
void RunUnderUmockdev(int argc, char** argv);

struct EmulatedHid {
    std::uint16_t vendor = 0x5A7E;
    std::uint16_t product = 0xC3D1;
    std::uint16_t bus = 0x0003;
    int usb_interface = 0;  // -1: no USB interface in the sysfs tree
    unsigned instance = 1;  // the HID instance number, .0001
    std::string node = "hidraw0";
    std::string port{};        // the USB device's sysfs name; empty: "1-<instance>"
    std::string hid_uniq{};    // HID_UNIQ of the HID device
    std::string usb_serial{};  // the USB device's `serial` attribute; empty: none
    // False: udev has not finished with the node yet (no database entry), as for a moment
    // after every plug-in; FinishUdev() ends that moment.
    bool initialized = true;
};

class Testbed {
  public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // Adds the device's sysfs tree and node and sends "add" for each of its levels. Returns
    // the hidraw syspath.
    std::string Plug(const EmulatedHid& device);
    // Sends "remove" for the hidraw node and takes its tree away.
    void Unplug(const std::string& hidraw_syspath);
    // udev has processed the node: its database entry is written and "add" goes out.
    void FinishUdev(const std::string& hidraw_syspath);
    void SendEvent(const std::string& syspath, const char* action);

    // The device end of a node: what the program writes arrives here and what is written
    // here reaches the program.
    int DeviceEnd(const std::string& node);
    // Reads exactly `size` bytes from the device end, waiting at most `timeout_ms`.
    std::vector<std::uint8_t> ReadFromDevice(const std::string& node, std::size_t size,
                                             int timeout_ms = 2000);
    void WriteFromDevice(const std::string& node, const std::vector<std::uint8_t>& bytes);

    // When set, the report-descriptor ioctls fail with ENOTTY, as for a node whose handler
    // is not attached.
    std::atomic<bool> refuse_descriptor{false};
    // When above 0, the device takes no report: each write is held in the "kernel" for this
    // long and then fails with ETIMEDOUT, as usbhid gives up on a report after 5 s.
    std::atomic<int> stall_writes_ms{0};

    // Called by the node's handler, on umockdev's thread, for every write: true when the
    // write is held (see stall_writes_ms).
    bool HoldWrite(_UMockdevIoctlClient* client);

  private:
    std::string Root();

    _UMockdevTestbed* testbed_;
    std::vector<void*> handlers_;
    std::map<std::string, unsigned> minors_;  // of each hidraw syspath's node
    std::mutex stalls_mutex_;
    std::vector<std::thread> stalls_;  // each ends a held write
};

}  // namespace lumo::testing
