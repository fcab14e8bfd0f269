// HID access that remembers the last device path it was asked to open, whether that worked and
// how many opens worked: the run reports each device it opens, and tells "no device" from "a
// device that cannot be opened". Everything else passes straight through.
#pragma once

#include <string>

#include "ports/hid_access.h"

namespace lumo::cli {

class ObservedHid : public HidAccess {
  public:
    explicit ObservedHid(HidAccess& hid) : hid_(hid) {}

    const std::string& last_path() const { return last_path_; }
    bool last_open_failed() const { return last_open_failed_; }
    unsigned opens() const { return opens_; }

    std::unique_ptr<HidInterfaceSet> ListInterfaces() override { return hid_.ListInterfaces(); }
    HidHandle Open(std::string_view path) override {
        last_path_ = path;
        const HidHandle h = hid_.Open(path);
        last_open_failed_ = !IsOpenHandle(h);
        if (!last_open_failed_) ++opens_;
        return h;
    }
    bool SetNumInputBuffers(HidHandle h, unsigned count) override {
        return hid_.SetNumInputBuffers(h, count);
    }
    bool Probe(HidHandle h) override { return hid_.Probe(h); }
    bool WriteReport(HidHandle h, const UpdateReport& report) override {
        return hid_.WriteReport(h, report);
    }
    bool ReadReply(HidHandle h) override { return hid_.ReadReply(h); }
    void Close(HidHandle h) override { hid_.Close(h); }

  private:
    HidAccess& hid_;
    std::string last_path_;
    bool last_open_failed_ = false;
    unsigned opens_ = 0;
};

}  // namespace lumo::cli
