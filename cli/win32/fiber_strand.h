// A unit's strand on Windows: the calls run on a fiber of their own, in the message loop's
// thread, which becomes a fiber itself the first time a strand is entered.
#pragma once

#include <windows.h>

#include "cli/unit_strand.h"

namespace lumo::cli {

class FiberStrand final : public StackStrand {
  public:
    FiberStrand(Clock& clock, Pause& outside) : StackStrand(clock, outside) {}
    ~FiberStrand() override {
        if (fiber_ != nullptr) DeleteFiber(fiber_);
    }

  private:
    void EnterStack() override {
        loop_ = LoopFiber();
        if (fiber_ == nullptr && loop_ != nullptr) fiber_ = CreateFiber(0, &Entry, this);
        if (fiber_ == nullptr) {
            RunHere();  // no fiber to be had: the unit's pauses hold every unit
            return;
        }
        SwitchToFiber(fiber_);
    }

    void LeaveStack() override { SwitchToFiber(loop_); }

    // The thread's own fiber, made once, the first time a strand is entered on it.
    static void* LoopFiber() {
        thread_local void* const loop = ConvertThreadToFiber(nullptr);
        return loop;
    }

    static void WINAPI Entry(void* self) { static_cast<FiberStrand*>(self)->Serve(); }

    void* loop_ = nullptr;
    void* fiber_ = nullptr;
};

}  // namespace lumo::cli
