// Arrival and removal of hidraw nodes, from a udev monitor on the "udev" netlink source,
// translated into the device-change events the device link takes. The dialog watches fd()
// and drains NextEvent() whenever it becomes readable.
//
// The "udev" source carries an event only once udev has processed it (rules applied, the
// database written, access granted), unlike the kernel's source, so the search an arrival
// starts finds the node listed as initialised and openable.
#pragma once

#include <optional>

struct udev;
struct udev_monitor;

namespace lumo::linux_hid {

class UdevHidMonitor {
  public:
    UdevHidMonitor();
    ~UdevHidMonitor();
    UdevHidMonitor(const UdevHidMonitor&) = delete;
    UdevHidMonitor& operator=(const UdevHidMonitor&) = delete;

    // -1 when no monitor could be set up; the tool then only sees the device at start.
    int fd() const { return fd_; }

    // The next waiting "add" (kDeviceArrival) or "remove" (kDeviceRemoveComplete) of a hidraw
    // node; other actions are skipped. Nothing when no event is waiting. Never blocks.
    std::optional<unsigned> NextEvent();

  private:
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    int fd_ = -1;
};

}  // namespace lumo::linux_hid
