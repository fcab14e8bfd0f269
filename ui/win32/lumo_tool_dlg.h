// The main dialog: template IDD_MAIN_DIALOG, the nine controls, the StatusView operations on
// them, and the routing of clicks, ticks and device-change notifications to the tool.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include "core/lumo_tool.h"
#include "platform/win32/sleep_shutdown_blocker.h"
#include "ports/hid_access.h"
#include "ports/pause.h"
#include "ports/question.h"
#include "ports/status_view.h"
#include "ui/win32/framework.h"

namespace lumo::win32 {

// The progress bar, the one control held in a member.
class CProgressCtrl {
public:
    void Attach(HWND hwnd) { hwnd_ = hwnd; }
    HWND GetSafeHwnd() const { return hwnd_; }
    int SetPos(int position) {
        return static_cast<int>(SendMessageW(hwnd_, PBM_SETPOS, static_cast<WPARAM>(position), 0));
    }

private:
    HWND hwnd_ = nullptr;
};

class CLumoToolDlg : public CDialogEx, private StatusView, private Question {
public:
    // Registers a window for device-change notifications of every device-interface class.
    using RegisterNotifications = void (*)(HWND);

    // `blocker`, when given, holds off sleep and shutdown while an update is under way (on
    // this dialog's window); it must outlive the dialog. `options` are the tool's (the built-in
    // images by default); the dialog asks its questions.
    CLumoToolDlg(HidAccess& hid, Pause& pause, RegisterNotifications register_notifications,
                 SleepShutdownBlocker* blocker = nullptr, UpdateOptions options = {});
    ~CLumoToolDlg() override;

    const LumoTool& tool() const { return tool_; }
    HICON icon() const { return m_hIcon; }
    HFONT label_font() const { return m_fontLabels; }

    // The colour handler, as the framework calls it for every colour request.
    HBRUSH OnCtlColor(HDC dc, HWND control, UINT kind) override;

protected:
    BOOL OnInitDialog() override;
    void DoDataExchange(bool save) override;
    void OnOK() override;
    void OnCancel() override;
    bool OnCommand(UINT id, UINT code, HWND control) override;
    bool OnMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result) override;

private:
    bool OnPaint();
    HCURSOR OnQueryDragIcon() const { return m_hIcon; }
    // Closing while an update streams leaves the device without complete firmware: ask.
    bool ConfirmClose();
    // Shutdown and log-off are refused while an update is under way, for the same reason.
    LRESULT OnQueryEndSession() const { return tool_.IsUpdating() ? FALSE : TRUE; }

    // StatusView on the real controls.
    void SetStatusCaption(std::string_view text) override;
    void SetNote(std::string_view text) override;
    void SetPercentText(std::string_view text) override;
    void SetProgress(int position) override;
    void EnableUpdate(bool enable) override;
    void ShowWarningBox(std::string_view text) override;
    void ShowPlainBox(std::string_view text) override;
    void SetItemText(int id, std::string_view text);

    // Question: a Yes/No box with the exclamation icon (what it asks about can harm the
    // device), No the default.
    bool AskYesNo(std::string_view text) override;

    HICON m_hIcon = nullptr;
    HFONT m_fontLabels = nullptr;
    CProgressCtrl m_ctrlProgress;
    RegisterNotifications register_notifications_;
    SleepShutdownBlocker* blocker_;
    LumoTool tool_;
};

}  // namespace lumo::win32
