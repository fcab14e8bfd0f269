// Device paths for the devices a page may use over WebHID, in the lowercase form the discovery
// matches on every platform:
//
//   hid#vid_5a7e&pid_c3d1#webhid-3
//   \_ identity _/ \_ the page's number for that HIDDevice _/
//
// WebHID tells neither the USB interface nor a kernel instance, so the path carries only the
// vendor and product IDs and the number under which the page keeps the device.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumo::web {

std::string ComposeWebHidPath(std::uint16_t vendor, std::uint16_t product, std::uint32_t id);

// The page's number for the device a path names; nothing for a path of another form.
std::optional<std::uint32_t> WebHidIdFromPath(std::string_view path);

}  // namespace lumo::web
