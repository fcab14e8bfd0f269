// HID access that remembers the last device path it was asked to open, whether that worked and
// how many opens worked: the run reports each device it opens, and tells "no device" from "a
// device that cannot be opened". Everything else passes straight through.
#pragma once

#include <string>

#include "ports/forwarding_hid.h"

namespace lumo::cli {

class ObservedHid : public ForwardingHid {
  public:
    explicit ObservedHid(HidAccess& hid) : ForwardingHid(hid) {}

    const std::string& last_path() const { return last_path_; }
    bool last_open_failed() const { return last_open_failed_; }
    unsigned opens() const { return opens_; }

    HidHandle Open(std::string_view path) override {
        last_path_ = path;
        const HidHandle h = hid_.Open(path);
        last_open_failed_ = !IsOpenHandle(h);
        if (!last_open_failed_) ++opens_;
        return h;
    }

  private:
    std::string last_path_;
    bool last_open_failed_ = false;
    unsigned opens_ = 0;
};

}  // namespace lumo::cli
