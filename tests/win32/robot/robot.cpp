#include "tests/win32/robot/robot.h"

#include <psapi.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace lumo::robot {

namespace {

constexpr DWORD kPollMs = 20;
constexpr UINT kSendLimitMs = 2000;  // a message the tool must answer

// Calls `done` until it returns true or `limit_ms` has passed.
template <typename F>
bool PollUntil(DWORD limit_ms, F done) {
    const ULONGLONG end = GetTickCount64() + limit_ms;
    for (;;) {
        if (done()) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(kPollMs);
    }
}

std::wstring ClassName(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

DWORD ProcessOf(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid;
}

struct WindowSearch {
    DWORD pid;
    const std::wstring* title;  // null: any dialog other than `skip`
    HWND skip;
    HWND found;
};

BOOL CALLBACK MatchTopLevel(HWND window, LPARAM param) {
    auto& search = *reinterpret_cast<WindowSearch*>(param);
    if (ProcessOf(window) != search.pid || !IsWindowVisible(window) || window == search.skip) {
        return TRUE;
    }
    if (search.title != nullptr) {
        if (WindowText(window) != *search.title) return TRUE;
    } else if (ClassName(window) != L"#32770" || GetWindow(window, GW_OWNER) != search.skip) {
        return TRUE;
    }
    search.found = window;
    return FALSE;
}

BOOL CALLBACK ReadBoxChild(HWND child, LPARAM param) {
    auto& box = *reinterpret_cast<Box*>(param);
    const std::wstring cls = ClassName(child);
    const LONG style = GetWindowLongW(child, GWL_STYLE);
    if (cls == L"Button") {
        box.buttons.push_back(WindowText(child).value_or(L"?"));
        // The default button is drawn with the thick frame that its style asks for.
        if ((style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) box.default_id = GetDlgCtrlID(child);
    } else if (cls == L"Static" && (style & SS_TYPEMASK) == SS_ICON) {
        DWORD_PTR icon = 0;
        if (IsWindowVisible(child) &&
            SendMessageTimeoutW(child, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, kSendLimitMs,
                                &icon) != 0 &&
            icon != 0) {
            box.icon = true;
        }
    } else if (cls == L"Static" && GetDlgCtrlID(child) == 0xFFFF) {
        box.text = WindowText(child).value_or(L"");
    }
    return TRUE;
}

bool IsFilledIn(const Box& box) {
    return !box.text.empty() && !box.buttons.empty() &&
           std::find(box.buttons.begin(), box.buttons.end(), L"?") == box.buttons.end();
}

}  // namespace

std::optional<std::wstring> WindowText(HWND window) {
    DWORD_PTR length = 0;
    if (SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendLimitMs,
                            &length) == 0) {
        return std::nullopt;
    }
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                            SMTO_ABORTIFHUNG, kSendLimitMs, &copied) == 0) {
        return std::nullopt;
    }
    text.resize(copied < length ? copied : length);
    return text;
}

Robot::~Robot() {
    if (process_.hProcess != nullptr) {
        if (Running()) {
            TerminateProcess(process_.hProcess, 99);
            WaitForSingleObject(process_.hProcess, 5000);
        }
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }
}

bool Robot::Launch(const std::wstring& exe) {
    std::wstring command_line = L"\"" + exe + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    return CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &process_) != FALSE;
}

HWND Robot::WaitForWindow(const std::wstring& title, DWORD limit_ms) {
    PollUntil(limit_ms, [&] {
        WindowSearch search{process_.dwProcessId, &title, nullptr, nullptr};
        EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&search));
        window_ = search.found;
        return window_ != nullptr || !Running();
    });
    return window_;
}

std::optional<std::wstring> Robot::ControlText(int id) const {
    HWND control = GetDlgItem(window_, id);
    if (control == nullptr) return std::nullopt;
    return WindowText(control);
}

std::optional<bool> Robot::ControlEnabled(int id) const {
    HWND control = GetDlgItem(window_, id);
    if (control == nullptr) return std::nullopt;
    return IsWindowEnabled(control) != FALSE;
}

