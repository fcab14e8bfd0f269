// A snapshot of the HID interfaces present, held as their paths: for platforms that learn every
// path at once (udev's enumeration on Linux, the devices a page may use in the browser), and
// the unit each belongs to where the platform can tell.
#pragma once

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "ports/hid_access.h"

namespace lumo {

class PathListInterfaceSet : public HidInterfaceSet {
  public:
    explicit PathListInterfaceSet(std::vector<std::string> paths,
                                  std::vector<UnitIdentity> units = {})
        : paths_(std::move(paths)), units_(std::move(units)) {}

    bool EnumInterface(std::uint32_t index) override { return index < paths_.size(); }

    std::size_t PathSize(std::uint32_t index) override {
        return index < paths_.size() ? paths_[index].size() + 1 : 0;
    }

    bool ReadPath(std::uint32_t index, std::span<char> buffer) override {
        if (index >= paths_.size() || buffer.size() < paths_[index].size() + 1) return false;
        std::memcpy(buffer.data(), paths_[index].c_str(), paths_[index].size() + 1);
        return true;
    }

    UnitIdentity Identity(std::uint32_t index) override {
        return index < units_.size() ? units_[index] : UnitIdentity{};
    }

  private:
    std::vector<std::string> paths_;
    std::vector<UnitIdentity> units_;  // by index, as paths_; may be shorter (unknown)
};

}  // namespace lumo
