#include "platform/win32/console_terminal.h"

namespace lumo::win32 {

bool EnableVirtualTerminal(HANDLE output) {
    DWORD mode = 0;
    if (!GetConsoleMode(output, &mode)) return false;
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
    // A console that does not know the flag fails the call and keeps its mode.
    return SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::optional<int> ConsoleColumns(HANDLE output) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(output, &info)) return std::nullopt;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

}  // namespace lumo::win32
