// Blocks the calling thread; while it waits no event is handled. Tests record instead.
#pragma once

#include <cstdint>

namespace lumo {

class Pause {
  public:
    virtual ~Pause() = default;
    virtual void Wait(std::uint32_t ms) = 0;
};

}  // namespace lumo
