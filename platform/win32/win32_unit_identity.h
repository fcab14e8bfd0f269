// Who a HID interface's unit is on Windows: its USB serial number and its USB port, as the
// device tree and HID.dll tell them. See docs/windows-unit-identity.md for why these two and
// what Wine gives.
#pragma once

// clang-format off
#include <windows.h>
#include <cfgmgr32.h>
// clang-format on

#include <deque>
#include <string>
#include <utility>

#include "ports/hid_access.h"

namespace lumo {

// How long the serial number's request to the device may take.
inline constexpr DWORD kSerialTimeoutMs = 1000;

// The unit behind the HID interface `path`, whose device node is `node`. A field that cannot
// be learned stays empty.
UnitIdentity Win32UnitIdentity(DEVINST node, const std::wstring& path);

// The serial number the device reports through HID, asked with a handle that opens no access
// (so an update under way elsewhere is not disturbed) and waited for at most `limit_ms`.
// Empty when there is none, or it is all zeros (what Wine reports for a device without one:
// it names no unit).
std::string HidSerialNumber(const std::wstring& path, DWORD limit_ms = kSerialTimeoutMs);

// The first location path of the USB device (or USB interface) that the HID collection at
// `node` is a child of, such as "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)": the same
// for whatever unit is plugged into that port. Empty when the collection is not on USB (a
// Bluetooth unit's parents would name the radio's port, not the unit's) or the path is not
// known.
std::string UsbLocationPath(DEVINST node);

// The serial each interface path last reported. A unit busy with an update may let the serial
// request time out; the unit must not then be renamed (its ID, the key of its claim), so an
// empty answer for a path that reported a serial before keeps that serial. The path names the
// interface of one plugged-in device, so it never carries another unit's serial while it is
// listed. Holds the latest few paths only: a station sees a new path per unit.
class SerialMemory {
  public:
    std::string Recall(const std::wstring& path, std::string serial);

  private:
    static constexpr std::size_t kPaths = 64;
    std::deque<std::pair<std::wstring, std::string>> known_;  // the latest last
};

}  // namespace lumo
