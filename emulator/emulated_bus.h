// The emulated USB bus on umockdev: the sysfs chain of each device (USB device, its
// interface, the HID device, the hidraw node), the /dev/hidrawN node with its ioctls, the
// udev add and remove events, and the scenario that makes devices come and go. Writes to an
// Orvel-M8's node go to its bootloader model; its replies come back through the node.
//
// Threads: umockdev answers the node's ioctls, reads and writes on its own worker thread;
// everything else runs on the thread that drives the GLib main loop. One mutex guards the
// state they share.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/bootloader_model.h"
#include "emulator/scenario.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace lumo::emulator {

inline constexpr std::uint16_t kOrvelVendor = 0x5A7E;
inline constexpr std::uint16_t kPrimaryProduct = 0xC3D1;
inline constexpr std::uint16_t kVariantProduct = 0x7B16;

struct Node;

// One physical device on the bus; it keeps its bootloader state across plug-ins.
struct Device {
    int number = 0;          // 1: the device under update, 2: the second one, 3: unrelated,
                             // 4 on: the scenario's units in the order declared
    std::string unit;        // the scenario's name for it; empty for devices 1 to 3
    std::string port;        // the USB device's sysfs name on the root hub, "1-2" or "1-2.3"
    std::uint16_t vendor = 0, product = 0;
    std::string name;        // HID_NAME
    std::string serial;      // HID_UNIQ and the USB `serial`; empty: the device has none
    std::vector<std::uint8_t> descriptor;
    std::unique_ptr<BootloaderModel> model;  // null for the unrelated device
    Node* node = nullptr;    // the current plug-in; null while unplugged
    std::uint32_t writes_seen = 0;
};

// One plug-in of a device: a fresh set of sysfs entries and a fresh /dev node.
struct Node {
    Device* device = nullptr;
    std::string usb, interface, hid, hidraw;  // sysfs paths
    std::string devnode;                      // /dev/hidrawN
    int minor = 0;                            // of the node's device number
    int master_fd = -1;                       // the device's end of the node
    UMockdevIoctlBase* handler = nullptr;
    bool gone = false;
};

struct BusOptions {
    std::uint16_t product = kPrimaryProduct;
    std::FILE* transcript = nullptr;
    bool verbose = false;
};

class EmulatedBus {
public:
    EmulatedBus(UMockdevTestbed* testbed, BusOptions options, Scenario scenario);
    ~EmulatedBus();

    // Builds what is present before COMMAND starts.
    void PlugInitial();
    // Arms the timed events of the scenario; `start` is when COMMAND started.
    void StartClock(std::chrono::steady_clock::time_point start);
    // Pulls every device out (for the end of the run).
    void UnplugAll();

    // The verdict over devices 1 and 2 (and the unrelated one).
    Verdict Conclude();
    // Each unit of the scenario: its name, verdict and whether that is what it expects.
    struct UnitVerdict {
        std::string name;
        Verdict verdict;
        Outcome expected;
    };
    std::vector<UnitVerdict> ConcludeUnits();

    // The first thing that went wrong while building the testbed; empty when all went well.
    std::string TestbedError();

    // Called by the ioctl glue on umockdev's worker thread.
    bool HandleIoctl(Node* node, UMockdevIoctlClient* client);
    bool HandleWrite(Node* node, UMockdevIoctlClient* client);

private:
    void PlugIn(Device& d);
    void PullOut(Device& d, const char* why);
    void ScheduleUnplug(Device& d, const Unplug& u);
    void ScheduleReplug(Device& d, const Unplug& u);
    Device* Target(const Unplug& u);
    // Holds the write as the kernel does for a report the device does not take, then fails it.
    void TimeOut(Device& d, Node* n, const std::string& block, UMockdevIoctlClient* client);
    void Log(const Device* d, const Node* n, const std::string& kind, const std::string& block,
             const std::string& status, const std::string& detail);
    double NowMs() const;
    std::string TestbedRoot();
    void After(std::uint32_t ms, void (*fn)(EmulatedBus*, void*), void* arg);

    struct Timed;
    static int RunTimed(void* data);

    UMockdevTestbed* testbed_;
    BusOptions options_;
    Scenario scenario_;
    std::recursive_mutex mutex_;
    std::chrono::steady_clock::time_point start_;
    bool clock_started_ = false;

    Device main_, second_, unrelated_;
    std::vector<std::unique_ptr<Device>> units_;  // the scenario's units (devices 4 on)
    std::vector<std::unique_ptr<Node>> nodes_;
    std::vector<bool> fault_used_;
    std::vector<bool> unplug_used_;
    std::size_t next_unplug_ = 0;    // the scenario's next unplug
    int next_hidraw_ = 0;
    int next_hid_seq_ = 1;
    int next_devnum_ = 2;
    bool root_hub_made_ = false;
    std::string testbed_error_;
};

}  // namespace lumo::emulator
