// A tiny Windows program that proves the Windows path against the emulated device under
// wine64: it finds the device through SetupDiGetClassDevsW like the tool does, opens it,
// writes reports and reads the reply. Every wait is bounded (overlapped I/O with a timeout).
//
//   hid_probe list              prints the HID interface paths found
//   hid_probe start             start report, then the 3-byte reply
//   hid_probe stream            a whole update of the image for the product found
//   hid_probe notify            a window registered for device notifications of all
//                               interface classes waits (up to 30 s) for a removal and then
//                               an arrival, and prints them
//   hid_probe follow            the same; after a failed write it waits for the device to
//                               come back (a new device path), reopens it and goes on there
//   hid_probe identity          for each HID interface: the device instance IDs from it up to
//                               the root, the location paths of each, the HID serial string
#include <windows.h>
#include <cfgmgr32.h>
#include <dbt.h>
#include <initguid.h>  // defines the property keys of devpkey.h here
#include <devpkey.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <cstdio>
#include <string>
#include <vector>

#include "firmware/firmware_image.h"
#include "protocol/update_report.h"

namespace {

std::vector<std::wstring> ListPaths() {
    std::vector<std::wstring> paths;
    GUID guid;
    HidD_GetHidGuid(&guid);
    HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return paths;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
        if (size == 0) continue;
        std::vector<BYTE> buf(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buf.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr))
            paths.emplace_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

bool Wait(HANDLE h, OVERLAPPED& ov, DWORD ms) {
    DWORD n = 0;
    if (WaitForSingleObject(ov.hEvent, ms) != WAIT_OBJECT_0) {
        CancelIo(h);
        GetOverlappedResult(h, &ov, &n, TRUE);
        return false;
    }
    return GetOverlappedResult(h, &ov, &n, FALSE) != 0;
}

bool Write(HANDLE h, const lumo::UpdateReport& r) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool ok = WriteFile(h, r.bytes.data(), static_cast<DWORD>(r.bytes.size()), nullptr, &ov) ||
              (GetLastError() == ERROR_IO_PENDING && Wait(h, ov, 2000));
    CloseHandle(ov.hEvent);
    return ok;
}

bool ReadReply(HANDLE h) {
    BYTE buf[lumo::UPDATE_REPLY_SIZE] = {};
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool ok = ReadFile(h, buf, sizeof buf, nullptr, &ov) ||
              (GetLastError() == ERROR_IO_PENDING && Wait(h, ov, 5000));
    CloseHandle(ov.hEvent);
    if (ok) std::printf("probe: reply %02x %02x %02x\n", buf[0], buf[1], buf[2]);
    return ok;
}

// The first Orvel-M8 path, looked for up to 20 s (Wine's bus driver may
// still be starting, or the device may be on its way back).
std::wstring Find(bool print) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::wstring found;
        for (const auto& p : ListPaths()) {
            if (print && attempt == 0) std::printf("probe: path %s\n", Narrow(p).c_str());
            if (found.empty() &&
                (p.find(L"vid_5a7e&pid_c3d1") != std::wstring::npos ||
                 p.find(L"vid_5a7e&pid_7b16") != std::wstring::npos))
                found = p;
        }
        if (!found.empty()) return found;
        Sleep(200);
    }
    return L"";
}

HANDLE Open(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

struct Seen {
    bool removal = false;
    bool arrival_after_removal = false;
};

LRESULT CALLBACK NotifyProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_DEVICECHANGE && (wp == DBT_DEVICEARRIVAL || wp == DBT_DEVICEREMOVECOMPLETE)) {
        auto* seen = reinterpret_cast<Seen*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        std::printf("probe: %s\n", wp == DBT_DEVICEARRIVAL ? "arrival" : "removal complete");
        std::fflush(stdout);
        if (wp == DBT_DEVICEREMOVECOMPLETE) seen->removal = true;
        if (wp == DBT_DEVICEARRIVAL && seen->removal) seen->arrival_after_removal = true;
        return TRUE;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

int Notify() {
    Seen seen;
    WNDCLASSW wc{};
    wc.lpfnWndProc = NotifyProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"OrvelProbe";
    RegisterClassW(&wc);
    HWND hwnd = CreateWindowW(L"OrvelProbe", L"probe", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                              nullptr, nullptr, wc.hInstance, nullptr);
    if (!hwnd) {
        std::printf("probe: no window (error %lu)\n", GetLastError());
        return 1;
    }
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&seen));
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    if (!RegisterDeviceNotificationW(hwnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE |
                                                        DEVICE_NOTIFY_ALL_INTERFACE_CLASSES)) {
        std::printf("probe: no notifications (error %lu)\n", GetLastError());
        return 1;
    }
    std::printf("probe: listening\n");
    std::fflush(stdout);
    const DWORD until = GetTickCount() + 30000;
    while (!seen.arrival_after_removal && GetTickCount() < until) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    DestroyWindow(hwnd);
    return seen.arrival_after_removal ? 0 : 1;
}

