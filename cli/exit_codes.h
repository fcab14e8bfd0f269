// lumo-flash's exit status, the same on every platform. Scripts and production lines branch on
// these, so they never change meaning.
#pragma once

namespace lumo::cli {

enum ExitCode : int {
    kExitSuccess = 0,     // the update ended with every report written
    kExitFailed = 1,      // the update failed or was interrupted
    kExitNoDevice = 2,    // no device in update mode within --wait
    kExitUsage = 3,       // bad usage, bad image file, or an image the device must not get
    kExitCannotOpen = 4,  // a device is present but cannot be opened
    kExitBusy = 5,        // another program is updating the device; nothing was written
    kExitAborted = 130,   // aborted by the user (Ctrl-C, SIGTERM, the console closed)
};

}  // namespace lumo::cli
