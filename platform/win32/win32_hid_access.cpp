#include "platform/win32/win32_hid_access.h"

// clang-format off
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
extern "C" {  // mingw-w64's hidsdi.h declares C functions without saying so
#include <hidsdi.h>
}
// clang-format on

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "platform/win32/win32_unit_identity.h"

namespace lumo {

// The records' size fields are the structures' own sizes: 28 and 6 bytes in a 32-bit process,
// 32 and 8 in a 64-bit one. The notification filter is 32 bytes in both.
#if defined(_WIN64)
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8);
#else
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6);
#endif
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32);

namespace {

// How long a cancelled write or read may take to report that it has ended.
constexpr DWORD kCancelLimitMs = 1000;

// INVALID_HANDLE_VALUE, all bits set, converts to the core's kInvalidHandle and back.
HANDLE ToHandle(HidHandle h) { return reinterpret_cast<HANDLE>(h); }

// One overlapped write or read: its record and buffer must stay put until the I/O has ended.
struct Transfer {
    OVERLAPPED overlapped{};
    std::array<std::uint8_t, UPDATE_REPORT_SIZE> buffer{};
};

// Starts the write or read and waits for it at most `limit_ms`. When it runs out of time the
// I/O is cancelled and the cancellation waited for, so the transfer can be released; should
// the cancellation itself not end in time, the transfer is left to the I/O (never released)
// rather than freed under it. The result is the I/O's own: one that completed just as it was
// cancelled counts as done.
bool RunBounded(HANDLE file, bool write, DWORD size, DWORD limit_ms, std::unique_ptr<Transfer> io) {
    OVERLAPPED& ov = io->overlapped;
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr) return false;

    const BOOL started = write ? WriteFile(file, io->buffer.data(), size, nullptr, &ov)
                               : ReadFile(file, io->buffer.data(), size, nullptr, &ov);
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        CloseHandle(ov.hEvent);
        return false;
    }
    if (!started && WaitForSingleObject(ov.hEvent, limit_ms) != WAIT_OBJECT_0) {
        CancelIo(file);
        if (WaitForSingleObject(ov.hEvent, kCancelLimitMs) != WAIT_OBJECT_0) {
            static_cast<void>(io.release());
            return false;
        }
    }
    DWORD count = 0;  // not looked at: success is the device's answer
    const BOOL done = GetOverlappedResult(file, &ov, &count, FALSE);
    CloseHandle(ov.hEvent);
    return done != FALSE;
}

class Win32InterfaceSet : public HidInterfaceSet {
  public:
    Win32InterfaceSet(HDEVINFO set, const GUID& guid, SerialMemory& serials)
        : set_(set), guid_(guid), serials_(serials) {}
    ~Win32InterfaceSet() override { SetupDiDestroyDeviceInfoList(set_); }

    Win32InterfaceSet(const Win32InterfaceSet&) = delete;
    Win32InterfaceSet& operator=(const Win32InterfaceSet&) = delete;

