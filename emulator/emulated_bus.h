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
#include <map>
#include <mutex>
#include <span>
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
                             // 4 on: the scenario's units in the order declared, then
                             // the stream's units in the order plugged in
    std::string unit;        // the scenario's name for it; empty for devices 1 to 3
    std::string port;        // the USB device's sysfs name on the root hub, "1-2" or "1-2.3"
    std::uint16_t vendor = 0, product = 0;
    std::string name;        // HID_NAME
    std::string serial;      // HID_UNIQ and the USB `serial`; empty: the device has none
    std::vector<std::uint8_t> descriptor;
    std::unique_ptr<BootloaderModel> model;  // null for the unrelated device
    Node* node = nullptr;    // the current plug-in; null while unplugged
    std::uint32_t writes_seen = 0;
    bool never_answers_start = false;
    std::uint32_t stream_number = 0;  // n of the stream's units (from 1); 0: not one of them
    std::size_t stream_slot = 0;      // which of the stream's ports it is plugged into
    bool done = false;                // a stream unit that took its finish report
};

// One plug-in of a device: a fresh set of sysfs entries and a fresh /dev node.
struct Node {
    Device* device = nullptr;
    std::string usb, interface, hid, hidraw;  // sysfs paths
    std::string devnode;                      // /dev/hidrawN
    int minor = 0;                            // of the node's device number
    int master_fd = -1;                       // the device's end of the node
    UMockdevIoctlBase* handler = nullptr;
    unsigned long ioctl_signal = 0, write_signal = 0;
    bool gone = false;
};

struct BusOptions {
    std::uint16_t product = kPrimaryProduct;
    std::FILE* transcript = nullptr;
    bool verbose = false;
    // The image the devices of `product` expect; empty: the built-in one of that product.
    std::span<const std::uint8_t> image{};
    std::string image_name{};
    // Where a line goes as each unit of a stream leaves ("unit N delivered ..."); may be null.
    std::FILE* progress = nullptr;
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

    // The verdict over devices 1 and 2 (and the unrelated one); with a stream of units, over
    // the stream instead of device 1.
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

    // Called by the ioctl glue on umockdev's worker thread, for the node of that minor number
    // (which may have been released since: its calls then fail as on an unplugged node).
    bool HandleIoctl(int minor, UMockdevIoctlClient* client);
    bool HandleWrite(int minor, UMockdevIoctlClient* client);

private:
    bool HandleIoctl(Node* node, UMockdevIoctlClient* client);
    bool HandleWrite(Node* node, UMockdevIoctlClient* client);
    // The expected image of a device of that product, and its name in verdicts.
    std::unique_ptr<BootloaderModel> ModelFor(bool variant) const;
    // The stream of units: a new unit into a port, a unit out of it (judged, then released
    // with its node, so that a long stream holds no more than one unit per port).
    void PlugStreamUnit(std::size_t slot);
    void PullStreamUnit(std::size_t slot);
    void ReleaseNode(Node* node);
    Verdict StreamVerdict();
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
    std::map<int, std::unique_ptr<Node>> nodes_;  // by minor number

    // What is left of each of the stream's units that has gone: counts and a few texts.
    struct StreamTally {
        std::uint32_t delivered = 0, not_delivered = 0;
        bool failed = false, interrupted = false;
        std::vector<std::string> missed;  // the first kMissedNamed units not delivered
        void Add(const Device& unit, const Verdict& verdict);
    };
    std::vector<std::unique_ptr<Device>> stream_slots_;  // the unit in each port, or null
    std::uint32_t stream_plugged_ = 0;
    StreamTally stream_tally_;
    std::vector<bool> fault_used_;
    std::vector<bool> unplug_used_;
    std::vector<bool> unit_plug_used_;  // plug in unit NAME after block K, done
    bool unrelated_removal_used_ = false;  // remove unrelated device after block K, done
    std::size_t next_unplug_ = 0;    // the scenario's next unplug
    int next_hidraw_ = 0;
    int next_hid_seq_ = 1;
    int next_devnum_ = 2;
    bool root_hub_made_ = false;
    std::string testbed_error_;
};

}  // namespace lumo::emulator