// What the device tree and HID.dll tell about the unit behind each HID interface.
int Identity() {
    GUID guid;
    HidD_GetHidGuid(&guid);
    HDEVINFO set =
        SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return 1;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
        std::vector<BYTE> buf(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buf.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, &info)) continue;
        std::printf("probe: interface %s\n", Narrow(detail->DevicePath).c_str());
        for (DEVINST node = info.DevInst;;) {
            wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
            CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0);
            std::printf("probe:   instance %s\n", Narrow(id).c_str());
            DEVPROPTYPE type = 0;
            wchar_t paths[1024] = {};
            ULONG bytes = sizeof paths;
            const CONFIGRET r = CM_Get_DevNode_PropertyW(node, &DEVPKEY_Device_LocationPaths,
                                                         &type, reinterpret_cast<BYTE*>(paths),
                                                         &bytes, 0);
            std::printf("probe:     location paths: %s\n",
                        r == CR_SUCCESS ? Narrow(paths).c_str() : "(none)");
            DEVINST parent = 0;
            if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) break;
            node = parent;
        }
        HANDLE h = CreateFileW(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        wchar_t serial[127] = {};
        const bool got = h != INVALID_HANDLE_VALUE &&
                         HidD_GetSerialNumberString(h, serial, sizeof serial);
        std::printf("probe:   serial: %s\n", got ? Narrow(serial).c_str() : "(none)");
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    SetupDiDestroyDeviceInfoList(set);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "list";
    if (mode == "identity") return Identity();
    std::wstring found = Find(true);
    if (found.empty()) {
        std::printf("probe: no Orvel-M8 found\n");
        return 1;
    }
    std::printf("probe: found %s\n", Narrow(found).c_str());
    if (mode == "list") return 0;
    if (mode == "notify") return Notify();

    HANDLE h = Open(found);
    if (h == INVALID_HANDLE_VALUE) {
        std::printf("probe: cannot open (error %lu)\n", GetLastError());
        return 1;
    }
    HidD_SetNumInputBuffers(h, 200);
    PHIDP_PREPARSED_DATA pp = nullptr;
    if (!HidD_GetPreparsedData(h, &pp)) {
        std::printf("probe: no preparsed data\n");
        return 1;
    }
    HIDP_CAPS caps{};
    HidP_GetCaps(pp, &caps);
    HidD_FreePreparsedData(pp);
    std::printf("probe: output report %u bytes, input report %u bytes\n",
                caps.OutputReportByteLength, caps.InputReportByteLength);

    if (!Write(h, lumo::BuildStartReport())) {
        std::printf("probe: start report not written (error %lu)\n", GetLastError());
        return 1;
    }
    Sleep(300);
    if (!ReadReply(h)) {
        std::printf("probe: no reply\n");
        return 1;
    }
    if (mode == "stream" || mode == "follow") {
        const bool variant = found.find(L"pid_7b16") != std::wstring::npos;
        const auto bytes = lumo::SelectFirmwareImage(variant).bytes();
        lumo::UpdateReport last;
        std::uint32_t index = 0;
        for (std::size_t off = 0; off < bytes.size(); off += lumo::UPDATE_BLOCK_SIZE, ++index) {
            last = lumo::BuildDataReport(
                index, bytes.subspan(off, std::min(lumo::UPDATE_BLOCK_SIZE, bytes.size() - off)));
            if (Write(h, last)) continue;
            std::printf("probe: block %u not written (error %lu)\n", index, GetLastError());
            if (mode != "follow") return 1;
            // A re-plugged device keeps its path (it is made from the serial number), so
            // keep trying to open and write for up to 20 s.
            CloseHandle(h);
            h = INVALID_HANDLE_VALUE;
            bool resumed = false;
            for (int attempt = 0; attempt < 100 && !resumed; ++attempt) {
                Sleep(200);
                found = Find(false);
                if (found.empty()) continue;
                h = Open(found);
                if (h == INVALID_HANDLE_VALUE) continue;
                resumed = Write(h, last);
                if (!resumed) {
                    CloseHandle(h);
                    h = INVALID_HANDLE_VALUE;
                }
            }
            if (!resumed) {
                std::printf("probe: the device did not come back\n");
                return 1;
            }
            std::printf("probe: resumed on %s at block %u\n", Narrow(found).c_str(), index);
        }
        if (!Write(h, lumo::BuildFinishReport(last))) {
            std::printf("probe: finish report not written\n");
            return 1;
        }
        std::printf("probe: %u blocks written\n", index);
    }
    CloseHandle(h);
    return 0;
}
