// Who a hidraw interface's unit is, from udev: the USB port chain and the serial number. Both
// survive a replug into the same port, unlike the node and the HID instance.
#pragma once

#include "ports/hid_access.h"

struct udev_device;

namespace lumo::linux_hid {

// The port is the sysfs name of the nearest USB device above the node ("1-2.3"); the serial is
// the HID device's HID_UNIQ, else that USB device's `serial` attribute. Either may be empty.
UnitIdentity UnitIdentityOf(udev_device* hidraw);

}  // namespace lumo::linux_hid
