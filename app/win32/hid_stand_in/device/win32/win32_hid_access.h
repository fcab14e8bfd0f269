// Stand-in for the Windows HID backend while it is built on its own branch: no interface is
// ever present and nothing registers. Delete this folder (and its branch in
// app/win32/CMakeLists.txt) once device/win32 is in the tree.
#pragma once

#include <windows.h>

#include "device/hid_access.h"

namespace lumo {

class Win32HidAccess : public HidAccess {
public:
    std::unique_ptr<HidInterfaceSet> ListInterfaces() override { return nullptr; }
    HidHandle Open(std::string_view) override { return kInvalidHandle; }
    bool SetNumInputBuffers(HidHandle, unsigned) override { return false; }
    bool Probe(HidHandle) override { return false; }
    bool WriteReport(HidHandle, const UpdateReport&) override { return false; }
    bool ReadReply(HidHandle) override { return false; }
    void Close(HidHandle) override {}
};

inline void RegisterDeviceInterfaceNotifications(HWND) {}

}  // namespace lumo
