#pragma once

#include <string>
#include <vector>

#include "ports/hid_access.h"

namespace lumo {

// What the tool knows of the device. Written by the device search and the removal path; read
// by the update sequence and the status colours. bConnected is true exactly while hDevice
// holds an open handle.
struct DeviceLinkState {
    HidHandle hDevice = kNullHandle;
    bool bVariantDevice = false;  // the open (or last matched) device is product 0x7B16
    bool bConnected = false;
    // The interface the last search opened, and its unit.
    std::string openPath{};
    UnitIdentity openUnit{};
};

// The unit an update is bound to, from its start to its end: while it is bound, searches open
// that unit only, so a stream never moves to another unit on the same PC. The unit is the one
// DeviceLinkState last opened (openPath, openUnit): a bound search opens no other.
struct UnitBinding {
    bool bBound = false;
    // Interfaces of the device listed beside ours while ours was present: units that were
    // there all along, never taken for ours.
    std::vector<std::string> seenWithOurs{};
    // Another unit on another port reported our serial while ours was bound: the serial names
    // no unit (bootloaders often report one fixed serial), so only the port can.
    bool bSerialShared = false;
};

}  // namespace lumo
