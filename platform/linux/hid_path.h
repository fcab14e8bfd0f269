// Device paths for hidraw interfaces, in the lowercase form Windows gives a HID interface, so
// that one discovery serves both platforms:
//
//   hid#vid_5a7e&pid_c3d1&mi_00#0003:5a7e:c3d1.0001#/dev/hidraw0
//   \_ bus-specific identity _/ \_ HID instance _/ \_ node _/
//
// USB devices read "vid_XXXX&pid_XXXX", plus "&mi_NN" when the HID sits on a USB interface
// (always, for devices that usbhid drives). Bluetooth devices take the Windows Bluetooth form
// ("{00001124-...}_vid&0002XXXX_pid&XXXX") and other buses "ven_XXXX&dev_XXXX", so neither can
// ever match a USB identity by accident. The node, after the last '#', is what gets opened.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumo::linux_hid {

inline constexpr std::uint16_t kBusUsb = 0x0003;
inline constexpr std::uint16_t kBusBluetooth = 0x0005;

struct HidIdentity {
    std::uint16_t bus = 0;
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::optional<unsigned> usb_interface;  // bInterfaceNumber, USB only
};

// Parses the kernel's HID_ID property, "0003:00005A7E:0000C3D1".
std::optional<HidIdentity> ParseHidId(std::string_view hid_id);

// The interface number at the end of a USB HID_PHYS ("usb-0000:00:14.0-2/input1" gives 1).
std::optional<unsigned> InterfaceFromPhys(std::string_view phys);

// `instance` is the HID device's kernel name ("0003:5A7E:C3D1.0001"); it is lowercased.
std::string ComposeHidPath(const HidIdentity& id, std::string_view instance,
                           std::string_view devnode);

// The node a composed path names; a path without '#' is taken as a node itself. Empty when
// the path names no absolute node.
std::string NodeFromHidPath(std::string_view path);

}  // namespace lumo::linux_hid
