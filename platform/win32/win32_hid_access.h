// HID access on Windows: SetupAPI lists the HID interfaces, HID.dll reads their description,
// and the device is a file opened for overlapped I/O so that every write and read can give up
// after its time limit. Paths cross this edge as UTF-16 on the Windows side and UTF-8 on the
// core's side.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/win32/win32_unit_identity.h"
#include "ports/hid_access.h"

namespace lumo {

class Win32HidAccess : public HidAccess {
  public:
    // The limits default to the core's; tests may shorten them.
    explicit Win32HidAccess(unsigned write_timeout_ms = HID_WRITE_TIMEOUT_MS,
                            unsigned reply_timeout_ms = HID_REPLY_TIMEOUT_MS)
        : write_timeout_ms_(write_timeout_ms), reply_timeout_ms_(reply_timeout_ms) {}

    std::unique_ptr<HidInterfaceSet> ListInterfaces() override;
    HidHandle Open(std::string_view path) override;
    bool SetNumInputBuffers(HidHandle h, unsigned count) override;
    bool Probe(HidHandle h) override;
    bool WriteReport(HidHandle h, const UpdateReport& report) override;
    bool ReadReply(HidHandle h) override;
    void Close(HidHandle h) override;

  private:
    SerialMemory serials_;
    unsigned write_timeout_ms_;
    unsigned reply_timeout_ms_;
};

// Asks for WM_DEVICECHANGE on `window` for device interfaces of every class. The
// registration is neither kept nor withdrawn: it ends with the window. A failure goes
// unnoticed; the window then hears of no arrival or removal.
void RegisterDeviceInterfaceNotifications(HWND window);

// The conversions at this edge. Invalid input converts to an empty string.
std::string Utf8FromWide(std::wstring_view text);
std::wstring WideFromUtf8(std::string_view text);

}  // namespace lumo
