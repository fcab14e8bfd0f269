// Drives a running Lumo_Tool.exe from outside, the way a user would: finds its window by
// title, reads its controls, clicks, reads and answers its message boxes, closes it. Every
// wait has a limit; nothing here blocks on the tool (messages that need an answer are sent
// with a time limit, clicks are posted).
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace lumo::robot {

// A message box as the user sees it.
struct Box {
    HWND window = nullptr;
    std::wstring caption;
    std::wstring text;
    // Whether an icon shows beside the text. Which icon cannot be told from outside under
    // Wine: icon handles belong to the process that loaded them.
    bool icon = false;
    std::vector<std::wstring> buttons;  // button texts, in window order
    int default_id = 0;                 // the button Enter presses (IDOK, IDNO, ...), 0 if none

    bool operator==(const Box&) const = default;
};

class Robot {
public:
    Robot() = default;
    ~Robot();  // ends the tool if it still runs
    Robot(const Robot&) = delete;
    Robot& operator=(const Robot&) = delete;

    // Starts the program; false when it could not be started.
    bool Launch(const std::wstring& exe);

    // Waits until the launched tool shows a visible top-level window with this title.
    HWND WaitForWindow(const std::wstring& title, DWORD limit_ms);
    HWND window() const { return window_; }

    // The text of a control of the tool's window; nullopt when it cannot be read.
    std::optional<std::wstring> ControlText(int id) const;
    std::optional<bool> ControlEnabled(int id) const;

    // Waits until the control shows `expected`; on failure `last` holds what it showed.
    bool WaitForText(int id, const std::wstring& expected, DWORD limit_ms, std::wstring* last);

    // A click on a button of the tool's window, as the user's click reaches it.
    bool Click(int id);

    // The message box the tool shows now (a dialog owned by its window), if any.
    std::optional<Box> CurrentBox() const;
    std::optional<Box> WaitForBox(DWORD limit_ms);

    // Presses the box's button with this identifier (IDOK, IDYES, IDNO) and waits until
    // the box has gone.
    bool Press(const Box& box, int button_id, DWORD limit_ms);

    // Closes the window as its title bar's close button does.
    bool Close();

    // Waits for the tool to end; its exit code when it did.
    std::optional<DWORD> WaitForExit(DWORD limit_ms);
    bool Running() const;

    // What the tool holds now: its handle count and its working set in bytes.
    struct Usage {
        DWORD handles = 0;
        SIZE_T working_set = 0;
    };
    std::optional<Usage> ToolUsage() const;

private:
    PROCESS_INFORMATION process_{};
    HWND window_ = nullptr;
};

// Reads another process's window text through WM_GETTEXT, with a time limit.
std::optional<std::wstring> WindowText(HWND window);

}  // namespace lumo::robot
