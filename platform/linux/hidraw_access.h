// HID access on Linux: libudev lists the hidraw nodes that udev has finished with (a node it
// is still working on is left for the arrival event that follows), each open interface is a
// file descriptor on its /dev/hidrawN node, and every wait is bounded by poll(2).
//
// Handles are the descriptor plus one, so that descriptor 0 never reads as "never opened".
//
// Writes: hidraw's write() returns only once the device has taken the report or usbhid has
// given up on it (after 5 s), whatever the descriptor's flags, and poll() always finds the
// node writable. So each open descriptor gets a helper thread that performs its writes while
// WriteReport waits at most HID_WRITE_TIMEOUT_MS. A report the caller stopped waiting for
// stays in the kernel until it returns: the descriptor's next report waits for it (within its
// own bound), and Close() leaves the descriptor to the helper, which closes it once the write
// has returned, so its number cannot be reused while the kernel still writes to it.
//
// Input buffers: hidraw queues input reports per open file in a ring of its own (64 reports
// in current kernels) whose size cannot be set from user space. SetNumInputBuffers therefore
// changes nothing and reports success; the tool reads one reply per start report, far below
// either depth.
#pragma once

#include <chrono>
#include <iosfwd>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "ports/hid_access.h"

struct udev;

namespace lumo::linux_hid {

class HidrawAccess : public HidAccess {
  public:
    // `diagnostics` receives one line per node that exists but cannot be opened (until it
    // opens again), naming the node, the reason and, for a permission error, the udev rule
    // that grants access. Nodes that have vanished are not reported.
    // `rule_file` is where that rule is installed; `program` starts each line.
    HidrawAccess(std::ostream& diagnostics, std::string rule_file,
                 std::string program = "Lumo_Tool");
    ~HidrawAccess() override;
    HidrawAccess(const HidrawAccess&) = delete;
    HidrawAccess& operator=(const HidrawAccess&) = delete;

    std::unique_ptr<HidInterfaceSet> ListInterfaces() override;
    HidHandle Open(std::string_view path) override;
    bool SetNumInputBuffers(HidHandle h, unsigned count) override;
    bool Probe(HidHandle h) override;
    bool WriteReport(HidHandle h, const UpdateReport& report) override;
    bool ReadReply(HidHandle h) override;
    void Close(HidHandle h) override;

  private:
    class Writer;

    void ReportOpenFailure(const std::string& node, int error);
    // Whether udev initialised the node less than kNewNodeUs ago.
    bool NodeIsNew(const std::string& node);

    // How long a new node that refuses the user is tried again, and how often.
    static constexpr unsigned long long kNewNodeUs = 1000000;
    static constexpr std::chrono::milliseconds kNewNodeRetry{50};

    udev* udev_;
    std::ostream& diagnostics_;
    std::string rule_file_;
    std::string program_;
    std::set<std::string> reported_nodes_;
    std::map<int, std::shared_ptr<Writer>> writers_;  // by descriptor, from its first write
};

// Waits until `fd` is ready for `events` (POLLIN or POLLOUT) or `timeout_ms` has passed,
// riding out signals. False on time-out, error or hang-up without the event.
bool WaitReady(int fd, short events, unsigned timeout_ms);

}  // namespace lumo::linux_hid
