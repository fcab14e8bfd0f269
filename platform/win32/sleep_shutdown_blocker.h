// Holds off sleep and refuses shutdown and log-off while an update is under way: a device left
// with half its firmware must be put into update mode again.
//
// At the start: SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED), which keeps the
// system awake for as long as the calling thread leaves it set, and a shutdown block reason on
// the window that answers WM_QUERYENDSESSION. At the end: ES_CONTINUOUS alone, and the reason
// goes. Both calls come from the core on the user-interface thread, the one that owns the
// timer, so the execution state is set and cleared on the same thread. For the same span it
// keeps the 1 ms clock that holds the update timer to its 10 ms (timer_resolution.h).
//
// No dialog and no framework here: the dialog program and the command line's hidden window
// use it alike. The window answers WM_QUERYENDSESSION with QueryEndSessionAnswer().
#pragma once

#include <windows.h>

#include "platform/win32/timer_resolution.h"
#include "ports/update_lifetime.h"

namespace lumo::win32 {

inline constexpr const wchar_t* kShutdownBlockReason = L"Firmware update in progress";

// The system calls, behind a seam so that in-process tests can record them.
class PowerCalls {
public:
    virtual ~PowerCalls() = default;
    virtual EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags) = 0;
    virtual BOOL ShutdownBlockReasonCreate(HWND hwnd, LPCWSTR reason) = 0;
    virtual BOOL ShutdownBlockReasonDestroy(HWND hwnd) = 0;
};

// The real ones.
class SystemPowerCalls : public PowerCalls {
public:
    EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags) override;
    BOOL ShutdownBlockReasonCreate(HWND hwnd, LPCWSTR reason) override;
    BOOL ShutdownBlockReasonDestroy(HWND hwnd) override;
};

class SleepShutdownBlocker : public UpdateLifetime {
public:
    // `calls`, `timer_calls` null: the system's. Otherwise each must outlive this object.
    explicit SleepShutdownBlocker(PowerCalls* calls = nullptr, TimerCalls* timer_calls = nullptr);
    ~SleepShutdownBlocker() override;
    SleepShutdownBlocker(const SleepShutdownBlocker&) = delete;
    SleepShutdownBlocker& operator=(const SleepShutdownBlocker&) = delete;

    // The window that carries the shutdown block reason; null when it goes (call it from
    // WM_DESTROY: a reason still registered is destroyed while the window is valid).
    void set_window(HWND hwnd);

    void UpdateStarted() override;
    void UpdateEnded() override;

    bool under_way() const { return under_way_; }
    // WM_QUERYENDSESSION's result: FALSE refuses shutdown and log-off during an update.
    LRESULT QueryEndSessionAnswer() const { return under_way_ ? FALSE : TRUE; }

private:
    void CreateReason();
    void DestroyReason();

    SystemPowerCalls system_;
    PowerCalls* calls_;
    TimerResolution timer_resolution_;
    HWND hwnd_ = nullptr;
    bool under_way_ = false;
    bool reason_created_ = false;
};

}  // namespace lumo::win32
