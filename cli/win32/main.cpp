// lumo-flash.exe: a console program. One thread runs a message loop for a hidden window
// that gets the 10 ms timer (SetTimer) and device-change notifications
// (RegisterDeviceNotificationW), and feeds them to the portable run. Ctrl-C, Ctrl-Break and the
// console closing arrive on a thread of the system's; they are posted to the window, so the run
// only ever sees them between two events. The end of the session arrives on the window
// (WM_ENDSESSION): a program that uses windows gets no console events for log-off and
// shutdown.
#include <windows.h>

#include <atomic>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/options.h"
#include "cli/platform_runs.h"
#include "cli/records/records_command.h"
#include "cli/records/records_target.h"
#include "cli/records/run_recorder.h"
#include "cli/run_events.h"
#include "cli/win32/fiber_strand.h"
#include "platform/win32/console_terminal.h"
#include "platform/win32/sleep_shutdown_blocker.h"
#include "platform/win32/timer_resolution.h"
#include "platform/win32/unit_mutex_claims.h"
#include "platform/win32/win32_hid_access.h"

namespace {

using namespace lumo::cli;

constexpr UINT kInterruptMessage = WM_APP + 1;    // Ctrl-C, Ctrl-Break
constexpr UINT kTerminatingMessage = WM_APP + 2;  // the console closed, log-off, shutdown
constexpr wchar_t kWindowClass[] = L"LumoFlashEvents";
// Windows ends a process a few seconds (5 by default) after the console closed; the run
// reports and the process ends well inside that, and this is the latest it ends on its own.
constexpr DWORD kTerminationGraceMs = 4000;

// The console handler's only way to the window (it runs on another thread).
std::atomic<HWND> g_events_window{nullptr};

class TickClock : public Clock {
  public:
    std::uint64_t NowMs() override { return GetTickCount64(); }
};

class SleepPause : public lumo::Pause {
  public:
    void Wait(std::uint32_t ms) override { Sleep(ms); }
};

// What ends the process whatever it does, in the run's words.
const char* TerminationCause(DWORD console_event) {
    switch (console_event) {
        case CTRL_CLOSE_EVENT:
            return "The console window was closed";
        case CTRL_LOGOFF_EVENT:
            return "The user is logging off";
        case CTRL_SHUTDOWN_EVENT:
            return "Windows is shutting down";
        default:
            return nullptr;
    }
}

BOOL WINAPI OnConsoleControl(DWORD type) {
    const HWND window = g_events_window.load();
    if (window == nullptr) return FALSE;  // no run yet: the default ends the process
    if (TerminationCause(type) == nullptr) {
        PostMessageW(window, kInterruptMessage, type, 0);
        return TRUE;
    }
    // Windows ends the process as soon as this returns. So it does not return: the loop reports
    // the abort and wmain returns its exit status, which ends the process and this thread with
    // it. Should the loop not get there in time, the process still ends with that status.
    PostMessageW(window, kTerminatingMessage, type, 0);
    Sleep(kTerminationGraceMs);
    ExitProcess(kExitAborted);
}

// What the window's procedure reaches: the run, and what holds off sleep and shutdown.
struct EventsTarget {
    RunEvents* run;
    lumo::win32::SleepShutdownBlocker* blocker;
};

LRESULT CALLBACK EventsProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    const auto* target = reinterpret_cast<EventsTarget*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    RunEvents* run = target != nullptr ? target->run : nullptr;
    if (run != nullptr) {
        switch (message) {
            case WM_QUERYENDSESSION:
                // Shutdown and log-off are refused while the update is under way.
                return target->blocker->QueryEndSessionAnswer();
            case WM_TIMER:
                if (wparam == lumo::UPDATE_TIMER_ID) run->OnTick();
                return 0;
            case WM_DEVICECHANGE:
                run->OnDeviceChange(static_cast<unsigned>(wparam));
                return TRUE;
            case WM_ENDSESSION:
                // The session really ends, whatever this window answered to
                // WM_QUERYENDSESSION (a forced log-off does not ask), and the process with it
                // once this returns.
                if (wparam) {
                    run->OnTerminating((lparam & ENDSESSION_LOGOFF) != 0
                                           ? TerminationCause(CTRL_LOGOFF_EVENT)
                                           : TerminationCause(CTRL_SHUTDOWN_EVENT));
                }
                return 0;
            case kInterruptMessage:
                run->OnInterrupt();
                return 0;
            case kTerminatingMessage:
                run->OnTerminating(TerminationCause(static_cast<DWORD>(wparam)));
                return 0;
            default:
                break;
        }
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

// The event window and its message loop around one run (one unit, --all or --station).
int RunOnWindow(const RunMaker& make) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW wc{};
    wc.lpfnWndProc = EventsProc;
    wc.hInstance = instance;
    wc.lpszClassName = kWindowClass;
    RegisterClassW(&wc);
    // A hidden top-level window, not a message-only one: only top-level windows are asked
    // before shutdown and log-off (WM_QUERYENDSESSION).
    const HWND window = CreateWindowExW(0, kWindowClass, L"lumo-flash", WS_OVERLAPPED, 0, 0, 0, 0,
                                        nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        std::cerr << "lumo-flash: cannot create its event window (error " << GetLastError()
                  << ")\n";
        return kExitFailed;
    }
    // Registered before the first search, so a device plugged in meanwhile is reported.
    lumo::RegisterDeviceInterfaceNotifications(window);

    TickClock clock;
    SleepPause pause;
    // Keeps the system awake and gives the reason for refusing shutdown on this window while
    // an update is under way; made before the run, which ends an update still under way.
    lumo::win32::SleepShutdownBlocker blocker;
    blocker.set_window(window);
    const std::unique_ptr<RunEvents> run = make(clock, pause, blocker);
    EventsTarget target{run.get(), &blocker};
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&target));
    g_events_window.store(window);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    run->Begin();
    lumo::win32::SetUpdateTimer(window, lumo::UPDATE_TIMER_ID, lumo::UPDATE_TIMER_PERIOD_MS);
    MSG msg;
    while (!run->exit_code() && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    g_events_window.store(nullptr);
    KillTimer(window, lumo::UPDATE_TIMER_ID);
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    const int code = run->exit_code().value_or(kExitFailed);
    blocker.set_window(nullptr);  // the reason goes while its window is still there
    DestroyWindow(window);
    return code;
}

