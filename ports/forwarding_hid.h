// HID access that passes every call to another one: the base of decorators (lumo-flash's
// views of one unit, the tests' and benchmarks' timing ones), which override only the calls
// they look at.
#pragma once

#include <memory>
#include <string_view>

#include "ports/hid_access.h"

namespace lumo {

class ForwardingHid : public HidAccess {
  public:
    explicit ForwardingHid(HidAccess& hid) : hid_(hid) {}

    std::unique_ptr<HidInterfaceSet> ListInterfaces() override { return hid_.ListInterfaces(); }
    HidHandle Open(std::string_view path) override { return hid_.Open(path); }
    bool SetNumInputBuffers(HidHandle h, unsigned count) override {
        return hid_.SetNumInputBuffers(h, count);
    }
    bool Probe(HidHandle h) override { return hid_.Probe(h); }
    bool WriteReport(HidHandle h, const UpdateReport& report) override {
        return hid_.WriteReport(h, report);
    }
    bool ReadReply(HidHandle h) override { return hid_.ReadReply(h); }
    void Close(HidHandle h) override { hid_.Close(h); }

  protected:
    HidAccess& hid_;
};

}  // namespace lumo
