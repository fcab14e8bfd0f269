// The update's 10 ms pace on a real PC.
//
// A window timer fires on a tick of the system clock, and by default a PC's clock ticks 64
// times a second (15.625 ms): a 10 ms timer then fires every 15.6 ms and an update takes half
// as long again. So, from the start of an update to its end, the process asks for a 1 ms clock
// (timeBeginPeriod); outside an update it asks for nothing, as a finer clock costs power.
//
// Windows 10 version 2004 and later honour that request for the asking process alone; Windows
// 11 may ignore it while the process's windows are minimised, hidden or covered (lumo-flash's
// window is always hidden) unless the process opts out of that throttling
// (SetProcessInformation, ProcessPowerThrottling), which it does for the update's duration.
// Windows 8 and later may also coalesce a timer with others: the update timer asks not to be.
//
// SetProcessInformation and SetCoalescableTimer came with Windows 8: they are looked up at run
// time, so the programs still start on Windows 7, where the first is skipped and the timer is
// an ordinary SetTimer one.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <mmsystem.h>

#include "ports/update_lifetime.h"

namespace lumo::win32 {

// The clock asked for while an update is under way, in milliseconds.
inline constexpr UINT kUpdateTimerResolutionMs = 1;

// The system calls, behind a seam so that in-process tests can record them. A call the running
// Windows lacks answers as if it had failed.
class TimerCalls {
  public:
    virtual ~TimerCalls() = default;
    virtual MMRESULT TimeBeginPeriod(UINT period_ms) = 0;
    virtual MMRESULT TimeEndPeriod(UINT period_ms) = 0;
    // SetProcessInformation(ProcessPowerThrottling) on the calling process.
    virtual BOOL SetProcessPowerThrottling(ULONG control_mask, ULONG state_mask) = 0;
    virtual UINT_PTR SetCoalescableTimer(HWND hwnd, UINT_PTR id, UINT elapse_ms,
                                         ULONG tolerance_delay) = 0;
    virtual UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse_ms) = 0;
};

// The real ones; the Windows 8 calls through the addresses found when it is made.
class SystemTimerCalls : public TimerCalls {
  public:
    // Finds an export of a module the process has loaded, or null.
    using Lookup = FARPROC (*)(const wchar_t* module, const char* name);

    // `lookup` null: GetModuleHandleW and GetProcAddress.
    explicit SystemTimerCalls(Lookup lookup = nullptr);

    MMRESULT TimeBeginPeriod(UINT period_ms) override;
    MMRESULT TimeEndPeriod(UINT period_ms) override;
    BOOL SetProcessPowerThrottling(ULONG control_mask, ULONG state_mask) override;
    UINT_PTR SetCoalescableTimer(HWND hwnd, UINT_PTR id, UINT elapse_ms,
                                 ULONG tolerance_delay) override;
    UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse_ms) override;

  private:
    using SetProcessInformationFn = BOOL(WINAPI*)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);
    using SetCoalescableTimerFn = UINT_PTR(WINAPI*)(HWND, UINT_PTR, UINT, TIMERPROC, ULONG);

    SetProcessInformationFn set_process_information_ = nullptr;
    SetCoalescableTimerFn set_coalescable_timer_ = nullptr;
};

// The update timer on `hwnd` (WM_TIMER with `id` every `period_ms`), never coalesced where
// Windows would coalesce it; a plain SetTimer where it cannot say so. `calls` null: the
// system's. Nonzero once the timer is made, as SetTimer.
UINT_PTR SetUpdateTimer(HWND hwnd, UINT_PTR id, UINT period_ms, TimerCalls* calls = nullptr);

// The 1 ms clock and the opt-out of its throttling, from the start of an update to its end.
// Only what was granted is given back.
class TimerResolution : public UpdateLifetime {
  public:
    // `calls` null: the system's. Otherwise it must outlive this object.
    explicit TimerResolution(TimerCalls* calls = nullptr);
    ~TimerResolution() override;
    TimerResolution(const TimerResolution&) = delete;
    TimerResolution& operator=(const TimerResolution&) = delete;

    void UpdateStarted() override;
    void UpdateEnded() override;

  private:
    SystemTimerCalls system_;
    TimerCalls* calls_;
    bool under_way_ = false;
    bool period_begun_ = false;
    bool throttling_set_ = false;
};

}  // namespace lumo::win32
