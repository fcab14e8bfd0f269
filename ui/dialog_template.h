// The main dialog's template: its caption, frame, font and nine controls, in template order.
// The Windows resource script carries the same data; the Qt dialog is laid out from this table,
// and the tests of both compare the real window with it.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "lumo_version.h"

namespace lumo::dialog {

inline constexpr int IDD_MAIN_DIALOG = 102;
inline constexpr int IDI_MAIN = 128;

inline constexpr int IDC_STATUS = 1002;
inline constexpr int IDC_UPDATE = 1006;
inline constexpr int IDC_PERCENT = -1;
inline constexpr int IDC_GUIDE_TITLE = 1014;
inline constexpr int IDC_GUIDE_HOLD = 1015;
inline constexpr int IDC_GUIDE_PLUG = 1016;
inline constexpr int IDC_NOTE = 1017;
inline constexpr int IDC_PROGRESS = 1018;
inline constexpr int IDC_GUIDE_EXTRA = 1019;

inline constexpr std::string_view kTitle = "Orvel-M8 Firmware Update V" LUMO_VERSION;
inline constexpr std::uint32_t kStyle = 0x90CC0048;
inline constexpr std::uint32_t kExStyle = 0x00040000;
inline constexpr int kWidthDu = 209;  // dialog units
inline constexpr int kHeightDu = 179;
inline constexpr std::string_view kFontFace = "MS Shell Dlg";
inline constexpr int kFontPoints = 9;

enum class ControlKind { GroupBox, PushButton, Static, Progress };

struct ControlTemplate {
    std::string_view name;
    int id;
    ControlKind kind;
    std::uint32_t style;
    std::string_view text;
    int x, y, cx, cy;  // dialog units
};

// clang-format off
inline constexpr std::array<ControlTemplate, 9> kControls{{
    {"IDC_STATUS", IDC_STATUS, ControlKind::GroupBox, 0x50000007, "Device Disconnected",
     7, 7, 195, 165},
    {"IDC_UPDATE", IDC_UPDATE, ControlKind::PushButton, 0x50010000, "Update", 13, 139, 38, 12},
    {"IDC_PERCENT", IDC_PERCENT, ControlKind::Static, 0x50020000, "\u8FDE\u63A5\u6B65\u9AA4\uFF1A",
     157, 139, 37, 10},
    {"IDC_GUIDE_HOLD", IDC_GUIDE_HOLD, ControlKind::Static, 0x50020000,
     "Press and hold the HOME button", 32, 47, 160, 13},
    {"IDC_GUIDE_TITLE", IDC_GUIDE_TITLE, ControlKind::Static, 0x50020000,
     "Operation Guide\uFF1A", 18, 33, 59, 8},
    {"IDC_NOTE", IDC_NOTE, ControlKind::Static, 0x50020000, "", 33, 107, 155, 19},
    {"IDC_PROGRESS", IDC_PROGRESS, ControlKind::Progress, 0x50800000, "", 54, 139, 101, 12},
    {"IDC_GUIDE_PLUG", IDC_GUIDE_PLUG, ControlKind::Static, 0x50020000,
     "Then plug the USB into your computer", 32, 66, 161, 13},
    {"IDC_GUIDE_EXTRA", IDC_GUIDE_EXTRA, ControlKind::Static, 0x50020000, "", 32, 85, 159, 23},
}};
// clang-format on

}  // namespace lumo::dialog
