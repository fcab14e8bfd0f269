// Keeps Wine's desktop open while the dialog tests run (see desktop-keeper.sh): a process
// attached to the desktop, with no window of its own, for up to an hour.
//   lumo_desktop_keeper.exe READY-FILE
// Wine closes a desktop, and ends the process that manages it (explorer.exe), a second after
// its last user process has gone, and makes both again for the next one. Each dialog test is
// a process of its own: without a lasting user, every test's first window waited for a new
// desktop while the previous one was still being torn down. That is the likely cause of the
// one time a test under load got no dialog at all (ERROR_INVALID_WINDOW_HANDLE): it was never
// reproduced, but a desktop that stays up leaves no such moment.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    // Asking for the desktop window attaches this thread to the desktop and waits until its
    // manager is running.
    if (!IsWindow(GetDesktopWindow())) return 1;
    if (argc > 1) {
        HANDLE ready = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        if (ready == INVALID_HANDLE_VALUE) return 2;
        CloseHandle(ready);
    }
    // Ended by desktop-keeper.sh stop; the hour bounds a run whose clean-up never came.
    Sleep(60 * 60 * 1000);
    return 0;
}
