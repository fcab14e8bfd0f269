#include "platform/linux/hid_path.h"

#include <cctype>
#include <charconv>
#include <cstdio>

namespace lumo::linux_hid {

namespace {

std::optional<unsigned long> ParseHex(std::string_view s) {
    unsigned long value = 0;
    if (s.empty()) return std::nullopt;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, 16);
    if (ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
    return value;
}

std::string Hex(unsigned long value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*lx", digits, value);
    return buf;
}

}  // namespace

std::optional<HidIdentity> ParseHidId(std::string_view hid_id) {
    const auto first = hid_id.find(':');
    const auto second = hid_id.find(':', first == std::string_view::npos ? first : first + 1);
    if (first == std::string_view::npos || second == std::string_view::npos) return std::nullopt;
    const auto bus = ParseHex(hid_id.substr(0, first));
    const auto vendor = ParseHex(hid_id.substr(first + 1, second - first - 1));
    const auto product = ParseHex(hid_id.substr(second + 1));
    if (!bus || !vendor || !product || *bus > 0xFFFF || *vendor > 0xFFFF || *product > 0xFFFF)
        return std::nullopt;
    return HidIdentity{static_cast<std::uint16_t>(*bus), static_cast<std::uint16_t>(*vendor),
                       static_cast<std::uint16_t>(*product), std::nullopt};
}

std::optional<unsigned> InterfaceFromPhys(std::string_view phys) {
    const auto slash = phys.rfind('/');
    if (slash == std::string_view::npos) return std::nullopt;
    std::string_view tail = phys.substr(slash + 1);
    if (!tail.starts_with("input")) return std::nullopt;
    tail.remove_prefix(5);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(tail.data(), tail.data() + tail.size(), value);
    if (ec != std::errc{} || end != tail.data() + tail.size() || value > 0xFF) return std::nullopt;
    return value;
}

std::string ComposeHidPath(const HidIdentity& id, std::string_view instance,
                           std::string_view devnode) {
    std::string path = "hid#";
    if (id.bus == kBusUsb) {
        path += "vid_" + Hex(id.vendor, 4) + "&pid_" + Hex(id.product, 4);
        if (id.usb_interface) path += "&mi_" + Hex(*id.usb_interface, 2);
    } else if (id.bus == kBusBluetooth) {
        path += "{00001124-0000-1000-8000-00805f9b34fb}_vid&0002" + Hex(id.vendor, 4) + "_pid&" +
                Hex(id.product, 4);
    } else {
        path += "ven_" + Hex(id.vendor, 4) + "&dev_" + Hex(id.product, 4);
    }
    path += '#';
    for (const char c : instance)
        path += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    path += '#';
    path += devnode;
    return path;
}

std::string NodeFromHidPath(std::string_view path) {
    const auto hash = path.rfind('#');
    const std::string_view node = hash == std::string_view::npos ? path : path.substr(hash + 1);
    if (!node.starts_with('/')) return {};
    return std::string(node);
}

}  // namespace lumo::linux_hid
