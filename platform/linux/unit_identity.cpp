#include "platform/linux/unit_identity.h"

#include <libudev.h>

namespace lumo::linux_hid {

namespace {

std::string Text(const char* s) { return s ? s : ""; }

}  // namespace

UnitIdentity UnitIdentityOf(udev_device* hidraw) {
    UnitIdentity unit;
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(hidraw, "usb", "usb_device");
    if (usb) unit.port = Text(udev_device_get_sysname(usb));
    if (udev_device* hid = udev_device_get_parent_with_subsystem_devtype(hidraw, "hid", nullptr))
        unit.serial = Text(udev_device_get_property_value(hid, "HID_UNIQ"));
    if (unit.serial.empty() && usb) unit.serial = Text(udev_device_get_sysattr_value(usb, "serial"));
    return unit;
}

}  // namespace lumo::linux_hid
