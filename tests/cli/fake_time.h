// A clock that moves only when a test ticks or the tool pauses: lumo-flash's runs over the
// fakes, one unit or several.
#pragma once

#include <cstdint>
#include <functional>

#include "cli/clock.h"
#include "ports/pause.h"

namespace lumo::testing {

class FakeTime : public cli::Clock, public Pause {
  public:
    std::uint64_t now = 1000;
    std::function<void()> during_wait;  // what happens in the world while the tool pauses
    std::uint64_t NowMs() override { return now; }
    void Wait(std::uint32_t ms) override {
        now += ms;
        if (during_wait) during_wait();
    }
};

}  // namespace lumo::testing
