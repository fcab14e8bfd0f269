// The system's timer calls, recorded for in-process tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/win32/timer_resolution.h"

namespace lumo::win32 {

// The calls, recorded as "period:begin 1", "period:end 1", "throttling:ignore-timer-resolution
// off" (the opt-out), "throttling:system" (back to Windows' own choice), "timer:no-coalescing
// ID MS" and "timer:plain ID MS". The answers can be set to those of an older Windows.
class RecordingTimerCalls : public TimerCalls {
  public:
    std::vector<std::string> log;
    MMRESULT begin_answer = TIMERR_NOERROR;
    BOOL throttling_answer = TRUE;    // FALSE: the flag (or the call) unknown, before Windows 11
    UINT_PTR coalescable_answer = 1;  // 0: the call missing, before Windows 8

    MMRESULT TimeBeginPeriod(UINT period_ms) override {
        log.push_back("period:begin " + std::to_string(period_ms));
        return begin_answer;
    }
    MMRESULT TimeEndPeriod(UINT period_ms) override {
        log.push_back("period:end " + std::to_string(period_ms));
        return TIMERR_NOERROR;
    }
    BOOL SetProcessPowerThrottling(ULONG control_mask, ULONG state_mask) override {
        if (control_mask == PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION && state_mask == 0)
            log.push_back("throttling:ignore-timer-resolution off");
        else if (control_mask == 0 && state_mask == 0)
            log.push_back("throttling:system");
        else
            log.push_back("throttling:other " + std::to_string(control_mask) + " " +
                          std::to_string(state_mask));
        return throttling_answer;
    }
    UINT_PTR SetCoalescableTimer(HWND, UINT_PTR id, UINT elapse_ms,
                                 ULONG tolerance_delay) override {
        log.push_back((tolerance_delay == TIMERV_NO_COALESCING
                           ? std::string("timer:no-coalescing ")
                           : "timer:tolerance " + std::to_string(tolerance_delay) + " ") +
                      std::to_string(id) + " " + std::to_string(elapse_ms));
        return coalescable_answer;
    }
    UINT_PTR SetTimer(HWND, UINT_PTR id, UINT elapse_ms) override {
        log.push_back("timer:plain " + std::to_string(id) + " " + std::to_string(elapse_ms));
        return 1;
    }
};

}  // namespace lumo::win32
