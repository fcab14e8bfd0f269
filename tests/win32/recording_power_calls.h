// The system's power calls, recorded for in-process tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/win32/sleep_shutdown_blocker.h"
#include "ui/win32/wide.h"

namespace lumo::win32 {

// The system's power calls, recorded as "state:continuous|system-required",
// "state:continuous", "reason:create <text>" and "reason:destroy", with the window and the
// calling thread of each.
class RecordingPowerCalls : public PowerCalls {
public:
    std::vector<std::string> log;
    std::vector<HWND> windows;  // of the reason calls
    std::vector<DWORD> threads;

    EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags) override {
        threads.push_back(GetCurrentThreadId());
        const bool held = flags == (ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
        log.push_back(held                    ? "state:continuous|system-required"
                      : flags == ES_CONTINUOUS ? "state:continuous"
                                               : "state:other " + std::to_string(flags));
        return ES_CONTINUOUS;
    }
    BOOL ShutdownBlockReasonCreate(HWND hwnd, LPCWSTR reason) override {
        threads.push_back(GetCurrentThreadId());
        windows.push_back(hwnd);
        log.push_back("reason:create " + Narrow(reason));
        return TRUE;
    }
    BOOL ShutdownBlockReasonDestroy(HWND hwnd) override {
        threads.push_back(GetCurrentThreadId());
        windows.push_back(hwnd);
        log.push_back(IsWindow(hwnd) ? "reason:destroy" : "reason:destroy on a window gone");
        return TRUE;
    }
};

}  // namespace lumo::win32
