#include "ui/win32/framework.h"

#include <objbase.h>

#include <vector>

namespace lumo::win32 {

namespace {

CWinApp* g_current_app = nullptr;

// RegisterApplicationRestart, which older systems lack.
using RegisterApplicationRestartFn = HRESULT(WINAPI*)(PCWSTR, DWORD);
// The longest command line the restart service takes, NUL included.
constexpr std::size_t kRestartMaxCommandLine = 1024;

// Messages whose result a dialog procedure returns directly instead of through
// DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT msg) {
    return (msg >= WM_CTLCOLORMSGBOX && msg <= WM_CTLCOLORSTATIC) || msg == WM_INITDIALOG ||
           msg == WM_QUERYDRAGICON || msg == WM_COMPAREITEM || msg == WM_VKEYTOITEM ||
           msg == WM_CHARTOITEM;
}

std::wstring ModulePath(HINSTANCE instance) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameW(instance, buffer.data(),
                                           static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) return std::wstring(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

AppNames NamesFromModulePath(std::wstring_view module_path) {
    const std::size_t slash = module_path.find_last_of(L"\\/");
    const std::size_t name_start = slash == std::wstring_view::npos ? 0 : slash + 1;
    const std::wstring_view file = module_path.substr(name_start);
    const std::size_t dot = file.rfind(L'.');
    AppNames names;
    names.exe_name = std::wstring(file.substr(0, dot));
    names.help_path = std::wstring(module_path.substr(
                          0, dot == std::wstring_view::npos ? module_path.size()
                                                            : name_start + dot)) +
                      L".HLP";
    return names;
}

std::wstring_view ArgumentText(std::wstring_view command_line) {
    std::size_t i = 0;
    if (!command_line.empty() && command_line[0] == L'"') {
        const std::size_t close = command_line.find(L'"', 1);
        i = close == std::wstring_view::npos ? command_line.size() : close + 1;
    } else {
        while (i < command_line.size() && command_line[i] != L' ' && command_line[i] != L'\t')
            ++i;
    }
    while (i < command_line.size() && (command_line[i] == L' ' || command_line[i] == L'\t')) ++i;
    return command_line.substr(i);
}

// ---------------------------------------------------------------------------------------------
// CWinApp

CWinApp::CWinApp() : previous_(g_current_app) { g_current_app = this; }

CWinApp::~CWinApp() {
    if (g_current_app == this) g_current_app = previous_;
}

CWinApp* CWinApp::Current() { return g_current_app; }

int CWinApp::Run(HINSTANCE instance) {
    Prepare(instance, ModulePath(instance));
    // An application whose start-up returns TRUE would run a message loop here; this
    // framework's programs do all their work in InitInstance and end with it.
    InitInstance();
    return ExitInstance();
}

void CWinApp::Prepare(HINSTANCE instance, std::wstring_view module_path) {
    instance_ = instance;
    AppNames names = NamesFromModulePath(module_path);
    exe_name_ = std::move(names.exe_name);
    help_path_ = std::move(names.help_path);
    // The application-title string resource names the application when a program has one.
    const wchar_t* title = nullptr;
    const int n = LoadStringW(instance, 0xE000, reinterpret_cast<LPWSTR>(&title), 0);
    app_name_ = n > 0 ? std::wstring(title, static_cast<std::size_t>(n)) : exe_name_;
}

BOOL CWinApp::InitInstance() {
    if (restart_flags & RESTART_SUPPORT_RESTART) RegisterForRestart();
    return TRUE;
}

bool CWinApp::RegisterForRestart() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return false;
    // Through void(*)(), the one function type that converts to any other without warning.
    const auto proc = reinterpret_cast<void (*)()>(
        GetProcAddress(kernel, "RegisterApplicationRestart"));
    if (!proc) return false;
    const auto register_restart = reinterpret_cast<RegisterApplicationRestartFn>(proc);

    GUID id;
    if (FAILED(CoCreateGuid(&id))) return false;
    wchar_t id_text[40] = {};
    if (StringFromGUID2(id, id_text, 40) == 0) return false;

    std::wstring command_line(ArgumentText(GetCommandLineW()));
    if (!command_line.empty()) command_line += L' ';
    command_line += L"/RestartId:";
    command_line += id_text;
    if (command_line.size() >= kRestartMaxCommandLine) return false;
    restart_command_line_ = command_line;
    return SUCCEEDED(register_restart(restart_command_line_.c_str(), 0));
}

bool CWinApp::OnCommand(UINT id) {
    if (id == ID_HELP) {
        OnHelp();
        return true;
    }
    return false;
}

void CWinApp::OnHelp() {
    DWORD context = 0;
    for (HWND w = GetFocus(); w && context == 0; w = GetParent(w))
        context = static_cast<DWORD>(SendMessageW(w, WM_COMMANDHELP, 0, 0));
    if (context == 0 && main_window())
        context = static_cast<DWORD>(SendMessageW(main_window(), WM_COMMANDHELP, 0, 0));
    if (context != 0)
        WinHelp(context, HELP_CONTEXT);
    else
        WinHelp(0, HELP_FINDER);
}

void CWinApp::WinHelp(ULONG_PTR data, UINT command) {
    HWND owner = main_window();
    const BOOL ok = help_call ? help_call(owner, help_path_.c_str(), command, data)
                              : ::WinHelpW(owner, help_path_.c_str(), command, data);
    if (!ok) DoMessageBox(owner, kHelpLaunchFailed, MB_OK);
}

int CWinApp::DoMessageBox(HWND owner, std::wstring_view text, UINT type) {
    if ((type & MB_ICONMASK) == 0) {
        switch (type & MB_TYPEMASK) {
            case MB_OK:
            case MB_OKCANCEL:
                type |= MB_ICONEXCLAMATION;
                break;
            case MB_YESNO:
            case MB_YESNOCANCEL:
                type |= MB_ICONQUESTION;
                break;
            default:
                break;
        }
    }
    return RawMessageBox(owner ? owner : main_window(), text, type);
}

int CWinApp::RawMessageBox(HWND owner, std::wstring_view text, UINT type) {
    const std::wstring t(text);
    return message_box_call ? message_box_call(owner, t.c_str(), app_name_.c_str(), type)
                            : ::MessageBoxW(owner, t.c_str(), app_name_.c_str(), type);
}

HWND CWinApp::main_window() const {
    return main_dialog_ ? main_dialog_->GetSafeHwnd() : nullptr;
}

// ---------------------------------------------------------------------------------------------
// CDialogEx

CDialogEx::CDialogEx(UINT template_id, HWND parent) : template_id_(template_id), parent_(parent) {}

CDialogEx::~CDialogEx() {
    if (hwnd_) {
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
}

INT_PTR CDialogEx::DoModal() {
    modal_ = true;
    const INT_PTR result =
        DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(template_id_), parent_,
                        &CDialogEx::DialogProc, reinterpret_cast<LPARAM>(this));
    modal_ = false;
    return result;
}

HWND CDialogEx::Create() {
    modal_ = false;
    return CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(template_id_), parent_,
                              &CDialogEx::DialogProc, reinterpret_cast<LPARAM>(this));
}

