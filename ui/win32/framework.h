// The little application framework the Windows program stands on: an application object with
// its start-up step, the rules of its message boxes and its help command, and a dialog base
// that routes window messages to On... handlers. Plain Win32; it is not a general library.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

namespace lumo::win32 {

// The help command (F1), as a WM_COMMAND identifier.
inline constexpr UINT ID_HELP = 0xE146;
// A dialog's help context is its template number plus this base.
inline constexpr DWORD HELP_DIALOG_BASE = 0x20000;
// Asks a window for its help context; a dialog answers, every other window returns 0.
inline constexpr UINT WM_COMMANDHELP = 0x0365;
// The restart-support flag: register with the system's restart service at start-up.
inline constexpr DWORD RESTART_SUPPORT_RESTART = 0x01;
// Shown when the help engine cannot be started.
inline constexpr std::wstring_view kHelpLaunchFailed =
    L"\u542F\u52A8\u5E2E\u52A9\u5931\u8D25\u3002";

// The names the start-up derives from the executable's full path.
struct AppNames {
    std::wstring exe_name;   // file name without its extension
    std::wstring help_path;  // the full path with its extension replaced by ".HLP"
};
AppNames NamesFromModulePath(std::wstring_view module_path);

// The process's own argument text: the command line without the program name.
std::wstring_view ArgumentText(std::wstring_view command_line);

class CDialogEx;

class CWinApp {
public:
    // Seams for the two calls a test must never make for real: the help engine (under Wine it
    // starts a viewer that never returns without a display) and the message box (modal).
    using HelpCall = std::function<BOOL(HWND owner, const wchar_t* path, UINT command,
                                        ULONG_PTR data)>;
    using MessageBoxCall = std::function<int(HWND owner, const wchar_t* text,
                                             const wchar_t* caption, UINT type)>;

    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // The one application object of the process (the most recently constructed live one).
    static CWinApp* Current();

    // The entry point's body: records the instance and derives the names, runs
    // InitInstance, and when that returns FALSE goes straight to the exit step.
    int Run(HINSTANCE instance);

    // Records the instance handle and derives the names from the executable's path.
    void Prepare(HINSTANCE instance, std::wstring_view module_path);

    // The base start-up: the restart registration when restart support is on.
    virtual BOOL InitInstance();
    virtual int ExitInstance() { return 0; }

    // The application's message map: commands that no window handled end here.
    virtual bool OnCommand(UINT id);

    // The help command: asks the focus window and its parents for a help context and calls
    // the help engine with it.
    void OnHelp();
    void WinHelp(ULONG_PTR data, UINT command);

    // A message box by the framework's rules: the application name as caption, and when the
    // type names no icon, an exclamation mark for OK and OK/Cancel boxes and a question mark
    // for Yes/No boxes. Owner: the given window, else the main window.
    int DoMessageBox(HWND owner, std::wstring_view text, UINT type);

    // A message box with exactly this type and the application name as caption.
    int RawMessageBox(HWND owner, std::wstring_view text, UINT type);

    // Registers the process with the system's restart service (looked up at run time).
    // False when the service or the restart identifier is not available.
    bool RegisterForRestart();

    HINSTANCE instance() const { return instance_; }
    const std::wstring& exe_name() const { return exe_name_; }
    const std::wstring& app_name() const { return app_name_; }
    const std::wstring& help_path() const { return help_path_; }
    // The command line handed to the restart service by the last registration.
    const std::wstring& restart_command_line() const { return restart_command_line_; }

    void set_main_dialog(CDialogEx* dialog) { main_dialog_ = dialog; }
    CDialogEx* main_dialog() const { return main_dialog_; }
    HWND main_window() const;

    DWORD restart_flags = 0;
    HelpCall help_call;
    MessageBoxCall message_box_call;

private:
    HINSTANCE instance_ = nullptr;
    std::wstring exe_name_;
    std::wstring app_name_;
    std::wstring help_path_;
    std::wstring restart_command_line_;
    CDialogEx* main_dialog_ = nullptr;
    CWinApp* previous_ = nullptr;
};

// A dialog from a template of the program's resources. The window's user data holds the
// object; its messages go first to OnMessage (the derived class's message map), then to the
// handlers below, then to the system's dialog default.
class CDialogEx {
public:
    explicit CDialogEx(UINT template_id, HWND parent = nullptr);
    virtual ~CDialogEx();
    CDialogEx(const CDialogEx&) = delete;
    CDialogEx& operator=(const CDialogEx&) = delete;

    // Runs the dialog modally; returns the result that ended it, or -1 when it could not be
    // created.
    INT_PTR DoModal();
    // Creates the dialog modeless (for tests and embedding); the caller destroys the window.
    HWND Create();
    void EndDialog(INT_PTR result);

    HWND GetSafeHwnd() const { return hwnd_; }
    HWND GetDlgItem(int id) const;
    UINT template_id() const { return template_id_; }
    DWORD help_context() const { return HELP_DIALOG_BASE + template_id_; }

    static CDialogEx* FromHandle(HWND hwnd);

protected:
    // WM_INITDIALOG: the base runs the data exchange in the loading direction. Return TRUE to
    // let the system give the focus to the first control that takes it.
    virtual BOOL OnInitDialog();
    // Binds members to controls (save false: loading); the base binds nothing.
    virtual void DoDataExchange(bool /*save*/) {}
    // IDOK: data exchange in the saving direction, then ends with IDOK. IDCANCEL: ends with
    // IDCANCEL. Escape, the close button and Alt+F4 arrive as IDCANCEL.
    virtual void OnOK();
    virtual void OnCancel();
    // Every colour request (WM_CTLCOLOR...): `kind` is CTLCOLOR_MSGBOX to CTLCOLOR_STATIC.
    virtual HBRUSH OnCtlColor(HDC dc, HWND control, UINT kind);
    // WM_COMMAND from a control or an accelerator; true when handled.
    virtual bool OnCommand(UINT /*id*/, UINT /*code*/, HWND /*control*/) { return false; }
    // The derived class's message map; true when handled, with the message's result.
    virtual bool OnMessage(UINT /*msg*/, WPARAM, LPARAM, LRESULT& /*result*/) { return false; }

    // The system's default processing of a colour request: it sets the context's text and
    // background colours and returns the brush to paint with.
    HBRUSH DefaultCtlColor(HDC dc, HWND control, UINT kind);

    // Centres the window on its owner, or on the work area of its monitor when it has none.
    void CenterWindow();

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    INT_PTR HandleMessage(UINT msg, WPARAM wp, LPARAM lp);
    BOOL HandleInitDialog();
    void HandleHelp();

    UINT template_id_;
    HWND parent_;
    HWND hwnd_ = nullptr;
    bool modal_ = false;
};

}  // namespace lumo::win32
