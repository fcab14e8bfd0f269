#include "platform/win32/win32_unit_identity.h"

// clang-format off
#include <windows.h>
#include <cfgmgr32.h>
#include <initguid.h>  // defines the property keys of devpkey.h in this file
#include <devpkey.h>
#include <hidclass.h>
// clang-format on

#include <cwchar>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/win32/win32_hid_access.h"

namespace lumo {

namespace {

// How long a cancelled request may take to report that it has ended.
constexpr DWORD kCancelLimitMs = 1000;
// Device trees are shallow; this only stops a walk that would not end.
constexpr int kMaxTreeDepth = 16;

// One overlapped request: its record and buffer must stay put until the request has ended.
// A USB string has at most 126 characters.
struct SerialRequest {
    OVERLAPPED overlapped{};
    wchar_t text[127]{};
};

bool HasPrefix(const std::wstring& text, const wchar_t* prefix) {
    const std::size_t n = std::wcslen(prefix);
    return text.size() >= n && _wcsnicmp(text.c_str(), prefix, n) == 0;
}

std::wstring DeviceInstanceId(DEVINST node) {
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return {};
    return id;
}

// Runs the serial number request on `file` and waits for it at most `limit_ms`; a request
// that is cancelled and does not end is left its record rather than freed under it.
std::wstring RequestSerial(HANDLE file, DWORD limit_ms) {
    std::unique_ptr<SerialRequest> request(new (std::nothrow) SerialRequest);
    if (!request) return {};
    OVERLAPPED& ov = request->overlapped;
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr) return {};

    const BOOL started =
        DeviceIoControl(file, IOCTL_HID_GET_SERIALNUMBER_STRING, nullptr, 0, request->text,
                        sizeof(request->text) - sizeof(wchar_t), nullptr, &ov);
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        CloseHandle(ov.hEvent);
        return {};
    }
    if (!started && WaitForSingleObject(ov.hEvent, limit_ms) != WAIT_OBJECT_0) {
        CancelIo(file);
        if (WaitForSingleObject(ov.hEvent, kCancelLimitMs) != WAIT_OBJECT_0) {
            static_cast<void>(request.release());
            return {};
        }
    }
    DWORD bytes = 0;
    const BOOL done = GetOverlappedResult(file, &ov, &bytes, FALSE);
    CloseHandle(ov.hEvent);
    if (!done) return {};
    return std::wstring(request->text, wcsnlen(request->text, std::size(request->text) - 1));
}

}  // namespace

std::string HidSerialNumber(const std::wstring& path, DWORD limit_ms) {
    // No read or write access: the handle only queries the device, beside any other handle.
    const HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    const std::wstring serial = RequestSerial(file, limit_ms);
    CloseHandle(file);
    if (serial.find_first_not_of(L'0') == std::wstring::npos) return {};
    return Utf8FromWide(serial);
}

std::string UsbLocationPath(DEVINST node) {
    // Up from the collection through its HID parents; the first other one must be on USB.
    for (int depth = 0; HasPrefix(DeviceInstanceId(node), L"HID\\"); ++depth) {
        DEVINST parent = 0;
        if (depth == kMaxTreeDepth || CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return {};
        node = parent;
    }
    if (!HasPrefix(DeviceInstanceId(node), L"USB\\")) return {};

    DEVPROPTYPE type = 0;
    ULONG bytes = 0;
    CM_Get_DevNode_PropertyW(node, &DEVPKEY_Device_LocationPaths, &type, nullptr, &bytes, 0);
    if (bytes < sizeof(wchar_t)) return {};
    std::vector<wchar_t> list(bytes / sizeof(wchar_t) + 1, L'\0');
    if (CM_Get_DevNode_PropertyW(node, &DEVPKEY_Device_LocationPaths, &type,
                                 reinterpret_cast<BYTE*>(list.data()), &bytes, 0) != CR_SUCCESS ||
        type != DEVPROP_TYPE_STRING_LIST) {
        return {};
    }
    return Utf8FromWide(list.data());  // the list's first string
}

UnitIdentity Win32UnitIdentity(DEVINST node, const std::wstring& path) {
    return UnitIdentity{UsbLocationPath(node), HidSerialNumber(path)};
}

std::string SerialMemory::Recall(const std::wstring& path, std::string serial) {
    auto it = known_.begin();
    while (it != known_.end() && it->first != path) ++it;
    if (it != known_.end()) {
        if (serial.empty()) serial = it->second;
        known_.erase(it);
    }
    if (serial.empty()) return serial;
    known_.emplace_back(path, serial);
    if (known_.size() > kPaths) known_.pop_front();
    return serial;
}

}  // namespace lumo
