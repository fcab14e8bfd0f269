#pragma once

#include <cstdint>

#include "firmware/firmware_image.h"

namespace lumo {

// The progress of the one update the tool runs at a time. Device removal and arrival never
// change it, so an update survives an unplug and resumes when a device is opened again.
struct UpdateState {
    bool bUpdating = false;         // an update is under way (streaming or suspended)
    std::uint32_t nOffset = 0;      // offset in the image of the next block
    std::uint32_t nBlockIndex = 0;  // block index of the next data report
    // The image the running update started with; a tick never streams another one.
    const FirmwareImage* pImage = nullptr;
};

}  // namespace lumo
