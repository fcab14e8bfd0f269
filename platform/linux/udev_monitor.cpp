#include "platform/linux/udev_monitor.h"

#include <libudev.h>

#include <cstring>

#include "core/device_link.h"

namespace lumo::linux_hid {

UdevHidMonitor::UdevHidMonitor() : udev_(udev_new()) {
    if (!udev_) return;
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (!monitor_) return;
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0)
        return;
    fd_ = udev_monitor_get_fd(monitor_);  // non-blocking, as libudev sets it up
}

UdevHidMonitor::~UdevHidMonitor() {
    if (monitor_) udev_monitor_unref(monitor_);
    if (udev_) udev_unref(udev_);
}

std::optional<unsigned> UdevHidMonitor::NextEvent() {
    if (fd_ < 0) return std::nullopt;
    while (udev_device* dev = udev_monitor_receive_device(monitor_)) {
        const char* action = udev_device_get_action(dev);
        std::optional<unsigned> event;
        if (action && std::strcmp(action, "add") == 0) event = kDeviceArrival;
        if (action && std::strcmp(action, "remove") == 0) event = kDeviceRemoveComplete;
        udev_device_unref(dev);
        if (event) return event;
    }
    return std::nullopt;
}

}  // namespace lumo::linux_hid
