// Every text the tool shows through StatusView, exactly as the user sees it. Some carry
// full-width punctuation: the comma U+FF0C and the colon U+FF1A.
#pragma once

#include <string>
#include <string_view>

#include "lumo_version.h"

namespace lumo::text {

inline constexpr std::string_view kDeviceConnected = "Device Connected";
inline constexpr std::string_view kDeviceDisconnected = "Device Disconnected";
inline constexpr std::string_view kNotConnected = "The device is not connected!";
inline constexpr std::string_view kTryAgain = "Error\uFF0CPlease try again!";
inline constexpr std::string_view kUpdating =
    "NOTE\uFF1AUpdating, Please do not plug or remove the USB";
inline constexpr std::string_view kInterrupted =
    "Update interrupted, please follow the connection instructions to re-operate";
inline constexpr std::string_view kSuccess = "Update is successful!";
inline constexpr std::string_view kBlankNote = " ";
// The main window's caption; the dialog's template shows it. The version comes from VERSION.
inline constexpr std::string_view kWindowTitle = "Orvel-M8 Firmware Update V" LUMO_VERSION;
inline constexpr std::string_view kZeroPercent = "0%";
inline constexpr std::string_view kCloseWhileUpdating =
    "An update is in progress. Closing now leaves the device without complete firmware. "
    "Close anyway?";
inline constexpr std::string_view kStandInQuestion =
    "This build carries stand-in images for testing, not the Orvel-M8's firmware. Writing one "
    "to a real device leaves it without working firmware. Write it anyway?";
inline constexpr std::string_view kUnitBusy =
    "Another program is updating this device. Wait until it has finished, then try again.";
inline constexpr std::string_view kStandInCaptionSuffix = " (stand-in images)";

// 7 gives "7%", 100 gives "100%".
inline std::string PercentText(unsigned percent) { return std::to_string(percent) + "%"; }

}  // namespace lumo::text
