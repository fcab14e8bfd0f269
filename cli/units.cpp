#include "cli/units.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <cstdint>
#include <optional>
#include <ostream>
#include <sstream>

#include "core/device_link.h"

namespace lumo::cli {

namespace {

// The interfaces of one set that the filter lets through, by their index in it.
class FilteredSet : public HidInterfaceSet {
  public:
    FilteredSet(std::unique_ptr<HidInterfaceSet> inner, std::vector<std::uint32_t> kept,
                bool hide_serial)
        : inner_(std::move(inner)), kept_(std::move(kept)), hide_serial_(hide_serial) {}

    bool EnumInterface(std::uint32_t index) override { return index < kept_.size(); }
    std::size_t PathSize(std::uint32_t index) override {
        return index < kept_.size() ? inner_->PathSize(kept_[index]) : 0;
    }
    bool ReadPath(std::uint32_t index, std::span<char> buffer) override {
        return index < kept_.size() && inner_->ReadPath(kept_[index], buffer);
    }
    UnitIdentity Identity(std::uint32_t index) override {
        if (index >= kept_.size()) return {};
        UnitIdentity unit = inner_->Identity(kept_[index]);
        if (hide_serial_) unit.serial.clear();
        return unit;
    }

  private:
    std::unique_ptr<HidInterfaceSet> inner_;
    std::vector<std::uint32_t> kept_;
    bool hide_serial_;
};

// Two interfaces of one unit: the same port, where either has one; without ports, the same
// serial.
bool OneUnit(const UnitIdentity& a, const UnitIdentity& b) {
    if (!a.port.empty() || !b.port.empty()) {
        return a.port == b.port && (a.serial.empty() || b.serial.empty() || a.serial == b.serial);
    }
    return !a.serial.empty() && a.serial == b.serial;
}

}  // namespace

std::string UnitId(const UnitIdentity& unit, std::string_view path) {
    if (!unit.serial.empty()) return unit.serial;
    if (!unit.port.empty()) return unit.port;
    return std::string(path);
}

bool NamesUnit(std::string_view id, const UnitIdentity& unit, std::string_view path) {
    return !id.empty() &&
           (id == UnitId(unit, path) || id == unit.serial || id == unit.port || id == path);
}

std::vector<UnitEntry> ListUnits(HidAccess& hid) {
    return TryListUnits(hid).value_or(std::vector<UnitEntry>{});
}

std::optional<std::vector<UnitEntry>> TryListUnits(HidAccess& hid) {
    std::vector<UnitEntry> units;
    const std::unique_ptr<HidInterfaceSet> set = hid.ListInterfaces();
    if (!set) return std::nullopt;
    for (std::uint32_t index = 0; set->EnumInterface(index); ++index) {
        const auto path = ReadInterfacePath(*set, index);
        const auto variant = path ? MatchedProduct(*path) : std::nullopt;
        if (!variant) continue;
        UnitEntry entry{"", *path, *variant, set->Identity(index)};
        const bool listed = std::any_of(units.begin(), units.end(), [&](const UnitEntry& u) {
            return OneUnit(u.unit, entry.unit);
        });
        if (!listed) units.push_back(std::move(entry));
    }
    // A serial names a unit only while no other unit present reports it.
    for (UnitEntry& u : units) {
        u.serial_shared = !u.unit.serial.empty() &&
                          std::count_if(units.begin(), units.end(), [&](const UnitEntry& o) {
                              return o.unit.serial == u.unit.serial;
                          }) > 1;
        u.id = u.serial_shared ? UnitId({u.unit.port, ""}, u.path) : UnitId(u.unit, u.path);
    }
    return units;
}

bool SameListedUnit(const UnitEntry& known, const UnitEntry& listed) {
    const UnitIdentity& a = known.unit;
    const UnitIdentity& b = listed.unit;
    if (!a.port.empty() && !b.port.empty()) {
        return a.port == b.port && (a.serial.empty() || b.serial.empty() || a.serial == b.serial);
    }
    return known.id == listed.id;
}

std::vector<UnitEntry> UnitsNamed(const std::vector<UnitEntry>& units, std::string_view id) {
    std::vector<UnitEntry> named;
    for (const UnitEntry& u : units) {
        if (NamesUnit(id, u.unit, u.path)) named.push_back(u);
    }
    return named;
}

void PrintUnitLine(std::ostream& out, const UnitEntry& u) {
    const auto or_dash = [](const std::string& text) { return text.empty() ? "-" : text; };
    out << u.id << "  product " << (u.variant ? "7b16" : "c3d1") << "  port "
        << or_dash(u.unit.port) << "  serial " << or_dash(u.unit.serial)
        << (u.serial_shared ? " (shared: named by its port)" : "") << "  " << u.path;
}

bool RefuseSeveralUnits(const std::vector<UnitEntry>& units, ConsoleReport& report) {
    if (units.size() < 2) return false;
    std::ostringstream text;
    text << units.size() << " units in update mode are present; lumo-flash updates one at a time. "
         << "Nothing was written.";
    std::ostringstream next;
    next << "Choose one with --device ID:";
    for (const UnitEntry& u : units) {
        next << "\n  ";
        PrintUnitLine(next, u);
        next << "\n      lumo-flash --device " << u.id;
    }
    report.Failed("several-units", text.str(), next.str());
    return true;
}

OneUnitHid::OneUnitHid(HidAccess& hid, const UnitEntry& unit) : ForwardingHid(hid), id_(unit.id) {
    if (unit.serial_shared && !unit.unit.port.empty()) {
        by_port_ = true;
        id_ = unit.unit.port;
    }
}

bool OneUnitHid::Chosen(const UnitIdentity& unit, std::string_view path) {
    if (by_port_) return unit.port == id_;
    if (NamesUnit(id_, unit, path)) {
        if (unit.Known()) learned_ = unit;
        return true;
    }
    if (!learned_.serial.empty()) return unit.serial == learned_.serial;
    return !learned_.port.empty() && unit.port == learned_.port;
}

std::unique_ptr<HidInterfaceSet> OneUnitHid::ListInterfaces() {
    std::unique_ptr<HidInterfaceSet> set = hid_.ListInterfaces();
    if (!set) return nullptr;
    std::vector<std::uint32_t> kept;
    for (std::uint32_t index = 0; set->EnumInterface(index); ++index) {
        const auto path = ReadInterfacePath(*set, index);
        if (path && Chosen(set->Identity(index), *path)) kept.push_back(index);
    }
    return std::make_unique<FilteredSet>(std::move(set), std::move(kept), by_port_);
}

bool OneUnitHid::ReadReply(HidHandle h) {
    if (!strand_) return hid_.ReadReply(h);
    // How often the strand looks whether the reply has come.
    constexpr std::uint32_t kLookMs = 5;
    auto reply = std::async(std::launch::async, [this, h] { return hid_.ReadReply(h); });
    while (reply.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        strand_->Wait(kLookMs);
    }
    return reply.get();
}

}  // namespace lumo::cli