void CDialogEx::EndDialog(INT_PTR result) {
    // For a modeless dialog this hides the window; its owner destroys it.
    if (hwnd_) ::EndDialog(hwnd_, result);
}

HWND CDialogEx::GetDlgItem(int id) const { return ::GetDlgItem(hwnd_, id); }

CDialogEx* CDialogEx::FromHandle(HWND hwnd) {
    if (!hwnd ||
        GetWindowLongPtrW(hwnd, DWLP_DLGPROC) != reinterpret_cast<LONG_PTR>(&DialogProc))
        return nullptr;
    return reinterpret_cast<CDialogEx*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

INT_PTR CALLBACK CDialogEx::DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    CDialogEx* self = nullptr;
    if (msg == WM_INITDIALOG) {
        self = reinterpret_cast<CDialogEx*>(lp);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, lp);
    } else {
        self = reinterpret_cast<CDialogEx*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    }
    if (!self) return FALSE;  // messages before WM_INITDIALOG take the default path
    const INT_PTR result = self->HandleMessage(msg, wp, lp);
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        self->hwnd_ = nullptr;
    }
    return result;
}

INT_PTR CDialogEx::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT result = 0;
    bool handled = OnMessage(msg, wp, lp, result);
    if (!handled) {
        handled = true;
        switch (msg) {
            case WM_INITDIALOG:
                result = HandleInitDialog();
                break;
            case WM_CTLCOLORMSGBOX:
            case WM_CTLCOLOREDIT:
            case WM_CTLCOLORLISTBOX:
            case WM_CTLCOLORBTN:
            case WM_CTLCOLORDLG:
            case WM_CTLCOLORSCROLLBAR:
            case WM_CTLCOLORSTATIC:
                result = reinterpret_cast<LRESULT>(OnCtlColor(
                    reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp), msg - WM_CTLCOLORMSGBOX));
                break;
            case WM_COMMAND: {
                const UINT id = LOWORD(wp);
                const UINT code = HIWORD(wp);
                if (OnCommand(id, code, reinterpret_cast<HWND>(lp))) break;
                if (id == IDOK && code == BN_CLICKED) {
                    OnOK();
                } else if (id == IDCANCEL && code == BN_CLICKED) {
                    OnCancel();
                } else {
                    // Commands no window handles go to the application's message map.
                    CWinApp* app = CWinApp::Current();
                    handled = lp == 0 && app && app->OnCommand(id);
                }
                break;
            }
            case WM_HELP:
                HandleHelp();
                result = TRUE;
                break;
            case WM_COMMANDHELP:
                result = static_cast<LRESULT>(help_context());
                break;
            default:
                handled = false;
                break;
        }
    }
    if (!handled) return FALSE;
    if (ReturnsResultDirectly(msg)) return static_cast<INT_PTR>(result);
    SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, result);
    return TRUE;
}

