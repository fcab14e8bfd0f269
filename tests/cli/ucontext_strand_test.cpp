// The strands of lumo-flash on Linux, alone: a call that pauses holds only its own strand, goes
// on where it stopped, and a strand's stack is a mapping of its own with a guard below it.
// Built in the sanitizer build too, where AddressSanitizer follows every switch of stacks.
#include "cli/linux/ucontext_strand.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/fake_time.h"

namespace lumo::cli {
namespace {

using testing::FakeTime;

class Strands : public ::testing::Test {
  protected:
    std::unique_ptr<UcontextStrand> Make() { return std::make_unique<UcontextStrand>(time, time); }
    FakeTime time;
    std::vector<std::string> log;
};

TEST_F(Strands, APausedCallHoldsOnlyItsOwnStrandAndGoesOnWhereItStopped) {
    auto a = Make();
    auto b = Make();
    const std::uint64_t begun = time.now;
    a->Run([&] {
        // On the heap and on the strand's stack: both must come through the switches intact.
        std::string kept(100, 'a');
        int on_stack = 7;
        log.push_back("a: before its pause");
        a->Wait(300);
        log.push_back("a: after its pause, " + std::to_string(kept.size()) + " " +
                      std::to_string(on_stack));
        a->Wait(500);
        log.push_back("a: done");
    });
    EXPECT_TRUE(a->Paused());
    EXPECT_EQ(time.now, begun) << "a pause on a strand holds no one else";

    b->Run([&] { log.push_back("b: first call"); });
    b->Run([&] { log.push_back("b: second call"); });
    EXPECT_FALSE(b->Paused());

    time.now += 299;
    a->Continue();  // not yet
    EXPECT_TRUE(a->Paused());
    time.now += 1;
    a->Continue();
    EXPECT_TRUE(a->Paused()) << "in its second pause";
    a->Run([&] { log.push_back("a: a call while paused"); });  // refused, not lost in the middle
    time.now += 500;
    a->Continue();
    EXPECT_FALSE(a->Paused());
    a->Continue();  // nothing paused: nothing happens
    a->Run([&] { log.push_back("a: next call"); });

    EXPECT_EQ(log, (std::vector<std::string>{"a: before its pause", "b: first call",
                                             "b: second call", "a: after its pause, 100 7",
                                             "a: done", "a: next call"}));
}

// A pause asked for while no call is on the strand is an ordinary one.
TEST_F(Strands, APauseOutsideACallIsTheOutsidePause) {
    auto s = Make();
    const std::uint64_t begun = time.now;
    s->Wait(250);
    EXPECT_EQ(time.now, begun + 250);
    EXPECT_FALSE(s->Paused());
}

// The mappings in /proc/self/maps: each line's start, end and permissions.
struct Mapping {
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    std::string perms;
};
std::vector<Mapping> Mappings() {
    std::vector<Mapping> mappings;
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        std::istringstream in(line);
        Mapping m;
        char dash = 0;
        in >> std::hex >> m.start >> dash >> m.end >> m.perms;
        mappings.push_back(m);
    }
    return mappings;
}

// Strands come and go with the units of a station: none leaves its stack behind, also one
// destroyed while its call is paused (a unit's run ended from outside).
TEST_F(Strands, ManyMadeAndDestroyedLeaveNoMappingBehind) {
    const std::size_t before = Mappings().size();
    for (int n = 0; n < 1000; ++n) {
        auto s = Make();
        int steps = 0;
        s->Run([&] {
            ++steps;
            s->Wait(10);
            ++steps;
        });
        if (n % 2 == 0) {
            time.now += 10;
            s->Continue();
            ASSERT_EQ(steps, 2);
        } else {
            ASSERT_TRUE(s->Paused());
        }
    }
    // Allocator arenas may come and go; a stack per strand would be 1000 or more.
    EXPECT_LT(Mappings().size(), before + 50);
}

// About 1 KiB of stack per level, which the compiler can neither drop nor turn into a loop.
[[gnu::noinline]] int Dig(int depth) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    frame[sizeof frame - 1] = 1;
    if (depth == 0) return frame[sizeof frame - 1];
    return Dig(depth - 1) + frame[sizeof frame - 1];
}

TEST_F(Strands, ADeepCallFitsAndPausesAtTheBottom) {
    auto s = Make();
    int sum = 0;
    s->Run([&] {
        sum = Dig(400);  // about 400 KiB of the 1 MiB
        s->Wait(10);
        sum += Dig(400);
    });
    time.now += 10;
    s->Continue();
    EXPECT_EQ(sum, 2 * 401);
}

[[gnu::noinline]] void ThrowFromDeep(int depth) {
    volatile char pad[200];
    pad[0] = static_cast<char>(depth);
    if (depth == 0) throw std::runtime_error("from deep down");
    ThrowFromDeep(depth - 1);
    pad[1] = pad[0];
}

// Every byte of a frame larger than those the exception unwound.
[[gnu::noinline]] int Fill() {
    volatile char frame[16 << 10];
    for (std::size_t i = 0; i < sizeof frame; ++i) frame[i] = static_cast<char>(i);
    return frame[sizeof frame / 2];
}

// An exception thrown and caught on the strand, across a pause, leaves the stack fit for the
// next frames: AddressSanitizer, knowing the stack, clears the marks of the frames it unwound.
TEST_F(Strands, AnExceptionOnTheStrandLeavesItsStackClean) {
    auto s = Make();
    std::string caught;
    s->Run([&] {
        s->Wait(10);
        try {
            ThrowFromDeep(40);
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        Fill();
    });
    time.now += 10;
    s->Continue();
    s->Run([&] { Fill(); });
    EXPECT_EQ(caught, "from deep down");
}

// The strand's stack has an inaccessible region right below it.
TEST_F(Strands, TheStackHasAGuardBelowIt) {
    auto s = Make();
    std::uintptr_t frame = 0;
    s->Run([&] { frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)); });
    const std::vector<Mapping> mappings = Mappings();
    const Mapping* stack = nullptr;
    const Mapping* below = nullptr;
    for (const Mapping& m : mappings) {
        if (m.start <= frame && frame < m.end) stack = &m;
    }
    ASSERT_NE(stack, nullptr) << "the call ran on no mapping";
    EXPECT_EQ(stack->perms.substr(0, 2), "rw");
    for (const Mapping& m : mappings) {
        if (m.end == stack->start) below = &m;
    }
    ASSERT_NE(below, nullptr) << "nothing mapped right below the stack";
    EXPECT_EQ(below->perms.substr(0, 3), "---");
    EXPECT_GE(below->end - below->start, UcontextStrand::kGuardBytes);
}

// A call that outgrows its stack dies there and then; nothing below the stack is written.
TEST_F(Strands, ACallThatOutgrowsItsStackDiesBySegv) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto overflow = [this] {
        auto s = Make();
        s->Run([] { Dig(1 << 20); });
    };
#ifdef LUMO_STRAND_ASAN
    // AddressSanitizer, told which stack the call is on, names the fault for what it is.
    EXPECT_DEATH(overflow(), "stack-overflow");
#else
    EXPECT_EXIT(overflow(), ::testing::KilledBySignal(SIGSEGV), "");
#endif
}

}  // namespace
}  // namespace lumo::cli
