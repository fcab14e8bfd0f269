// HID access in the browser, over WebHID. The page's script (webhid.js) keeps the devices this
// origin may use (navigator.hid.getDevices(), kept current by connect and disconnect events)
// and opens each one as it learns of it, before the core hears of its arrival. So listing,
// opening, probing and closing answer at once; writing a report and reading the reply are
// awaited promises (Asyncify), each raced against a timer: HID_WRITE_TIMEOUT_MS for
// sendReport, HID_REPLY_TIMEOUT_MS for the next input report.
//
// A handle is the core's view of one opened device: its own queue of input reports, which
// Close drops. The HIDDevice itself stays open for the page until it is disconnected.
//
// While a message box holds the core suspended, the page still delivers ticks and device
// changes to it (as a dialog's nested message loop does); such a nested call cannot await,
// so a write or read asked for there fails at once. The core asks for none there: its boxes
// are shown while no update streams, and device changes never write.
#pragma once

#include "ports/hid_access.h"

namespace lumo::web {

class WebHidAccess : public HidAccess {
  public:
    std::unique_ptr<HidInterfaceSet> ListInterfaces() override;
    HidHandle Open(std::string_view path) override;
    bool SetNumInputBuffers(HidHandle h, unsigned count) override;
    bool Probe(HidHandle h) override;
    bool WriteReport(HidHandle h, const UpdateReport& report) override;
    bool ReadReply(HidHandle h) override;
    void Close(HidHandle h) override;
};

}  // namespace lumo::web
