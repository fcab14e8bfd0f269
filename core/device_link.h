// Finding and opening the device, and following its arrival and removal.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/device_link_state.h"
#include "ports/hid_access.h"
#include "ports/pause.h"
#include "ports/status_view.h"

namespace lumo {

// Device-change event codes, as the OS reports them (WM_DEVICECHANGE's first parameter).
inline constexpr unsigned kDeviceArrival = 0x8000;         // DBT_DEVICEARRIVAL
inline constexpr unsigned kDeviceRemoveComplete = 0x8004;  // DBT_DEVICEREMOVECOMPLETE

inline constexpr unsigned DEVICE_ARRIVAL_PAUSE_MS = 250;

// Substrings of a device path that name a supported device (compared case-sensitively).
inline constexpr const char* kVariantMatch = "vid_5a7e&pid_7b16";

// Whether an interface path names the device in update mode, and as which product: true for
// 0x7B16 (kVariantMatch), false for 0xC3D1, nothing for any other interface.
std::optional<bool> MatchedProduct(std::string_view path);

class DeviceLink {
  public:
    DeviceLink(DeviceLinkState& state, HidAccess& hid, StatusView& view, Pause& pause)
        : state_(state), hid_(hid), view_(view), pause_(pause) {}

    // Opens the first present interface whose path names the device. True when it was opened
    // and its HID description could be read. Call only while no device is open.
    bool FindDevice();

    // A device-change notification; the event data is never read. Always returns true.
    bool OnDeviceChange(unsigned event, std::uintptr_t data);

  private:
    void OnArrival();
    void OnRemoveComplete();

    DeviceLinkState& state_;
    HidAccess& hid_;
    StatusView& view_;
    Pause& pause_;
};

}  // namespace lumo
