// lumo-flash --all and --station: each unit's calls on a stack of its own, so that one unit's
// fixed pause (the 2.5 s after it is found, the 250 ms after its arrival opens it, the 300 ms
// before the start report's reply, the 500 ms before the finish report) holds that unit alone,
// as it would with one process per unit, while the one event loop goes on serving the others.
// Still one thread: a pause hands control back to the loop, and the loop goes back in once the
// pause is over.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "cli/clock.h"
#include "ports/pause.h"

namespace lumo::cli {

class UnitStrand : public Pause {
  public:
    // Makes `call` on the strand's stack; returns when the call has returned or paused. Only
    // when !Paused().
    virtual void Run(std::function<void()> call) = 0;
    // A call is in a pause and has not returned yet.
    virtual bool Paused() const = 0;
    // Goes back into a paused call whose pause is over (nothing while it is not); returns when
    // the call has returned or paused again.
    virtual void Continue() = 0;
};

using StrandMaker = std::function<std::unique_ptr<UnitStrand>()>;

// A strand over a stack the platform makes and switches to (ucontext on Linux, a fiber on
// Windows): what a call, a pause and going back in are, the same on every platform. A platform
// gives the two switches; the stack's first entry calls Serve().
class StackStrand : public UnitStrand {
  public:
    // `outside` serves a pause asked for while no call is on the strand.
    StackStrand(Clock& clock, Pause& outside) : clock_(clock), outside_(outside) {}
    StackStrand(const StackStrand&) = delete;
    StackStrand& operator=(const StackStrand&) = delete;

    void Run(std::function<void()> call) final {
        if (paused_) return;
        call_ = std::move(call);
        in_call_ = true;
        EnterStack();
    }

    bool Paused() const final { return paused_; }

    void Continue() final {
        if (paused_ && clock_.NowMs() >= wake_ms_) EnterStack();
    }

    void Wait(std::uint32_t ms) final {
        if (!in_call_) {
            outside_.Wait(ms);
            return;
        }
        wake_ms_ = clock_.NowMs() + ms;
        paused_ = true;
        LeaveStack();
        paused_ = false;
    }

  protected:
    // From the loop onto the strand's stack: the first time into Serve(), then back into the
    // pause it left. Returns when the strand leaves its stack again. Where no stack can be made,
    // RunHere() instead.
    virtual void EnterStack() = 0;
    // From the strand's stack back to the loop, where EnterStack() returns.
    virtual void LeaveStack() = 0;

    // The body of the strand's stack: each call, then back to the loop. Never returns.
    [[noreturn]] void Serve() {
        for (;;) {
            RunCall();
            LeaveStack();
        }
    }

    // The call on the loop's own stack, its pauses ordinary ones holding every unit.
    void RunHere() {
        in_call_ = false;
        const std::function<void()> call = std::move(call_);
        call_ = nullptr;
        call();
    }

  private:
    void RunCall() {
        call_();
        call_ = nullptr;
        in_call_ = false;
    }

    Clock& clock_;
    Pause& outside_;
    std::function<void()> call_;
    std::uint64_t wake_ms_ = 0;
    bool in_call_ = false;
    bool paused_ = false;
};

}  // namespace lumo::cli
