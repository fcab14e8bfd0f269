// Ends a console program's session the way Windows does, for lumo-flash.exe's tests under Wine:
//
//   end_session.exe close|logoff TEXT -- PROGRAM ARGS...
//
// Runs PROGRAM with its standard output passed through this program's. At the first line that
// holds TEXT:
//   close   runs the console's close event in PROGRAM: a thread at kernel32's CtrlRoutine with
//           CTRL_CLOSE_EVENT, as the console host starts it when its window is closed;
//   logoff  asks PROGRAM's windows whether the user may log off (WM_QUERYENDSESSION) and, as a
//           forced log-off does whatever they answer, ends the session (WM_ENDSESSION).
// Then, as Windows does, PROGRAM is ended with STATUS_CONTROL_C_EXIT if it still runs 5 s
// later or, for close, a moment after its handlers have returned. The exit status is PROGRAM's.
// (Windows exports CtrlRoutine from kernelbase only; Wine from kernel32 as well.)
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr DWORD kSystemGraceMs = 5000;       // how long Windows lets the process go on
constexpr DWORD kExitingMs = 1000;           // a process that returned from its handler ends
constexpr DWORD kControlCExit = 0xC000013A;  // STATUS_CONTROL_C_EXIT

void Say(const std::string& text) {
    const std::string line = "end_session: " + text + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()),
              &written, nullptr);
}

std::wstring Quoted(const std::wstring& arg) {
    std::wstring out = L"\"";
    for (const wchar_t c : arg) {
        if (c == L'"') out += L'\\';
        out += c;
    }
    return out + L"\"";
}

struct Child {
    HANDLE process = nullptr;
    HANDLE output = nullptr;  // our end of its standard output
};

bool Start(const std::vector<std::wstring>& command, Child& child) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE write_end = nullptr;
    if (!CreatePipe(&child.output, &write_end, &inherit, 0)) return false;
    SetHandleInformation(child.output, HANDLE_FLAG_INHERIT, 0);
    std::wstring line;
    for (const std::wstring& arg : command) line += (line.empty() ? L"" : L" ") + Quoted(arg);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = write_end;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    const BOOL ok =
        CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(write_end);
    if (!ok) return false;
    CloseHandle(pi.hThread);
    child.process = pi.hProcess;
    return true;
}

// Ends the child as Windows would if it is still running after `ms`; otherwise says how long
// after `event_ms` (GetTickCount64) it ended.
void EndIfStillRunning(HANDLE process, DWORD ms, ULONGLONG event_ms) {
    if (WaitForSingleObject(process, ms) == WAIT_TIMEOUT) {
        Say("still running: ended as Windows ends it");
        TerminateProcess(process, kControlCExit);
        return;
    }
    Say("the program ended " + std::to_string(GetTickCount64() - event_ms) + " ms after the event");
}

void CloseConsole(HANDLE process) {
    const ULONGLONG event_ms = GetTickCount64();
    const auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CtrlRoutine")));
    HANDLE thread =
        routine ? CreateRemoteThread(process, nullptr, 0, routine,
                                     reinterpret_cast<void*>(std::uintptr_t{CTRL_CLOSE_EVENT}), 0,
                                     nullptr)
                : nullptr;
    if (thread == nullptr) {
        Say("cannot deliver the close event (error " + std::to_string(GetLastError()) + ")");
        TerminateProcess(process, kControlCExit);
        return;
    }
    Say("console closed");
    const bool returned = WaitForSingleObject(thread, kSystemGraceMs) == WAIT_OBJECT_0;
    CloseHandle(thread);
    EndIfStillRunning(process, returned ? kExitingMs : 0, event_ms);
}

struct Windows {
    DWORD pid;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
    auto* windows = reinterpret_cast<Windows*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == windows->pid) windows->found.push_back(window);
    return TRUE;
}

void LogOff(HANDLE process) {
    const ULONGLONG event_ms = GetTickCount64();
    Windows windows{GetProcessId(process), {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&windows));
    for (const HWND window : windows.found) {
        DWORD_PTR answer = 0;
        SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG,
                            kSystemGraceMs, &answer);
        Say(std::string("log-off ") + (answer ? "allowed" : "refused") + " by a window");
    }
    for (const HWND window : windows.found) {
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG,
                            kSystemGraceMs, &ignored);
    }
    Say("session ended (" + std::to_string(windows.found.size()) + " windows)");
    EndIfStillRunning(process, kSystemGraceMs, event_ms);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 5 || std::wstring(argv[3]) != L"--") {
        Say("usage: end_session.exe close|logoff TEXT -- PROGRAM ARGS...");
        return 2;
    }
    const std::wstring how = argv[1];
    const std::wstring wide_text = argv[2];
    const std::string text(wide_text.begin(), wide_text.end());  // ASCII
    Child child;
    if (!Start({argv + 4, argv + argc}, child)) {
        Say("cannot start the program (error " + std::to_string(GetLastError()) + ")");
        return 2;
    }
    std::string line;
    bool done = false;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(child.output, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buffer, n, &written, nullptr);
        for (DWORD i = 0; i < n && !done; ++i) {
            if (buffer[i] != '\n') {
                line += buffer[i];
                continue;
            }
            if (line.find(text) != std::string::npos) {
                done = true;
                if (how == L"close") {
                    CloseConsole(child.process);
                } else {
                    LogOff(child.process);
                }
            }
            line.clear();
        }
    }
    WaitForSingleObject(child.process, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(child.process, &status);
    return static_cast<int>(status);
}
