// A unit's strand on Linux: the calls run on a stack of their own (makecontext/swapcontext), in
// the event loop's thread. A pause inside a call switches back to the loop and notes when it
// ends; Continue switches back in once that time has come.
#pragma once

#include <ucontext.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>
#include <utility>

#include "cli/clock.h"
#include "cli/unit_strand.h"

namespace lumo::cli {

class UcontextStrand : public UnitStrand {
  public:
    explicit UcontextStrand(Clock& clock) : clock_(clock), stack_(new char[kStackBytes]) {}
    UcontextStrand(const UcontextStrand&) = delete;
    UcontextStrand& operator=(const UcontextStrand&) = delete;

    void Run(std::function<void()> call) override {
        if (paused_) return;
        call_ = std::move(call);
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
        in_call_ = true;
        swapcontext(&loop_, &strand_);
    }

    bool Paused() const override { return paused_; }

    void Continue() override {
        if (paused_ && clock_.NowMs() >= wake_ms_) swapcontext(&loop_, &strand_);
    }

    void Wait(std::uint32_t ms) override {
        if (!in_call_) {  // not on this strand: an ordinary pause
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            return;
        }
        wake_ms_ = clock_.NowMs() + ms;
        paused_ = true;
        swapcontext(&strand_, &loop_);
        paused_ = false;
    }

  private:
    static constexpr std::size_t kStackBytes = 1 << 20;

    static void Entry(unsigned high, unsigned low) {
        const std::uint64_t self = (static_cast<std::uint64_t>(high) << 32) | low;
        reinterpret_cast<UcontextStrand*>(static_cast<std::uintptr_t>(self))->Serve();
    }

    [[noreturn]] void Serve() {
        for (;;) {
            call_();
            call_ = nullptr;
            in_call_ = false;
            swapcontext(&strand_, &loop_);
        }
    }

    Clock& clock_;
    std::unique_ptr<char[]> stack_;
    ucontext_t loop_{};
    ucontext_t strand_{};
    std::function<void()> call_;
    std::uint64_t wake_ms_ = 0;
    bool made_ = false;
    bool in_call_ = false;
    bool paused_ = false;
};

}  // namespace lumo::cli
