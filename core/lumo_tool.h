// The tool's state and event handlers, shared by the Windows and the Linux dialog. A dialog
// owns one LumoTool, implements StatusView on its controls and forwards its events here.
#pragma once

#include <cstdint>
#include <string>

#include "core/device_link.h"
#include "core/device_link_state.h"
#include "core/update_sequence.h"
#include "core/update_state.h"

namespace lumo {

inline constexpr unsigned START_FOUND_PAUSE_MS = 2500;

// The window's caption: the template's, with a suffix in a build whose images are stand-ins so
// that such a build never passes for one that carries the device's firmware.
std::string WindowCaption(bool stand_ins);

class LumoTool {
  public:
    LumoTool(HidAccess& hid, StatusView& view, Pause& pause, UpdateOptions options = {})
        : link_(link_state_, hid, view, pause),
          update_(link_state_, update_state_, hid, view, pause, options),
          view_(view),
          pause_(pause) {
        update_.SetBinder(&link_);
    }

    LumoTool(const LumoTool&) = delete;
    LumoTool& operator=(const LumoTool&) = delete;

    // The dialog initialisation's share: the first search; when it opens the device,
    // "Device Connected" and a 2500 ms pause; then "0%". The dialog registers for
    // device-change notifications before and starts the 10 ms timer after.
    void Start();

    void OnBnClickedUpdate() { update_.OnBnClickedUpdate(); }
    void OnTimer(std::uintptr_t timer_id) { update_.OnTimer(timer_id); }
    bool OnDeviceChange(unsigned event, std::uintptr_t data) {
        return link_.OnDeviceChange(event, data);
    }
    bool FindDevice() { return link_.FindDevice(); }
    // Closes the device the tool holds, if any, as a removal would but without a search: for
    // a host that lets the tool go while its unit is still plugged in.
    void ReleaseDevice() { link_.Close(); }

    // The caption the dialog sets at run time (the template keeps the plain one).
    std::string Caption() const { return WindowCaption(update_.options().stand_ins); }

    bool IsConnected() const { return link_state_.bConnected; }
    // True from a successful start until the update ends, also while the device is away.
    bool IsUpdating() const { return update_state_.bUpdating; }

    const DeviceLinkState& link_state() const { return link_state_; }
    const UpdateState& update_state() const { return update_state_; }

  private:
    DeviceLinkState link_state_;
    UpdateState update_state_;
    DeviceLink link_;
    UpdateSequence update_;
    StatusView& view_;
    Pause& pause_;
};

}  // namespace lumo
