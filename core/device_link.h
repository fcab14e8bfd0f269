// Finding and opening the device, and following its arrival and removal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The path of the interface at `index`: nothing when its size is not reported, the buffer for
// it cannot be had, or the path cannot be read.
std::optional<std::string> ReadInterfacePath(HidInterfaceSet& set, std::uint32_t index);

// Told when an update takes its unit and when it lets it go.
class UnitBinder {
  public:
    virtual ~UnitBinder() = default;
    virtual void Bind() = 0;
    virtual void Release() = 0;
};

// An interface of the device, as a search lists it.
struct DeviceCandidate {
    std::string path;
    UnitIdentity unit;
    bool variant = false;
};

// Whether two identities name the same unit: serials decide when both have one; otherwise the
// same known port does.
bool SameUnit(const UnitIdentity& ours, const UnitIdentity& other);

// Whether `other`, listed beside our unit `ours`, is another unit that reports our serial.
bool ReportsOurSerialElsewhere(const UnitIdentity& ours, const UnitIdentity& other);

// Which listed interface continues an update whose stream went to `ours_path` of unit `ours`:
// that interface while it is listed; else one of its unit (by its serial only while no other
// unit reports it: `serial_shared`, or two units with it in this list); else the one interface
// that arrived since ours was last seen (that is, not among `seen_with_ours`), unless it
// reports a serial while ours has one. Nothing when no interface qualifies.
std::optional<std::size_t> ChooseBoundCandidate(std::string_view ours_path,
                                                const UnitIdentity& ours,
                                                const std::vector<std::string>& seen_with_ours,
                                                const std::vector<DeviceCandidate>& listed,
                                                bool serial_shared = false);

class DeviceLink : public UnitBinder {
  public:
    DeviceLink(DeviceLinkState& state, HidAccess& hid, StatusView& view, Pause& pause)
        : state_(state), hid_(hid), view_(view), pause_(pause) {}

    // Opens the first present interface whose path names the device. True when it was opened
    // and its HID description could be read. Call only while no device is open.
    bool FindDevice();

    // A device-change notification; the event data is never read. Always returns true.
    bool OnDeviceChange(unsigned event, std::uintptr_t data);

    // Closes the open device, if any; the state then reads "not connected".
    void Close();

    // From the start of an update to its end, searches open the update's unit only.
    void Bind() override;
    void Release() override;
    const UnitBinding& binding() const { return binding_; }

  private:
    void OnArrival();
    void OnRemoveComplete();
    bool FindFirstDevice();
    bool FindBoundDevice();
    bool OpenDevice(const std::string& path, const UnitIdentity& unit, bool variant);
    // The device's interfaces present now, up to the first that cannot be read; nothing when
    // no list can be made.
    std::optional<std::vector<DeviceCandidate>> ListCandidates();
    void NoteUnitsBesideOurs(const std::vector<DeviceCandidate>& listed);

    DeviceLinkState& state_;
    HidAccess& hid_;
    StatusView& view_;
    Pause& pause_;
    UnitBinding binding_;
};

}  // namespace lumo