bool Robot::WaitForText(int id, const std::wstring& expected, DWORD limit_ms,
                            std::wstring* last) {
    return PollUntil(limit_ms, [&] {
        const std::optional<std::wstring> text = ControlText(id);
        if (last != nullptr) *last = text.value_or(L"(unreadable)");
        return text == expected;
    });
}

bool Robot::Click(int id) {
    HWND control = GetDlgItem(window_, id);
    return control != nullptr && PostMessageW(control, BM_CLICK, 0, 0) != FALSE;
}

std::optional<Box> Robot::CurrentBox() const {
    if (window_ == nullptr) return std::nullopt;
    WindowSearch search{process_.dwProcessId, nullptr, window_, nullptr};
    EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr) return std::nullopt;
    Box box;
    box.window = search.found;
    box.caption = WindowText(search.found).value_or(L"");
    EnumChildWindows(search.found, ReadBoxChild, reinterpret_cast<LPARAM>(&box));
    return box;
}

std::optional<Box> Robot::WaitForBox(DWORD limit_ms) {
    // A box can be seen between its creation and the end of its filling in (no text yet,
    // buttons that do not answer, the icon still to come): take it once it has its text and
    // readable buttons and reads the same twice running. At the time limit the box as last
    // seen is given, so a failure shows what was there.
    std::optional<Box> box, before;
    PollUntil(limit_ms, [&] {
        before = std::exchange(box, CurrentBox());
        return (box.has_value() && IsFilledIn(*box) && box == before) || !Running();
    });
    return box;
}

bool Robot::Press(const Box& box, int button_id, DWORD limit_ms) {
    HWND button = GetDlgItem(box.window, button_id);
    if (button == nullptr || PostMessageW(button, BM_CLICK, 0, 0) == FALSE) return false;
    return PollUntil(limit_ms, [&] { return IsWindow(box.window) == FALSE; });
}

bool Robot::Close() {
    return window_ != nullptr && PostMessageW(window_, WM_SYSCOMMAND, SC_CLOSE, 0) != FALSE;
}

std::optional<DWORD> Robot::WaitForExit(DWORD limit_ms) {
    if (process_.hProcess == nullptr ||
        WaitForSingleObject(process_.hProcess, limit_ms) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
}

namespace {

// One entry of the system's handle table (SystemExtendedHandleInformation).
struct HandleEntry {
    void* object;
    ULONG_PTR process_id;
    ULONG_PTR handle;
    ULONG access;
    USHORT backtrace;
    USHORT type;
    ULONG attributes;
    ULONG reserved;
};
struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};

// Handles the process holds, counted in the system's handle table: Wine answers
// GetProcessHandleCount for another process with 0.
std::optional<DWORD> CountHandles(DWORD process_id) {
    using Query = LONG(WINAPI*)(int, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return std::nullopt;
    constexpr int kSystemExtendedHandleInformation = 64;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<unsigned char> buffer(1 << 16);
    for (int tries = 0; tries < 16; ++tries) {
        ULONG needed = 0;
        const LONG status = query(kSystemExtendedHandleInformation, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &needed);
        if (status == kInfoLengthMismatch) {
            buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status < 0) return std::nullopt;
        const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
        DWORD n = 0;
        for (ULONG_PTR i = 0; i < table->count; ++i)
            if (table->entries[i].process_id == process_id) ++n;
        return n;
    }
    return std::nullopt;
}

}  // namespace

std::optional<Robot::Usage> Robot::ToolUsage() const {
    if (!Running()) return std::nullopt;
    Usage u;
    if (!GetProcessHandleCount(process_.hProcess, &u.handles)) return std::nullopt;
    if (u.handles == 0) {
        const auto counted = CountHandles(process_.dwProcessId);
        if (!counted) return std::nullopt;
        u.handles = *counted;
    }
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    if (!K32GetProcessMemoryInfo(process_.hProcess, &memory, sizeof memory)) return std::nullopt;
    u.working_set = memory.WorkingSetSize;
    return u;
}

bool Robot::Running() const {
    return process_.hProcess != nullptr && WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT;
}

}  // namespace lumo::robot
