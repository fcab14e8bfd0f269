// What a record says about its writer, and whether that writer is still at work: the host, the
// process ID and a token of the process's start (a process ID can be reused; the token tells
// the new process from the old).
#pragma once

#include <cstdint>
#include <string>

namespace lumo::cli::records {

std::string HostName();

struct ProcessMark {
    std::uint64_t pid = 0;
    std::string start;  // empty when it cannot be read
};
ProcessMark ThisProcess();

// Whether the process that wrote `mark` on this host still runs. A process with that ID but
// another start is another process: the writer is gone.
bool StillRunning(const ProcessMark& mark);

// The folder this user's records live in by default (not created here): on Linux
// $XDG_DATA_HOME/lumo-tool (~/.local/share/lumo-tool), on Windows %LOCALAPPDATA%\lumo-tool.
// Empty when neither the variable nor a home is known. UTF-8.
std::string DefaultDataFolder();

}  // namespace lumo::cli::records
