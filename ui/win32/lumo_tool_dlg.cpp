#include "ui/win32/lumo_tool_dlg.h"

#include <commctrl.h>
#include <uxtheme.h>

#include "core/update_sequence.h"
#include "platform/win32/timer_resolution.h"
#include "ports/status_texts.h"
#include "ui/dialog_template.h"
#include "ui/label_colors.h"
#include "ui/win32/wide.h"

namespace lumo::win32 {

using namespace dialog;

namespace {

// The dialog asks the questions; a blocker, when given, is told the update's lifetime.
UpdateOptions DialogOptions(UpdateOptions options, Question* question,
                            SleepShutdownBlocker* blocker) {
    options.question = question;
    if (blocker) options.lifetime = blocker;
    return options;
}

}  // namespace

CLumoToolDlg::CLumoToolDlg(HidAccess& hid, Pause& pause,
                           RegisterNotifications register_notifications,
                           SleepShutdownBlocker* blocker, UpdateOptions options)
    : CDialogEx(IDD_MAIN_DIALOG),
      m_hIcon(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_MAIN))),
      register_notifications_(register_notifications),
      blocker_(blocker),
      tool_(hid, *this, pause, DialogOptions(options, this, blocker)) {}

CLumoToolDlg::~CLumoToolDlg() {
    // The window goes first: its controls may still hold the label font.
    if (HWND hwnd = GetSafeHwnd()) DestroyWindow(hwnd);
    if (m_fontLabels) DeleteObject(m_fontLabels);
}

void CLumoToolDlg::DoDataExchange(bool /*save*/) {
    if (!m_ctrlProgress.GetSafeHwnd()) m_ctrlProgress.Attach(GetDlgItem(IDC_PROGRESS));
}

BOOL CLumoToolDlg::OnInitDialog() {
    CDialogEx::OnInitDialog();
    HWND hwnd = GetSafeHwnd();
    // A build with stand-in images says so in its caption; the template keeps the plain one.
    if (tool_.Caption() != kTitle) SetWindowTextW(hwnd, Widen(tool_.Caption()).c_str());

    SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    if (register_notifications_) register_notifications_(hwnd);
    if (blocker_) blocker_->set_window(hwnd);

    // 9-point Arial: the character height is the screen's dots per inch x 90 / 720 pixels.
    LOGFONTW font{};
    HDC screen = GetDC(nullptr);
    font.lfHeight = -MulDiv(GetDeviceCaps(screen, LOGPIXELSY), kLabelFontPoints * 10, 720);
    ReleaseDC(nullptr, screen);
    font.lfCharSet = DEFAULT_CHARSET;
    const std::wstring face = Widen(kLabelFontFace);
    face.copy(font.lfFaceName, LF_FACESIZE - 1);
    m_fontLabels = CreateFontIndirectW(&font);

    // The first search ("Device Connected" and the pause when found), then "0%".
    tool_.Start();

    SetUpdateTimer(hwnd, UPDATE_TIMER_ID, UPDATE_TIMER_PERIOD_MS);

    // Without visual styles the group box draws its caption in the colour OnCtlColor sets.
    SetWindowTheme(GetDlgItem(IDC_STATUS), L"", L"");
    return TRUE;
}

HBRUSH CLumoToolDlg::OnCtlColor(HDC dc, HWND control, UINT kind) {
    HBRUSH brush = CDialogEx::OnCtlColor(dc, control, kind);
    if (kind != CTLCOLOR_STATIC) return brush;
    const std::optional<std::uint32_t> color =
        LabelTextColor(GetDlgCtrlID(control), tool_.IsConnected());
    if (!color) return brush;
    SetTextColor(dc, static_cast<COLORREF>(*color));
    SelectObject(dc, m_fontLabels);
    return brush;
}

bool CLumoToolDlg::OnCommand(UINT id, UINT code, HWND /*control*/) {
    if (id == IDC_UPDATE && code == BN_CLICKED) {
        tool_.OnBnClickedUpdate();
        return true;
    }
    return false;
}

bool CLumoToolDlg::OnMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result) {
    switch (msg) {
        case WM_PAINT:
            return OnPaint();
        case WM_QUERYDRAGICON:
            result = reinterpret_cast<LRESULT>(OnQueryDragIcon());
            return true;
        case WM_TIMER:
            tool_.OnTimer(wp);
            return false;  // and on to the default
        case WM_DEVICECHANGE:
            result = tool_.OnDeviceChange(static_cast<unsigned>(wp), static_cast<std::uintptr_t>(lp))
                         ? TRUE
                         : FALSE;
            return true;
        case WM_QUERYENDSESSION:
            result = OnQueryEndSession();
            return true;
        case WM_DESTROY:
            // The block reason belongs to this window: it goes while the window is still there.
            if (blocker_) blocker_->set_window(nullptr);
            return false;
        default:
            return false;
    }
}

bool CLumoToolDlg::OnPaint() {
    HWND hwnd = GetSafeHwnd();
    if (!IsIconic(hwnd)) return false;  // the default paints the dialog
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    SendMessageW(hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    const int cx_icon = GetSystemMetrics(SM_CXICON);
    const int cy_icon = GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(hwnd, &rect);
    const int x = (rect.right - rect.left - cx_icon + 1) / 2;
    const int y = (rect.bottom - rect.top - cy_icon + 1) / 2;
    DrawIcon(dc, x, y, m_hIcon);
    EndPaint(hwnd, &ps);
    return true;
}

bool CLumoToolDlg::ConfirmClose() {
    if (!tool_.IsUpdating()) return true;
    CWinApp* app = CWinApp::Current();
    if (!app) return true;
    return app->DoMessageBox(GetSafeHwnd(), Widen(text::kCloseWhileUpdating),
                             MB_YESNO | MB_DEFBUTTON2) == IDYES;
}

void CLumoToolDlg::OnOK() {
    if (ConfirmClose()) CDialogEx::OnOK();
}

void CLumoToolDlg::OnCancel() {
    if (ConfirmClose()) CDialogEx::OnCancel();
}

void CLumoToolDlg::SetItemText(int id, std::string_view text) {
    SetWindowTextW(GetDlgItem(id), Widen(text).c_str());
}

void CLumoToolDlg::SetStatusCaption(std::string_view text) { SetItemText(IDC_STATUS, text); }
void CLumoToolDlg::SetNote(std::string_view text) { SetItemText(IDC_NOTE, text); }
void CLumoToolDlg::SetPercentText(std::string_view text) { SetItemText(IDC_PERCENT, text); }
void CLumoToolDlg::SetProgress(int position) { m_ctrlProgress.SetPos(position); }
void CLumoToolDlg::EnableUpdate(bool enable) { EnableWindow(GetDlgItem(IDC_UPDATE), enable); }

void CLumoToolDlg::ShowWarningBox(std::string_view text) {
    if (CWinApp* app = CWinApp::Current()) app->DoMessageBox(GetSafeHwnd(), Widen(text), MB_OK);
}

bool CLumoToolDlg::AskYesNo(std::string_view text) {
    CWinApp* app = CWinApp::Current();
    return app && app->DoMessageBox(GetSafeHwnd(), Widen(text),
                                    MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2) == IDYES;
}

void CLumoToolDlg::ShowPlainBox(std::string_view text) {
    if (CWinApp* app = CWinApp::Current()) app->RawMessageBox(GetSafeHwnd(), Widen(text), MB_OK);
}

}  // namespace lumo::win32
