#include "app/win32/lumo_tool_app.h"

#include <commctrl.h>

#include "platform/win32/unit_mutex_claims.h"
#include "platform/win32/win32_hid_access.h"
#include "ui/win32/lumo_tool_dlg.h"
#include "ui/win32/sleep_pause.h"

namespace lumo::win32 {

// The one application object of the process.
CLumoToolApp g_app;

CLumoToolApp::CLumoToolApp() { restart_flags = RESTART_SUPPORT_RESTART; }

BOOL CLumoToolApp::InitInstance() {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);

    CWinApp::InitInstance();  // the restart registration

    Win32HidAccess hid;
    SleepPause pause;
    // Made before the dialog, so that it is still there when the dialog's tool ends an update
    // that the window closed on.
    SleepShutdownBlocker blocker;
    // Likewise: one writer per unit, across our programs.
    UnitMutexClaims claims;
    UpdateOptions options;
    options.claims = &claims;
    CLumoToolDlg dialog(hid, pause, &RegisterDeviceInterfaceNotifications, &blocker, options);
    set_main_dialog(&dialog);
    dialog.DoModal();
    set_main_dialog(nullptr);

    // No message loop follows: the process ends with the dialog.
    return FALSE;
}

}  // namespace lumo::win32

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // No argument is interpreted.
    return lumo::win32::CWinApp::Current()->Run(instance);
}
