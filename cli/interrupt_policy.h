// Ctrl-C while units are being updated, the same for one unit, --all and a station: a first one
// never stops a stream by itself (one unit: a warning; several: no new units, the running ones
// finish), and only a second one within 3 s aborts. Past the 3 s, the next one is a first again.
#pragma once

#include <cstdint>
#include <optional>

namespace lumo::cli {

// How long a first Ctrl-C during an update waits for the second.
inline constexpr std::uint64_t kSecondInterruptMs = 3000;

class InterruptPolicy {
  public:
    enum class Step { kFirst, kSecond };

    Step OnInterrupt(std::uint64_t now_ms) {
        if (first_ms_ && now_ms - *first_ms_ <= kSecondInterruptMs) {
            first_ms_.reset();
            return Step::kSecond;
        }
        first_ms_ = now_ms;
        return Step::kFirst;
    }

    // True once, when a first Ctrl-C's 3 s have passed without a second.
    bool Lapsed(std::uint64_t now_ms) {
        if (!first_ms_ || now_ms - *first_ms_ <= kSecondInterruptMs) return false;
        first_ms_.reset();
        return true;
    }

  private:
    std::optional<std::uint64_t> first_ms_;
};

}  // namespace lumo::cli
