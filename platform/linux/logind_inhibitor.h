// Holds off shutdown, sleep, idle and the lid switch while an update is under way, with a
// logind inhibitor lock in "block" mode. The lock is the file descriptor logind hands back:
// held from the update's start, released by closing it at the end (the kernel closes it too
// when the process dies, so a killed program never leaves the lock behind).
//
// Every D-Bus wait is bounded. Without a system bus, when logind is missing, silent or
// refuses, the update goes on exactly as before and one line on the given stream says why
// sleep could not be held off; it is said once per object, which a program makes once.
//
// No Qt and no dialog: the dialog program and the command line use it alike.
#pragma once

#include <chrono>
#include <iosfwd>
#include <string>
#include <string_view>

#include "ports/update_lifetime.h"

namespace lumo::linux_power {

inline constexpr std::string_view kInhibitWhat = "shutdown:sleep:idle:handle-lid-switch";
inline constexpr std::string_view kInhibitWhy = "Firmware update in progress";
inline constexpr std::string_view kInhibitMode = "block";
// Long enough for logind's authorisation check, short enough that a silent bus costs the
// user one brief stall of the window at the start of an update.
inline constexpr std::chrono::milliseconds kInhibitTimeout{2000};

// One request for the lock: the descriptor (ours to close), or -1 and why not.
struct InhibitResult {
    int fd = -1;
    std::string error;
};

// Asks logind on the bus at `bus_address` (empty: the system bus, as DBUS_SYSTEM_BUS_ADDRESS
// or the default socket names it) for the lock, waiting at most `timeout` in all.
InhibitResult TakeInhibitorLock(std::string_view who, const std::string& bus_address,
                                std::chrono::milliseconds timeout = kInhibitTimeout);

class LogindInhibitor : public UpdateLifetime {
  public:
    // `who` is the program's name as logind lists it; `errors` gets the one line.
    LogindInhibitor(std::string who, std::ostream& errors, std::string bus_address = {},
                    std::chrono::milliseconds timeout = kInhibitTimeout);
    ~LogindInhibitor() override;
    LogindInhibitor(const LogindInhibitor&) = delete;
    LogindInhibitor& operator=(const LogindInhibitor&) = delete;

    void UpdateStarted() override;
    void UpdateEnded() override;

    bool holding() const { return fd_ >= 0; }

  private:
    void Release();

    std::string who_;
    std::ostream& errors_;
    std::string bus_address_;
    std::chrono::milliseconds timeout_;
    int fd_ = -1;
    bool told_ = false;
};

}  // namespace lumo::linux_power
