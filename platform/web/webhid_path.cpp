#include "platform/web/webhid_path.h"

#include <charconv>
#include <cstdio>

namespace lumo::web {

namespace {
constexpr std::string_view kIdPrefix = "#webhid-";
}

std::string ComposeWebHidPath(std::uint16_t vendor, std::uint16_t product, std::uint32_t id) {
    char identity[32];
    std::snprintf(identity, sizeof identity, "vid_%04x&pid_%04x", static_cast<unsigned>(vendor),
                  static_cast<unsigned>(product));
    return "hid#" + std::string(identity) + std::string(kIdPrefix) + std::to_string(id);
}

std::optional<std::uint32_t> WebHidIdFromPath(std::string_view path) {
    const auto at = path.rfind(kIdPrefix);
    if (at == std::string_view::npos) return std::nullopt;
    const std::string_view digits = path.substr(at + kIdPrefix.size());
    std::uint32_t id = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
    if (ec != std::errc{} || end != digits.data() + digits.size() || digits.empty())
        return std::nullopt;
    return id;
}

}  // namespace lumo::web
