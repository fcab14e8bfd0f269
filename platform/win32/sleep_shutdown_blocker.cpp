#include "platform/win32/sleep_shutdown_blocker.h"

namespace lumo::win32 {

EXECUTION_STATE SystemPowerCalls::SetThreadExecutionState(EXECUTION_STATE flags) {
    return ::SetThreadExecutionState(flags);
}

BOOL SystemPowerCalls::ShutdownBlockReasonCreate(HWND hwnd, LPCWSTR reason) {
    return ::ShutdownBlockReasonCreate(hwnd, reason);
}

BOOL SystemPowerCalls::ShutdownBlockReasonDestroy(HWND hwnd) {
    return ::ShutdownBlockReasonDestroy(hwnd);
}

SleepShutdownBlocker::SleepShutdownBlocker(PowerCalls* calls, TimerCalls* timer_calls)
    : calls_(calls ? calls : &system_), timer_resolution_(timer_calls) {}

SleepShutdownBlocker::~SleepShutdownBlocker() { UpdateEnded(); }

void SleepShutdownBlocker::set_window(HWND hwnd) {
    if (hwnd == hwnd_) return;
    DestroyReason();
    hwnd_ = hwnd;
    if (under_way_) CreateReason();
}

void SleepShutdownBlocker::UpdateStarted() {
    if (under_way_) return;
    under_way_ = true;
    calls_->SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    CreateReason();
    timer_resolution_.UpdateStarted();
}

void SleepShutdownBlocker::UpdateEnded() {
    if (!under_way_) return;
    under_way_ = false;
    timer_resolution_.UpdateEnded();
    DestroyReason();
    calls_->SetThreadExecutionState(ES_CONTINUOUS);
}

void SleepShutdownBlocker::CreateReason() {
    // Without a window there is nothing to register the reason on; the refusal of
    // WM_QUERYENDSESSION still holds.
    if (!hwnd_ || reason_created_) return;
    reason_created_ = calls_->ShutdownBlockReasonCreate(hwnd_, kShutdownBlockReason) != FALSE;
}

void SleepShutdownBlocker::DestroyReason() {
    if (!reason_created_) return;
    calls_->ShutdownBlockReasonDestroy(hwnd_);
    reason_created_ = false;
}

}  // namespace lumo::win32
