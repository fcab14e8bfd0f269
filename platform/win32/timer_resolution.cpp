#include "platform/win32/timer_resolution.h"

namespace lumo::win32 {

namespace {

FARPROC SystemLookup(const wchar_t* module, const char* name) {
    const HMODULE handle = GetModuleHandleW(module);
    return handle ? GetProcAddress(handle, name) : nullptr;
}

// Through the generic function type, which converts to any other without a warning.
template <typename Fn>
Fn As(FARPROC proc) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

}  // namespace

SystemTimerCalls::SystemTimerCalls(Lookup lookup) {
    if (!lookup) lookup = SystemLookup;
    // Both modules are loaded in every program that makes windows.
    set_process_information_ =
        As<SetProcessInformationFn>(lookup(L"kernel32.dll", "SetProcessInformation"));
    set_coalescable_timer_ =
        As<SetCoalescableTimerFn>(lookup(L"user32.dll", "SetCoalescableTimer"));
}

MMRESULT SystemTimerCalls::TimeBeginPeriod(UINT period_ms) { return ::timeBeginPeriod(period_ms); }

MMRESULT SystemTimerCalls::TimeEndPeriod(UINT period_ms) { return ::timeEndPeriod(period_ms); }

BOOL SystemTimerCalls::SetProcessPowerThrottling(ULONG control_mask, ULONG state_mask) {
    if (!set_process_information_) return FALSE;
    PROCESS_POWER_THROTTLING_STATE state{};
    state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
    state.ControlMask = control_mask;
    state.StateMask = state_mask;
    return set_process_information_(GetCurrentProcess(), ProcessPowerThrottling, &state,
                                    sizeof state);
}

UINT_PTR SystemTimerCalls::SetCoalescableTimer(HWND hwnd, UINT_PTR id, UINT elapse_ms,
                                               ULONG tolerance_delay) {
    if (!set_coalescable_timer_) return 0;
    return set_coalescable_timer_(hwnd, id, elapse_ms, nullptr, tolerance_delay);
}

UINT_PTR SystemTimerCalls::SetTimer(HWND hwnd, UINT_PTR id, UINT elapse_ms) {
    return ::SetTimer(hwnd, id, elapse_ms, nullptr);
}

UINT_PTR SetUpdateTimer(HWND hwnd, UINT_PTR id, UINT period_ms, TimerCalls* calls) {
    SystemTimerCalls system;
    if (!calls) calls = &system;
    if (const UINT_PTR made = calls->SetCoalescableTimer(hwnd, id, period_ms, TIMERV_NO_COALESCING))
        return made;
    return calls->SetTimer(hwnd, id, period_ms);
}

TimerResolution::TimerResolution(TimerCalls* calls) : calls_(calls ? calls : &system_) {}

TimerResolution::~TimerResolution() { UpdateEnded(); }

void TimerResolution::UpdateStarted() {
    if (under_way_) return;
    under_way_ = true;
    // The opt-out first, so that Windows 11 honours the request from its first tick. Earlier
    // Windows have no such throttling: where the call is missing or the flag refused, nothing
    // is lost.
    throttling_set_ = calls_->SetProcessPowerThrottling(
                          PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION, 0) != FALSE;
    period_begun_ = calls_->TimeBeginPeriod(kUpdateTimerResolutionMs) == TIMERR_NOERROR;
}

void TimerResolution::UpdateEnded() {
    if (!under_way_) return;
    under_way_ = false;
    if (period_begun_) calls_->TimeEndPeriod(kUpdateTimerResolutionMs);
    period_begun_ = false;
    // Back to what Windows decides for the process, as before the update.
    if (throttling_set_) calls_->SetProcessPowerThrottling(0, 0);
    throttling_set_ = false;
}

}  // namespace lumo::win32
