#pragma once

#include "ports/hid_access.h"

namespace lumo {

// What the tool knows of the device. Written by the device search and the removal path; read
// by the update sequence and the status colours. bConnected is true exactly while hDevice
// holds an open handle.
struct DeviceLinkState {
    HidHandle hDevice = kNullHandle;
    bool bVariantDevice = false;  // the open (or last matched) device is product 0x7B16
    bool bConnected = false;
};

}  // namespace lumo
