// The console as lumo-flash's live view needs it: virtual-terminal sequences, which Windows 10
// and later take once a program asks, and the width of the window.
#pragma once

#include <windows.h>

#include <optional>

namespace lumo::win32 {

// Asks the console behind `output` to take virtual-terminal sequences. True when it does now;
// false for a handle that is no console (a pipe, a file) and for a console that refuses the
// mode (before Windows 10), where lumo-flash prints plain lines.
bool EnableVirtualTerminal(HANDLE output);

// The visible width of the console window in columns; none when `output` is no console.
std::optional<int> ConsoleColumns(HANDLE output);

}  // namespace lumo::win32
