#include "core/device_link.h"

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

std::optional<bool> MatchedProduct(std::string_view path) {
    if (path.find(kVariantMatch) != std::string_view::npos) return true;
    if (path.find(PrimaryMatch()) != std::string_view::npos) return false;
    return std::nullopt;
}

bool DeviceLink::FindDevice() {
    // The set, the path buffer and the probe's data are all released on every return.
    const std::unique_ptr<HidInterfaceSet> set = hid_.ListInterfaces();
    if (!set) return false;

    for (std::uint32_t index = 0;; ++index) {
        if (!set->EnumInterface(index)) return false;

        const std::size_t size = set->PathSize(index);
        if (size == 0) return false;  // never allocate by a size that was not reported
        const std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
        if (!buffer || !set->ReadPath(index, {buffer.get(), size})) return false;
        buffer[size - 1] = '\0';
        const std::string_view path(buffer.get());

        const std::optional<bool> variant = MatchedProduct(path);
        if (!variant) continue;

        // The flag always describes the device just matched, so an earlier product 0x7B16
        // match can never send its image to a product 0xC3D1 device.
        state_.bVariantDevice = *variant;
        state_.hDevice = hid_.Open(path);
        if (!IsOpenHandle(state_.hDevice)) return false;
        hid_.SetNumInputBuffers(state_.hDevice, HID_INPUT_BUFFERS);
        state_.bConnected = true;
        return hid_.Probe(state_.hDevice);
    }
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
    if (state_.bConnected || !FindDevice()) return;
    view_.SetStatusCaption(text::kDeviceConnected);
    view_.SetNote(text::kBlankNote);
    view_.SetPercentText(text::kZeroPercent);
    view_.SetProgress(0);
    pause_.Wait(DEVICE_ARRIVAL_PAUSE_MS);
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
