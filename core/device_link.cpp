#include "core/device_link.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "ports/status_texts.h"

namespace lumo {

namespace {

// "vid_5a7e&pid_c3d1", put together from its parts at each match.
std::string PrimaryMatch() {
    std::string match = "vid_";
    match += "5a7e";
    match += "&pid_";
    match += "c3d1";
    return match;
}

}  // namespace

std::optional<std::string> ReadInterfacePath(HidInterfaceSet& set, std::uint32_t index) {
    const std::size_t size = set.PathSize(index);
    if (size == 0) return std::nullopt;  // never allocate by a size that was not reported
    const std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
    if (!buffer || !set.ReadPath(index, {buffer.get(), size})) return std::nullopt;
    buffer[size - 1] = '\0';
    return std::string(buffer.get());
}

std::optional<bool> MatchedProduct(std::string_view path) {
    if (path.find(kVariantMatch) != std::string_view::npos) return true;
    if (path.find(PrimaryMatch()) != std::string_view::npos) return false;
    return std::nullopt;
}

bool DeviceLink::FindDevice() { return binding_.bBound ? FindBoundDevice() : FindFirstDevice(); }

bool DeviceLink::FindFirstDevice() {
    // The set, the path buffer and the probe's data are all released on every return.
    const std::unique_ptr<HidInterfaceSet> set = hid_.ListInterfaces();
    if (!set) return false;

    for (std::uint32_t index = 0;; ++index) {
        if (!set->EnumInterface(index)) return false;
        const std::optional<std::string> path = ReadInterfacePath(*set, index);
        if (!path) return false;

        const std::optional<bool> variant = MatchedProduct(*path);
        if (!variant) continue;
        return OpenDevice(*path, set->Identity(index), *variant);
    }
}

bool DeviceLink::OpenDevice(const std::string& path, const UnitIdentity& unit, bool variant) {
    // The flag always describes the device just matched, so an earlier product 0x7B16
    // match can never send its image to a product 0xC3D1 device.
    state_.bVariantDevice = variant;
    state_.hDevice = hid_.Open(path);
    if (!IsOpenHandle(state_.hDevice)) return false;
    hid_.SetNumInputBuffers(state_.hDevice, HID_INPUT_BUFFERS);
    state_.bConnected = true;
    state_.openPath = path;
    state_.openUnit = unit;
    return hid_.Probe(state_.hDevice);
}

std::optional<std::vector<DeviceCandidate>> DeviceLink::ListCandidates() {
    const std::unique_ptr<HidInterfaceSet> set = hid_.ListInterfaces();
    if (!set) return std::nullopt;

    std::vector<DeviceCandidate> listed;
    for (std::uint32_t index = 0; set->EnumInterface(index); ++index) {
        std::optional<std::string> path = ReadInterfacePath(*set, index);
        if (!path) break;

        const std::optional<bool> variant = MatchedProduct(*path);
        if (!variant) continue;
        listed.push_back({std::move(*path), set->Identity(index), *variant});
    }
    return listed;
}

bool DeviceLink::FindBoundDevice() {
    const std::optional<std::vector<DeviceCandidate>> listed = ListCandidates();
    if (!listed) return false;

    const std::optional<std::size_t> choice = ChooseBoundCandidate(
        state_.openPath, state_.openUnit, binding_.seenWithOurs, *listed, binding_.bSerialShared);
    if (!choice) return false;  // ours is not listed, so the list tells nothing of its company
    // Once opened, the chosen interface is ours (the state's open path and unit).
    const DeviceCandidate& chosen = (*listed)[*choice];
    const bool found = OpenDevice(chosen.path, chosen.unit, chosen.variant);
    NoteUnitsBesideOurs(*listed);
    return found;
}

void DeviceLink::NoteUnitsBesideOurs(const std::vector<DeviceCandidate>& listed) {
    const auto ours = [&](const DeviceCandidate& c) { return c.path == state_.openPath; };
    // Only a list that shows our interface tells which units were there beside it.
    if (std::find_if(listed.begin(), listed.end(), ours) == listed.end()) return;
    for (const DeviceCandidate& c : listed) {
        if (ours(c)) continue;
        if (ReportsOurSerialElsewhere(state_.openUnit, c.unit)) binding_.bSerialShared = true;
        if (std::find(binding_.seenWithOurs.begin(), binding_.seenWithOurs.end(), c.path) ==
            binding_.seenWithOurs.end()) {
            binding_.seenWithOurs.push_back(c.path);
        }
    }
}

void DeviceLink::Bind() {
    binding_ = UnitBinding{true, {}, false};
    if (const auto listed = ListCandidates()) NoteUnitsBesideOurs(*listed);
}

void DeviceLink::Release() { binding_ = UnitBinding{}; }

bool SameUnit(const UnitIdentity& ours, const UnitIdentity& other) {
    if (!ours.serial.empty() && !other.serial.empty()) return ours.serial == other.serial;
    return !ours.port.empty() && ours.port == other.port;
}

bool ReportsOurSerialElsewhere(const UnitIdentity& ours, const UnitIdentity& other) {
    if (ours.serial.empty() || other.serial != ours.serial) return false;
    // Interfaces of one unit share its port; without ports, two listings of the serial cannot
    // be told to be one unit, so they count as two.
    return other.port != ours.port || ours.port.empty();
}

std::optional<std::size_t> ChooseBoundCandidate(std::string_view ours_path,
                                                const UnitIdentity& ours,
                                                const std::vector<std::string>& seen_with_ours,
                                                const std::vector<DeviceCandidate>& listed,
                                                bool serial_shared) {
    for (std::size_t i = 0; i < listed.size(); ++i) {
        if (listed[i].path == ours_path) return i;
    }
    // Our serial names our unit only while no other unit reports it.
    bool serial_names_ours = !ours.serial.empty() && !serial_shared;
    std::optional<std::string> port_with_serial;
    for (const DeviceCandidate& c : listed) {
        if (ours.serial.empty() || c.unit.serial != ours.serial) continue;
        if (port_with_serial && (*port_with_serial != c.unit.port || c.unit.port.empty()))
            serial_names_ours = false;
        port_with_serial = c.unit.port;
    }
    for (std::size_t i = 0; i < listed.size(); ++i) {
        const UnitIdentity& other = listed[i].unit;
        if (!ours.serial.empty() && !other.serial.empty()) {
            if (other.serial != ours.serial) continue;  // another unit, whatever its port
            if (serial_names_ours) return i;
        }
        if (!ours.port.empty() && ours.port == other.port) return i;
    }
    // Without a unit to recognise, only a lone newcomer can be ours, plugged in elsewhere.
    std::optional<std::size_t> arrival;
    for (std::size_t i = 0; i < listed.size(); ++i) {
        const DeviceCandidate& c = listed[i];
        if (std::find(seen_with_ours.begin(), seen_with_ours.end(), c.path) !=
            seen_with_ours.end()) {
            continue;
        }
        // A newcomer that reports a serial while ours has one is ours only by that serial,
        // and it was not (or names no unit): another serial, or a twin's.
        if (!ours.serial.empty() && !c.unit.serial.empty()) continue;
        if (arrival) return std::nullopt;  // two newcomers: neither is known to be ours
        arrival = i;
    }
    return arrival;
}

bool DeviceLink::OnDeviceChange(unsigned event, std::uintptr_t /*data*/) {
    if (event == kDeviceArrival) {
        OnArrival();
    } else if (event == kDeviceRemoveComplete) {
        OnRemoveComplete();
    }
    return true;
}

void DeviceLink::OnArrival() {
    if (state_.bConnected) {
        // A unit plugged in beside ours during an update is never taken for ours later.
        if (binding_.bBound) {
            if (const auto listed = ListCandidates()) NoteUnitsBesideOurs(*listed);
        }
        return;
    }
    if (!FindDevice()) return;
    view_.SetStatusCaption(text::kDeviceConnected);
    view_.SetNote(text::kBlankNote);
    view_.SetPercentText(text::kZeroPercent);
    view_.SetProgress(0);
    pause_.Wait(DEVICE_ARRIVAL_PAUSE_MS);
}

void DeviceLink::Close() {
    if (IsOpenHandle(state_.hDevice)) hid_.Close(state_.hDevice);
    if (state_.hDevice != kNullHandle) state_.hDevice = kInvalidHandle;
    state_.bConnected = false;
}

void DeviceLink::OnRemoveComplete() {
    if (!state_.bConnected) return;
    state_.bConnected = false;
    hid_.Close(state_.hDevice);
    state_.hDevice = kInvalidHandle;
    view_.SetStatusCaption(text::kDeviceDisconnected);
    state_.bVariantDevice = false;

    // Any interface's removal lands here, so the device may well still be present.
    FindDevice();
    if (!state_.bConnected) return;
    view_.SetStatusCaption(text::kDeviceConnected);
    view_.SetProgress(0);
    view_.SetPercentText(text::kZeroPercent);
    view_.SetNote(text::kBlankNote);
}

}  // namespace lumo