bool IsConsole(DWORD which) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // The texts are UTF-8 (some carry full-width punctuation).
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> utf8;
    for (int i = 0; i < argc; ++i) utf8.push_back(lumo::Utf8FromWide(argv[i]));
    std::vector<const char*> args;
    for (const std::string& a : utf8) args.push_back(a.c_str());

    auto parsed = ParseOptions(argc, args.data(), std::cout, std::cerr);
    if (const int* code = std::get_if<int>(&parsed)) return *code;
    const Options& options = std::get<Options>(parsed);

    if (options.version) {
        PrintVersion(std::cout, options.json);
        return kExitSuccess;
    }
    if (options.records) {
        namespace records = lumo::cli::records;
        return records::RunRecordsCommand(*options.records, options.records_target,
                                          records::JournalRecordsPlatform(), std::cout, std::cerr);
    }
    const OutputMode mode = options.json                   ? OutputMode::kJson
                            : IsConsole(STD_OUTPUT_HANDLE) ? OutputMode::kTerminal
                                                           : OutputMode::kLines;
    ConsoleReport report(std::cout, std::cerr, mode);
    lumo::Win32HidAccess hid;
    // One writer per unit, across our programs: a named mutex per unit. Each unit of --all and
    // --station on a fiber of its own.
    RunPlatform platform{
        RunOnWindow, [] { return std::make_unique<lumo::UnitMutexClaims>(); },
        [](Clock& clock, lumo::Pause& pause) { return std::make_unique<FiberStrand>(clock, pause); },
        std::cout, std::cerr};
    // The live view of several units on a console that takes virtual-terminal sequences.
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    const bool console = IsConsole(STD_OUTPUT_HANDLE);
    const bool vt = console && !options.json && lumo::win32::EnableVirtualTerminal(output);
    platform.form = ChooseOutputForm(FactsFromEnvironment(console, options.json, vt));
    platform.columns = lumo::win32::ConsoleColumns(output).value_or(80);
    // Every update attempt is kept in the journal, opened before anything is written to a
    // device.
    namespace records = lumo::cli::records;
    std::unique_ptr<records::RecordSink> sink;
    std::optional<records::RunRecorder> recorder;
    if (!options.list) {
        records::OpenedRecords opened = records::OpenJournalTarget(options.records_target);
        if (!opened.error.empty()) {
            std::cerr << opened.error << std::endl;
            return kExitUsage;
        }
        if (!opened.warning.empty()) std::cerr << opened.warning << std::endl;
        sink = records::SinkFor(std::move(opened.store));
        recorder.emplace(*sink, options.station_name);
        platform.recorder = &*recorder;
    }
    return RunCommand(options, hid, report, platform);
}
