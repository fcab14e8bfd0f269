// What the build recorded about the embedded images: length, SHA-256 and whether each is one of
// the repository's stand-ins (recognised by content when the build was configured). Everything
// that shows provenance reads this; nothing recomputes it at run time.
#pragma once

#include <cstdint>
#include <string_view>

namespace lumo {

struct ImageProvenance {
    std::string_view file;    // variant.bin or primary.bin
    std::uint16_t product;    // the product ID whose devices receive it
    std::uint32_t length;     // bytes
    std::string_view sha256;  // 64 lowercase hex digits
    bool stand_in;            // one of the repository's stand-ins: not device firmware
};

struct FirmwareProvenance {
    ImageProvenance variant;
    ImageProvenance primary;

    // A build that carries any stand-in is a stand-in build: it must never pass for firmware.
    bool HasStandIns() const { return variant.stand_in || primary.stand_in; }
};

extern const FirmwareProvenance g_firmwareProvenance;

}  // namespace lumo
