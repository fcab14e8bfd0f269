// A unit's strand on Linux: the calls run on a stack of their own (makecontext/swapcontext), in
// the event loop's thread.
#pragma once

#include <ucontext.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "cli/unit_strand.h"

namespace lumo::cli {

class UcontextStrand final : public StackStrand {
  public:
    UcontextStrand(Clock& clock, Pause& outside)
        : StackStrand(clock, outside), stack_(new char[kStackBytes]) {}

  private:
    static constexpr std::size_t kStackBytes = 1 << 20;

    void EnterStack() override {
        if (!made_) {
            getcontext(&strand_);
            strand_.uc_stack.ss_sp = stack_.get();
            strand_.uc_stack.ss_size = kStackBytes;
            strand_.uc_link = nullptr;
            const auto self = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(this));
            makecontext(&strand_, reinterpret_cast<void (*)()>(&Entry), 2,
                        static_cast<unsigned>(self >> 32), static_cast<unsigned>(self));
            made_ = true;
        }
        swapcontext(&loop_, &strand_);
    }

    void LeaveStack() override { swapcontext(&strand_, &loop_); }

    // makecontext passes int-sized arguments only: the object's address in two halves.
    static void Entry(unsigned high, unsigned low) {
        const std::uint64_t self = (static_cast<std::uint64_t>(high) << 32) | low;
        reinterpret_cast<UcontextStrand*>(static_cast<std::uintptr_t>(self))->Serve();
    }

    std::unique_ptr<char[]> stack_;
    ucontext_t loop_{};
    ucontext_t strand_{};
    bool made_ = false;
};

}  // namespace lumo::cli
