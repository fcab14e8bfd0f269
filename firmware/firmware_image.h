// The two firmware images the tool installs, embedded at build time as constant data. They are
// opaque: nothing here parses, checks or alters them.
#pragma once

#include <cstdint>
#include <span>

namespace lumo {

struct FirmwareImage {
    const std::uint8_t* data;
    std::uint32_t length;

    std::span<const std::uint8_t> bytes() const { return {data, length}; }
};

// For devices with product ID 0x7B16.
extern const FirmwareImage g_firmwareVariant;
// For devices with product ID 0xC3D1.
extern const FirmwareImage g_firmwarePrimary;

// The images a tool streams; the built-in pair everywhere but in tests.
struct FirmwarePair {
    const FirmwareImage* variant = &g_firmwareVariant;
    const FirmwareImage* primary = &g_firmwarePrimary;
};

inline const FirmwareImage& SelectFirmwareImage(const FirmwarePair& images, bool variant_device) {
    return variant_device ? *images.variant : *images.primary;
}

inline const FirmwareImage& SelectFirmwareImage(bool variant_device) {
    return SelectFirmwareImage(FirmwarePair{}, variant_device);
}

}  // namespace lumo
