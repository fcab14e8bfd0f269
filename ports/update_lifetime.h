// Told when an update starts and when it ends, however it ends. In between the platform holds
// off sleep and shutdown: a device left with half its firmware must be put into update mode
// again. The core decides when; the platform decides how.
#pragma once

namespace lumo {

class UpdateLifetime {
  public:
    virtual ~UpdateLifetime() = default;

    // After a successful start (the device answered the start report).
    virtual void UpdateStarted() = 0;

    // Once per start: success, failure, or the tool destroyed while the update was under way
    // (the window closed, the program ended by a signal).
    virtual void UpdateEnded() = 0;
};

}  // namespace lumo
