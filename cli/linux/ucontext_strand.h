// A unit's strand on Linux: the calls run on a stack of their own (makecontext/swapcontext), in
// the event loop's thread.
//
// The stack is mapped with an inaccessible guard region below it (stacks grow down), so that a
// call that outgrows its stack dies at once by SIGSEGV instead of writing over whatever memory
// lies below. Under AddressSanitizer each switch is announced to it, so that it knows which
// stack a call is on (without that, it takes the strand's frames for wild writes into the heap,
// and a stack overflow for any other fault).
#pragma once

#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "cli/unit_strand.h"

#if defined(__SANITIZE_ADDRESS__)
#define LUMO_STRAND_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LUMO_STRAND_ASAN 1
#endif
#endif
#ifdef LUMO_STRAND_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace lumo::cli {

class UcontextStrand final : public StackStrand {
  public:
    // What a call may use of its stack, and the inaccessible region below it: larger than any
    // one frame of ours, so that a frame cannot step over it.
    static constexpr std::size_t kStackBytes = 1 << 20;
    static constexpr std::size_t kGuardBytes = 64 << 10;

    UcontextStrand(Clock& clock, Pause& outside) : StackStrand(clock, outside) {}
    ~UcontextStrand() override {
        if (mapping_ == nullptr) return;
#ifdef LUMO_STRAND_ASAN
        // A call still paused on the stack leaves its frames' poison behind, which would stay
        // with whatever is mapped at these addresses next.
        ASAN_UNPOISON_MEMORY_REGION(Stack(), kStackBytes);
#endif
        munmap(mapping_, kGuardBytes + kStackBytes);
    }

  private:
    char* Stack() const { return static_cast<char*>(mapping_) + kGuardBytes; }

    bool MakeStack() {
        void* mapping = mmap(nullptr, kGuardBytes + kStackBytes, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (mapping == MAP_FAILED) return false;
        if (mprotect(mapping, kGuardBytes, PROT_NONE) != 0) {
            munmap(mapping, kGuardBytes + kStackBytes);
            return false;
        }
        mapping_ = mapping;
        return true;
    }

    void EnterStack() override {
        if (!made_) {
            if (mapping_ == nullptr && !MakeStack()) {
                RunHere();  // no stack to be had: the unit's pauses hold every unit
                return;
            }
            getcontext(&strand_);
            strand_.uc_stack.ss_sp = Stack();
            strand_.uc_stack.ss_size = kStackBytes;
            strand_.uc_link = nullptr;
            const auto self = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(this));
            makecontext(&strand_, reinterpret_cast<void (*)()>(&Entry), 2,
                        static_cast<unsigned>(self >> 32), static_cast<unsigned>(self));
            made_ = true;
        }
        void* loop_fake_stack = nullptr;
        StartSwitch(&loop_fake_stack, Stack(), kStackBytes);
        swapcontext(&loop_, &strand_);
        FinishSwitch(loop_fake_stack, nullptr, nullptr);
    }

    void LeaveStack() override {
        void* strand_fake_stack = nullptr;
        StartSwitch(&strand_fake_stack, loop_bottom_, loop_size_);
        swapcontext(&strand_, &loop_);
        // Entered again, perhaps from another stack of the loop's than last time.
        FinishSwitch(strand_fake_stack, &loop_bottom_, &loop_size_);
    }

    // makecontext passes int-sized arguments only: the object's address in two halves.
    static void Entry(unsigned high, unsigned low) {
        const std::uint64_t self_bits = (static_cast<std::uint64_t>(high) << 32) | low;
        auto* self = reinterpret_cast<UcontextStrand*>(static_cast<std::uintptr_t>(self_bits));
        self->FinishSwitch(nullptr, &self->loop_bottom_, &self->loop_size_);
        self->Serve();
    }

    // The two halves of a switch as AddressSanitizer wants them told: before, the stack we go
    // to (and where to keep the one we leave's fake frames); after, the stack we came from.
    static void StartSwitch([[maybe_unused]] void** fake_stack,
                            [[maybe_unused]] const void* bottom,
                            [[maybe_unused]] std::size_t size) {
#ifdef LUMO_STRAND_ASAN
        __sanitizer_start_switch_fiber(fake_stack, bottom, size);
#endif
    }
    static void FinishSwitch([[maybe_unused]] void* fake_stack,
                             [[maybe_unused]] const void** bottom_old,
                             [[maybe_unused]] std::size_t* size_old) {
#ifdef LUMO_STRAND_ASAN
        __sanitizer_finish_switch_fiber(fake_stack, bottom_old, size_old);
#endif
    }

    void* mapping_ = nullptr;  // the guard region, then the stack
    ucontext_t loop_{};
    ucontext_t strand_{};
    const void* loop_bottom_ = nullptr;  // the loop's stack, as AddressSanitizer told us
    std::size_t loop_size_ = 0;
    bool made_ = false;
};

}  // namespace lumo::cli
