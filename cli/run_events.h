// What a platform's event loop feeds to lumo-flash's run, whichever it is (one unit, --all,
// --station): the first look, 10 ms ticks, device arrival and removal, Ctrl-C and the end of
// the session, until exit_code() has a value.
#pragma once

#include <optional>
#include <string_view>

namespace lumo::cli {

class RunEvents {
  public:
    virtual ~RunEvents() = default;

    virtual void Begin() = 0;
    virtual void OnTick() = 0;
    virtual void OnDeviceChange(unsigned event) = 0;
    // Ctrl-C, Ctrl-Break, SIGTERM, SIGHUP: during an update the first one warns, a second one
    // within 3 s aborts; otherwise the run ends at once.
    virtual void OnInterrupt() = 0;
    // The system ends the process in a moment whatever the run does (the console window
    // closed, log-off, shutdown): an abort is reported at once, with `cause` ("The console
    // window was closed").
    virtual void OnTerminating(std::string_view cause) = 0;
    // Set once the run is over.
    virtual std::optional<int> exit_code() = 0;
};

}  // namespace lumo::cli
