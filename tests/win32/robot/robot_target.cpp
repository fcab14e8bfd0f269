// A stand-in window for the robot's own tests: a window titled "Robot target" with a
// caption control (1002) and a button (1006). The first click shows a warning box, then a
// plain box, then sets the caption to "Clicked" and disables the button. Closing asks Yes/No
// first and ends only on Yes.
#include <windows.h>

namespace {

constexpr int kCaption = 1002;
constexpr int kButton = 1006;

LRESULT CALLBACK TargetProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wparam) == kButton && HIWORD(wparam) == BN_CLICKED) {
            MessageBoxW(window, L"First box", L"Target", MB_OK | MB_ICONEXCLAMATION);
            MessageBoxW(window, L"Second box\uFF0C plain", L"Target", MB_OK);
            SetDlgItemTextW(window, kCaption, L"Clicked");
            EnableWindow(GetDlgItem(window, kButton), FALSE);
            return 0;
        }
        break;
    case WM_CLOSE:
        if (MessageBoxW(window, L"Close?", L"Target",
                        MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES) {
            DestroyWindow(window);
        }
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    WNDCLASSW cls{};
    cls.lpfnWndProc = TargetProc;
    cls.hInstance = instance;
    cls.lpszClassName = L"RobotTarget";
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    RegisterClassW(&cls);
    HWND window = CreateWindowExW(0, cls.lpszClassName, L"Robot target",
                                  WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_VISIBLE, 0, 0,
                                  300, 200, nullptr, nullptr, instance, nullptr);
    CreateWindowExW(0, L"Static", L"Waiting", WS_CHILD | WS_VISIBLE, 10, 10, 200, 20, window,
                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(kCaption)), instance, nullptr);
    CreateWindowExW(0, L"Button", L"Click", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 10, 40, 80,
                    24, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kButton)), instance,
                    nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
