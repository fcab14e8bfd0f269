// Text colours of the dialog's labels, as COLORREF values (0x00BBGGRR). Labels not listed keep
// the platform's default colour and the dialog's font; listed ones also take the 9-point Arial
// label font.
#pragma once

#include <cstdint>
#include <optional>

#include "ui/dialog_template.h"

namespace lumo {

inline constexpr std::uint32_t kGuideColor = 0x000A6400;         // dark green
inline constexpr std::uint32_t kConnectedColor = 0x0000C800;     // green
inline constexpr std::uint32_t kDisconnectedColor = 0x000000FF;  // red
inline constexpr std::uint32_t kNoteColor = 0x000A00FF;          // red

inline constexpr const char* kLabelFontFace = "Arial";
inline constexpr int kLabelFontPoints = 9;

// The colour for a static control (group boxes included), or nothing for a control that keeps
// its defaults.
inline std::optional<std::uint32_t> LabelTextColor(int control_id, bool connected) {
    switch (control_id) {
        case dialog::IDC_GUIDE_TITLE:
        case dialog::IDC_GUIDE_HOLD:
        case dialog::IDC_GUIDE_PLUG:
        case dialog::IDC_GUIDE_EXTRA:
            return kGuideColor;
        case dialog::IDC_STATUS:
            return connected ? kConnectedColor : kDisconnectedColor;
        case dialog::IDC_NOTE:
            return kNoteColor;
        default:
            return std::nullopt;
    }
}

}  // namespace lumo