    bool EnumInterface(std::uint32_t index) override {
        path_.reset();
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInterfaces(set_, nullptr, &guid_, index, &data)) {
            current_.reset();
            return false;
        }
        current_ = Current{index, data};
        return true;
    }

    // Asks for the size of the interface's detail, then reads the detail into a buffer of
    // exactly that size and keeps its path in UTF-8 for ReadPath. A detail that cannot be
    // read still reports a size, so the failure surfaces where the path is read.
    std::size_t PathSize(std::uint32_t index) override {
        if (!Select(index)) return 0;
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set_, &current_->data, nullptr, 0, &required, nullptr);
        constexpr DWORD kMinimum =
            offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + sizeof(WCHAR);
        if (required < kMinimum) return 0;

        // DWORD elements keep the record aligned for its size field.
        const std::unique_ptr<DWORD[]> storage(
            new (std::nothrow) DWORD[(required + sizeof(DWORD) - 1) / sizeof(DWORD)]());
        if (!storage) return 0;
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.get());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        path_ = Path{index, false, {}, {}, 0};
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        if (!SetupDiGetDeviceInterfaceDetailW(set_, &current_->data, detail, required, nullptr,
                                              &device)) {
            return 1;
        }
        path_->node = device.DevInst;
        const std::size_t max_chars =
            (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR);
        const std::wstring_view wide(detail->DevicePath, wcsnlen(detail->DevicePath, max_chars));
        path_->wide = wide;
        path_->utf8 = Utf8FromWide(wide);
        path_->ok = wide.empty() || !path_->utf8.empty();
        return path_->ok ? path_->utf8.size() + 1 : 1;
    }

    bool ReadPath(std::uint32_t index, std::span<char> buffer) override {
        if (!path_ || path_->index != index) {
            if (PathSize(index) == 0) return false;
        }
        if (!path_->ok || buffer.size() < path_->utf8.size() + 1) return false;
        std::memcpy(buffer.data(), path_->utf8.c_str(), path_->utf8.size() + 1);
        return true;
    }

    UnitIdentity Identity(std::uint32_t index) override {
        if (!path_ || path_->index != index) {
            if (PathSize(index) == 0) return {};
        }
        if (!path_->ok) return {};
        UnitIdentity unit = Win32UnitIdentity(path_->node, path_->wide);
        unit.serial = serials_.Recall(path_->wide, std::move(unit.serial));
        return unit;
    }

  private:
    struct Current {
        std::uint32_t index;
        SP_DEVICE_INTERFACE_DATA data;
    };
    struct Path {
        std::uint32_t index;
        bool ok;
        std::string utf8;
        std::wstring wide;
        DEVINST node;  // the collection's device node, for its unit
    };

    // The interface record for `index`, enumerated again when another one was last listed.
    bool Select(std::uint32_t index) {
        if (current_ && current_->index == index) return true;
        return EnumInterface(index);
    }

    HDEVINFO set_;
    GUID guid_;
    SerialMemory& serials_;
    std::optional<Current> current_;
    std::optional<Path> path_;
};

}  // namespace

std::string Utf8FromWide(std::wstring_view text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length,
                                          nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string out(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, out.data(), bytes,
                        nullptr, nullptr);
    return out;
}

std::wstring WideFromUtf8(std::string_view text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int chars =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (chars <= 0) return {};
    std::wstring out(static_cast<std::size_t>(chars), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, out.data(), chars);
    return out;
}

std::unique_ptr<HidInterfaceSet> Win32HidAccess::ListInterfaces() {
    GUID guid{};
    HidD_GetHidGuid(&guid);
    HDEVINFO set =
        SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32InterfaceSet>(set, guid, serials_);
}

HidHandle Win32HidAccess::Open(std::string_view path) {
    const std::wstring wide = WideFromUtf8(path);
    if (wide.empty()) return kInvalidHandle;
    HANDLE file =
        CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    return reinterpret_cast<HidHandle>(file);
}

bool Win32HidAccess::SetNumInputBuffers(HidHandle h, unsigned count) {
    return HidD_SetNumInputBuffers(ToHandle(h), count) != FALSE;
}

bool Win32HidAccess::Probe(HidHandle h) {
    PHIDP_PREPARSED_DATA data = nullptr;
    if (!HidD_GetPreparsedData(ToHandle(h), &data)) return false;
    HidD_FreePreparsedData(data);
    return true;
}

bool Win32HidAccess::WriteReport(HidHandle h, const UpdateReport& report) {
    if (!IsOpenHandle(h)) return false;
    std::unique_ptr<Transfer> io(new (std::nothrow) Transfer);
    if (!io) return false;
    io->buffer = report.bytes;
    return RunBounded(ToHandle(h), true, UPDATE_REPORT_SIZE, write_timeout_ms_, std::move(io));
}

bool Win32HidAccess::ReadReply(HidHandle h) {
    if (!IsOpenHandle(h)) return false;
    std::unique_ptr<Transfer> io(new (std::nothrow) Transfer);
    if (!io) return false;
    return RunBounded(ToHandle(h), false, UPDATE_REPLY_SIZE, reply_timeout_ms_, std::move(io));
}

void Win32HidAccess::Close(HidHandle h) {
    if (IsOpenHandle(h)) CloseHandle(ToHandle(h));
}

void RegisterDeviceInterfaceNotifications(HWND window) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    RegisterDeviceNotificationW(window, &filter,
                                DEVICE_NOTIFY_WINDOW_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
}

}  // namespace lumo