BOOL CDialogEx::HandleInitDialog() {
    RECT before{};
    GetWindowRect(hwnd_, &before);
    const BOOL result = OnInitDialog();
    if (!hwnd_) return result;
    // Centre the dialog when the template asks for no placement of its own, initialisation
    // did not move it, and it has no enabled owner to stay beside.
    RECT after{};
    GetWindowRect(hwnd_, &after);
    const auto style = static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_STYLE));
    HWND owner = GetWindow(hwnd_, GW_OWNER);
    if (!(style & (WS_VISIBLE | WS_CHILD | DS_CENTER | DS_CENTERMOUSE | DS_ABSALIGN)) &&
        before.left == after.left && before.top == after.top &&
        (!owner || !IsWindowEnabled(owner)))
        CenterWindow();
    return result;
}

void CDialogEx::HandleHelp() {
    // F1 with neither Shift, Ctrl nor Alt held becomes the help command of the main window.
    if (GetWindowLongPtrW(hwnd_, GWL_STYLE) & WS_CHILD) return;
    if (GetKeyState(VK_SHIFT) < 0 || GetKeyState(VK_CONTROL) < 0 || GetKeyState(VK_MENU) < 0)
        return;
    CWinApp* app = CWinApp::Current();
    HWND target = app && app->main_window() ? app->main_window() : hwnd_;
    SendMessageW(target, WM_COMMAND, ID_HELP, 0);
}

BOOL CDialogEx::OnInitDialog() {
    DoDataExchange(false);
    return TRUE;
}

void CDialogEx::OnOK() {
    DoDataExchange(true);
    EndDialog(IDOK);
}

void CDialogEx::OnCancel() { EndDialog(IDCANCEL); }

HBRUSH CDialogEx::OnCtlColor(HDC dc, HWND control, UINT kind) {
    return DefaultCtlColor(dc, control, kind);
}

HBRUSH CDialogEx::DefaultCtlColor(HDC dc, HWND control, UINT kind) {
    return reinterpret_cast<HBRUSH>(DefWindowProcW(hwnd_, WM_CTLCOLORMSGBOX + kind,
                                                   reinterpret_cast<WPARAM>(dc),
                                                   reinterpret_cast<LPARAM>(control)));
}

void CDialogEx::CenterWindow() {
    RECT dialog{};
    GetWindowRect(hwnd_, &dialog);
    RECT area{};
    HWND owner = GetWindow(hwnd_, GW_OWNER);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(owner ? owner : hwnd_, MONITOR_DEFAULTTOPRIMARY), &monitor);
    const RECT work = monitor.rcWork;
    if (owner && IsWindowVisible(owner) && !IsIconic(owner))
        GetWindowRect(owner, &area);
    else
        area = work;
    const LONG width = dialog.right - dialog.left;
    const LONG height = dialog.bottom - dialog.top;
    LONG x = (area.left + area.right) / 2 - width / 2;
    LONG y = (area.top + area.bottom) / 2 - height / 2;
    // Keep it on the work area.
    if (x + width > work.right) x = work.right - width;
    if (x < work.left) x = work.left;
    if (y + height > work.bottom) y = work.bottom - height;
    if (y < work.top) y = work.top;
    SetWindowPos(hwnd_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace lumo::win32
