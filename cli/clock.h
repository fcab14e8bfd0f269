// Milliseconds on a clock that never goes back. The platform reads its monotonic clock; tests
// move a fake one, so the run logic is driven with no real time passing.
#pragma once

#include <cstdint>

namespace lumo::cli {

class Clock {
  public:
    virtual ~Clock() = default;
    virtual std::uint64_t NowMs() = 0;
};

}  // namespace lumo::cli
