// The main dialog made from the program's real template, inside a Windows process: its window
// and controls, its initialisation, the colours it gives each label, its handlers on the real
// message path, F1 help and the close guard. Device I/O goes to a fake bus; pauses and message
// boxes are recorded.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>
#include <dbt.h>

#include <array>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "core/update_sequence.h"
#include "platform/win32/sleep_shutdown_blocker.h"
#include "ports/status_texts.h"
#include "tests/fakes/bootloader_check.h"
#include "tests/fakes/fake_hid_bus.h"
#include "tests/fakes/recording_view.h"
#include "tests/win32/recording_power_calls.h"
#include "tests/win32/recording_timer_calls.h"
#include "ui/dialog_template.h"
#include "ui/label_colors.h"
#include "ui/win32/lumo_tool_dlg.h"
#include "ui/win32/wide.h"

namespace lumo::win32 {
namespace {

using namespace lumo::dialog;
using lumo::testing::FakeHidBus;
using lumo::testing::RecordingView;

const std::string kC3D1 = "\\\\?\\hid#vid_5a7e&pid_c3d1&mi_00#7&1a2b3c&0&0000#{4d1e55b2}";

struct Box {
    HWND owner;
    std::wstring text;
    std::wstring caption;
    UINT type;
};

std::wstring Text(HWND hwnd) {
    wchar_t buffer[512] = {};
    GetWindowTextW(hwnd, buffer, 512);
    return buffer;
}

std::wstring ClassOf(HWND hwnd) {
    wchar_t buffer[64] = {};
    GetClassNameW(hwnd, buffer, 64);
    return buffer;
}

class DialogTest : public ::testing::Test {
protected:
    DialogTest() {
        current_ = this;
        app.Prepare(GetModuleHandleW(nullptr), L"C:\\Tools\\Lumo_Tool.exe");
        app.message_box_call = [this](HWND owner, const wchar_t* text, const wchar_t* caption,
                                      UINT type) {
            boxes.push_back({owner, text, caption, type});
            return box_answer;
        };
        app.help_call = [this](HWND owner, const wchar_t* path, UINT command, ULONG_PTR data) {
            help_calls.push_back({owner, path, L"", command});
            help_data.push_back(data);
            return help_succeeds;
        };
    }
    ~DialogTest() override {
        app.set_main_dialog(nullptr);
        dialog.reset();
        current_ = nullptr;
    }

    // The stand-in guard has its own tests; elsewhere every press that can start, starts.
    void Open(UpdateOptions options = {.stand_ins = false}) {
        dialog = std::make_unique<CLumoToolDlg>(bus, pauses, &Register, &blocker, options);
        app.set_main_dialog(dialog.get());
        hwnd = dialog->Create();
        ASSERT_NE(hwnd, nullptr) << "dialog not created, error " << GetLastError();
        Pump();
    }

    // Runs the thread's message loop as a modal dialog's would, until the queue is empty.
    void Pump() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (!IsDialogMessageW(hwnd, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
    }

    HWND Item(int id) const { return GetDlgItem(hwnd, id); }

    // A real key press through the system's keyboard input to the dialog, then the message
    // loop until `done` (or a second).
    template <typename Done>
    void PressKey(WORD vk, Done done) {
        SetForegroundWindow(hwnd);
        INPUT keys[2] = {};
        keys[0].type = keys[1].type = INPUT_KEYBOARD;
        keys[0].ki.wVk = keys[1].ki.wVk = vk;
        keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
        ASSERT_EQ(SendInput(2, keys, sizeof(INPUT)), 2u);
        for (int i = 0; i < 50 && !done(); ++i) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
            Pump();
        }
    }
    void Click(int id) { SendMessageW(Item(id), BM_CLICK, 0, 0); }
    void Tick() { SendMessageW(hwnd, WM_TIMER, UPDATE_TIMER_ID, 0); }
    LRESULT DeviceChange(WPARAM event) { return SendMessageW(hwnd, WM_DEVICECHANGE, event, 0); }
    LRESULT QueryEndSession(LPARAM why) { return SendMessageW(hwnd, WM_QUERYENDSESSION, 0, why); }
    int ProgressPos() const { return static_cast<int>(SendMessageW(Item(IDC_PROGRESS), PBM_GETPOS, 0, 0)); }

    // The dialog's registration for device-change notifications: it must come after the
    // window icons and before the first device search.
    static void Register(HWND h) {
        current_->registrations.push_back(
            {h, SendMessageW(h, WM_GETICON, ICON_BIG, 0) != 0 &&
                    SendMessageW(h, WM_GETICON, ICON_SMALL, 0) != 0,
             current_->bus.sets_created == 0});
    }
    struct Registration {
        HWND hwnd;
        bool icons_set_before;
        bool before_first_search;
    };

    CWinApp app;
    RecordingPowerCalls power;
    RecordingTimerCalls clock;
    SleepShutdownBlocker blocker{&power, &clock};  // as the program makes it, before the dialog
    FakeHidBus bus;
    RecordingView pauses;  // its Pause half records every pause
    std::vector<Box> boxes;
    int box_answer = IDOK;
    std::vector<Box> help_calls;
    std::vector<ULONG_PTR> help_data;
    BOOL help_succeeds = FALSE;
    std::vector<Registration> registrations;
    std::unique_ptr<CLumoToolDlg> dialog;
    HWND hwnd = nullptr;

    static DialogTest* current_;
};

DialogTest* DialogTest::current_ = nullptr;

// Dialog units of a client rectangle, converted back with the dialog's own base units.
RECT ToDialogUnits(HWND dialog, RECT pixels) {
    RECT base{0, 0, 4, 8};
    MapDialogRect(dialog, &base);
    return {MulDiv(pixels.left, 4, base.right), MulDiv(pixels.top, 8, base.bottom),
            MulDiv(pixels.right - pixels.left, 4, base.right),
            MulDiv(pixels.bottom - pixels.top, 8, base.bottom)};
}

TEST_F(DialogTest, WindowFromTheTemplate) {
    Open();
    EXPECT_EQ(Text(hwnd), Widen(kTitle));
    const auto style = static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_STYLE));
    // DS_SETFONT and DS_FIXEDSYS describe the template; the system adds WS_CLIPSIBLINGS and
    // DS_3DLOOK to every top-level dialog.
    const DWORD template_only = DS_SETFONT | DS_FIXEDSYS;
    EXPECT_EQ(style & ~template_only, (kStyle & ~template_only) | WS_CLIPSIBLINGS | DS_3DLOOK)
        << std::hex << style;
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_EXSTYLE)) & kExStyle, kExStyle);
    EXPECT_EQ(GetMenu(hwnd), nullptr);

    RECT client{};
    GetClientRect(hwnd, &client);
    const RECT du = ToDialogUnits(hwnd, client);
    EXPECT_EQ(du.right, kWidthDu);
    EXPECT_EQ(du.bottom, kHeightDu);
}

TEST_F(DialogTest, NineControlsInTemplateOrder) {
    Open();
    std::vector<HWND> children;
    for (HWND c = GetWindow(hwnd, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) children.push_back(c);
    ASSERT_EQ(children.size(), kControls.size());

    for (std::size_t i = 0; i < kControls.size(); ++i) {
        const ControlTemplate& t = kControls[i];
        HWND c = children[i];
        SCOPED_TRACE(std::string(t.name));
        const wchar_t* expected_class = t.kind == ControlKind::Progress ? L"msctls_progress32"
                                        : t.kind == ControlKind::Static ? L"Static"
                                                                        : L"Button";
        EXPECT_EQ(_wcsicmp(ClassOf(c).c_str(), expected_class), 0) << Narrow(ClassOf(c));
        EXPECT_EQ(GetDlgCtrlID(c), t.id);
        EXPECT_EQ(GetDlgItem(hwnd, t.id), c) << "found by its identifier";

        auto style = static_cast<DWORD>(GetWindowLongPtrW(c, GWL_STYLE));
        auto ex_style = static_cast<DWORD>(GetWindowLongPtrW(c, GWL_EXSTYLE));
        // The dialog manager may mark the focused push button as the default one.
        if (t.id == IDC_UPDATE) style &= ~static_cast<DWORD>(BS_DEFPUSHBUTTON);
        // The progress bar draws its own frame: it takes WS_BORDER off itself when created
        // (the template's bit is checked in the executable's resources).
        if (t.kind == ControlKind::Progress) {
            style |= WS_BORDER;
            ex_style &= ~static_cast<DWORD>(WS_EX_STATICEDGE);
        }
        EXPECT_EQ(style, t.style) << std::hex << style;
        EXPECT_EQ(ex_style & ~static_cast<DWORD>(WS_EX_NOPARENTNOTIFY), 0u) << std::hex << ex_style;

        // IDC_PERCENT's template text is replaced before the window is first shown.
        const std::wstring text = t.id == IDC_PERCENT ? L"0%" : Widen(t.text);
        EXPECT_EQ(Text(c), text);

        RECT r{};
        GetWindowRect(c, &r);
        MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&r), 2);
        const RECT du = ToDialogUnits(hwnd, r);
        EXPECT_EQ(du.left, t.x);
        EXPECT_EQ(du.top, t.y);
        EXPECT_EQ(du.right, t.cx);
        EXPECT_EQ(du.bottom, t.cy);
    }
}

TEST_F(DialogTest, StartsWithoutDeviceWithoutPause) {
    Open();
    EXPECT_EQ(Text(Item(IDC_STATUS)), Widen(text::kDeviceDisconnected));
    EXPECT_EQ(Text(Item(IDC_PERCENT)), L"0%");
    EXPECT_EQ(Text(Item(IDC_NOTE)), L"");
    EXPECT_EQ(ProgressPos(), 0);
    const auto range = SendMessageW(Item(IDC_PROGRESS), PBM_GETRANGE, FALSE, 0);
    EXPECT_EQ(range, 100) << "the control's default range, 0 to 100";
    EXPECT_TRUE(IsWindowEnabled(Item(IDC_UPDATE)));
    EXPECT_EQ(GetFocus(), Item(IDC_UPDATE));
    EXPECT_TRUE(pauses.log.empty());
    EXPECT_TRUE(IsWindowVisible(hwnd));
}

TEST_F(DialogTest, StartsWithDeviceConnectedAfterThePause) {
    bus.Plug(kC3D1);
    Open();
    EXPECT_EQ(Text(Item(IDC_STATUS)), Widen(text::kDeviceConnected));
    EXPECT_EQ(Text(Item(IDC_PERCENT)), L"0%");
    EXPECT_EQ(pauses.log, std::vector<std::string>{"pause:2500"});
    EXPECT_TRUE(dialog->tool().IsConnected());
    EXPECT_EQ(GetFocus(), Item(IDC_UPDATE));
}

TEST_F(DialogTest, InitialisationOrderIconsRegistrationSearch) {
    bus.Plug(kC3D1);
    Open();
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(registrations[0].hwnd, hwnd);
    EXPECT_TRUE(registrations[0].icons_set_before);
    EXPECT_TRUE(registrations[0].before_first_search);
    EXPECT_EQ(bus.sets_created, 1);

    const auto big = reinterpret_cast<HICON>(SendMessageW(hwnd, WM_GETICON, ICON_BIG, 0));
    EXPECT_EQ(big, dialog->icon());
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(hwnd, WM_GETICON, ICON_SMALL, 0)), big);
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(hwnd, WM_QUERYDRAGICON, 0, 0)), big);
}

TEST_F(DialogTest, IconIs32By32With32BitsPerPixel) {
    Open();
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(dialog->icon(), &info));
    BITMAP color{};
    ASSERT_NE(GetObjectW(info.hbmColor, sizeof color, &color), 0);
    EXPECT_EQ(color.bmWidth, 32);
    EXPECT_EQ(color.bmHeight, 32);
    EXPECT_EQ(color.bmBitsPixel, 32);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
}

TEST_F(DialogTest, LabelFontIsNinePointArial) {
    Open();
    LOGFONTW font{};
    ASSERT_NE(GetObjectW(dialog->label_font(), sizeof font, &font), 0);
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    EXPECT_EQ(font.lfHeight, -MulDiv(dpi, 90, 720));
    EXPECT_EQ(std::wstring(font.lfFaceName), L"Arial");
    EXPECT_EQ(font.lfCharSet, DEFAULT_CHARSET);
    EXPECT_EQ(font.lfWeight, 0);
    EXPECT_FALSE(font.lfItalic);
}

TEST_F(DialogTest, CentredOnTheWorkArea) {
    Open();
    RECT window{};
    GetWindowRect(hwnd, &window);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTOPRIMARY), &monitor);
    const RECT& work = monitor.rcWork;
    EXPECT_LE(std::abs((window.left + window.right) - (work.left + work.right)), 2);
    EXPECT_LE(std::abs((window.top + window.bottom) - (work.top + work.bottom)), 2);
}

// A colour request as a control makes it while it paints: WM_CTLCOLORSTATIC (or another kind)
// with a memory device context; the colour and font are read back from that context.
struct Painted {
    HBRUSH brush;
    COLORREF text;
    HGDIOBJ font;
};

Painted AskColours(HWND dialog, HWND control, UINT msg) {
    HDC dc = CreateCompatibleDC(nullptr);
    SetTextColor(dc, RGB(1, 2, 3));  // a colour no rule gives
    const HGDIOBJ before = GetCurrentObject(dc, OBJ_FONT);
    Painted p{};
    p.brush = reinterpret_cast<HBRUSH>(SendMessageW(dialog, msg, reinterpret_cast<WPARAM>(dc),
                                                    reinterpret_cast<LPARAM>(control)));
    p.text = GetTextColor(dc);
    p.font = GetCurrentObject(dc, OBJ_FONT);
    if (p.font == before) p.font = nullptr;  // nothing selected
    DeleteDC(dc);
    return p;
}

// What the system's default gives for the same request.
Painted DefaultColours(HWND dialog, HWND control, UINT msg) {
    HDC dc = CreateCompatibleDC(nullptr);
    SetTextColor(dc, RGB(1, 2, 3));
    Painted p{};
    p.brush = reinterpret_cast<HBRUSH>(DefWindowProcW(dialog, msg, reinterpret_cast<WPARAM>(dc),
                                                      reinterpret_cast<LPARAM>(control)));
    p.text = GetTextColor(dc);
    p.font = nullptr;
    DeleteDC(dc);
    return p;
}

class ColourTest : public DialogTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ColourTest, EachLabelInEachConnectionState) {
    const bool connected = GetParam();
    if (connected) bus.Plug(kC3D1);
    Open();
    ASSERT_EQ(dialog->tool().IsConnected(), connected);

    struct Expect {
        int id;
        int color;  // -1: the default colour and no font
    };
    const std::array<Expect, 9> table{{
        {IDC_GUIDE_TITLE, 0x000A6400},
        {IDC_GUIDE_HOLD, 0x000A6400},
        {IDC_GUIDE_PLUG, 0x000A6400},
        {IDC_GUIDE_EXTRA, 0x000A6400},
        {IDC_STATUS, connected ? 0x0000C800 : 0x000000FF},
        {IDC_NOTE, 0x000A00FF},
        {IDC_PERCENT, -1},
        {IDC_UPDATE, -1},
        {IDC_PROGRESS, -1},
    }};
    for (const Expect& e : table) {
        SCOPED_TRACE(e.id);
        const Painted got = AskColours(hwnd, Item(e.id), WM_CTLCOLORSTATIC);
        const Painted base = DefaultColours(hwnd, Item(e.id), WM_CTLCOLORSTATIC);
        EXPECT_EQ(got.brush, base.brush) << "the brush is always the default one";
        if (e.color < 0) {
            EXPECT_EQ(got.text, base.text);
            EXPECT_EQ(got.font, nullptr);
        } else {
            EXPECT_EQ(got.text, static_cast<COLORREF>(e.color));
            EXPECT_EQ(got.font, dialog->label_font());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(States, ColourTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Connected" : "Disconnected"; });

TEST_F(DialogTest, OtherColourRequestsGetTheDefaultUntouched) {
    Open();
    for (UINT msg : {WM_CTLCOLORBTN, WM_CTLCOLORDLG}) {
        for (HWND target : {Item(IDC_UPDATE), Item(IDC_NOTE), hwnd}) {
            const Painted got = AskColours(hwnd, target, msg);
            const Painted base = DefaultColours(hwnd, target, msg);
            EXPECT_EQ(got.brush, base.brush);
            EXPECT_EQ(got.text, base.text);
            EXPECT_EQ(got.font, nullptr);
        }
    }
}

TEST_F(DialogTest, StatusColourFollowsTheConnectionAtEachRepaint) {
    Open();
    EXPECT_EQ(AskColours(hwnd, Item(IDC_STATUS), WM_CTLCOLORSTATIC).text, kDisconnectedColor);
    bus.Plug(kC3D1);
    EXPECT_EQ(DeviceChange(DBT_DEVICEARRIVAL), TRUE);
    EXPECT_EQ(AskColours(hwnd, Item(IDC_STATUS), WM_CTLCOLORSTATIC).text, kConnectedColor);
}

TEST_F(DialogTest, UpdateWithoutDeviceShowsTheWarningBox) {
    Open();
    Click(IDC_UPDATE);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, Widen(text::kNotConnected));
    EXPECT_EQ(boxes[0].caption, L"Lumo_Tool");
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
    EXPECT_EQ(boxes[0].owner, hwnd);
}

TEST_F(DialogTest, WholeUpdateThroughTheRealControls) {
    bus.Plug(kC3D1);
    Open();
    // The user's click, as the dialog manager delivers it.
    Click(IDC_UPDATE);
    EXPECT_FALSE(IsWindowEnabled(Item(IDC_UPDATE)));
    EXPECT_EQ(Text(Item(IDC_NOTE)), Widen(text::kUpdating));
    EXPECT_EQ(Text(Item(IDC_PERCENT)), L"0%");

    std::vector<int> positions;
    bool percent_matches_bar = true;
    for (int i = 0; i < 5000 && dialog->tool().IsUpdating(); ++i) {
        Tick();
        positions.push_back(ProgressPos());
        percent_matches_bar &= Text(Item(IDC_PERCENT)) == Widen(text::PercentText(
                                                                static_cast<unsigned>(ProgressPos())));
    }
    EXPECT_FALSE(dialog->tool().IsUpdating());
    EXPECT_TRUE(percent_matches_bar);
    ASSERT_FALSE(positions.empty());
    EXPECT_EQ(positions.back(), 100);
    EXPECT_EQ(Text(Item(IDC_PERCENT)), L"100%");
    EXPECT_EQ(lumo::testing::CheckDelivery(bus.Reports(), g_firmwarePrimary.bytes()),
              lumo::testing::kDelivered);

    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, Widen(text::kSuccess));
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK)) << "the plain box has no icon";
    EXPECT_EQ(boxes[0].caption, L"Lumo_Tool");
    EXPECT_EQ(boxes[0].owner, hwnd);
    EXPECT_EQ(Text(Item(IDC_NOTE)), L" ");
    EXPECT_TRUE(IsWindowEnabled(Item(IDC_UPDATE)));
}

TEST_F(DialogTest, TimerFiveDrivesTheUpdateFromTheMessageLoop) {
    bus.Plug(kC3D1);
    Open();
    Click(IDC_UPDATE);
    const std::size_t after_start = bus.writes.size();
    // Real ticks of the 10 ms timer, dispatched by the message loop.
    for (int i = 0; i < 200 && bus.writes.size() < after_start + 3; ++i) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        Pump();
    }
    EXPECT_GE(bus.writes.size(), after_start + 3);
}

TEST_F(DialogTest, DeviceChangeArrivalAndRemoval) {
    Open();
    bus.Plug(kC3D1);
    EXPECT_EQ(DeviceChange(DBT_DEVICEARRIVAL), TRUE);
    EXPECT_EQ(Text(Item(IDC_STATUS)), Widen(text::kDeviceConnected));
    EXPECT_EQ(Text(Item(IDC_NOTE)), L" ");
    EXPECT_EQ(pauses.log.back(), "pause:250");

    bus.Unplug(kC3D1);
    EXPECT_EQ(DeviceChange(DBT_DEVICEREMOVECOMPLETE), TRUE);
    EXPECT_EQ(Text(Item(IDC_STATUS)), Widen(text::kDeviceDisconnected));
    EXPECT_FALSE(dialog->tool().IsConnected());

    EXPECT_EQ(DeviceChange(DBT_DEVNODES_CHANGED), TRUE) << "other events: TRUE, nothing done";
    EXPECT_EQ(Text(Item(IDC_STATUS)), Widen(text::kDeviceDisconnected));
}

TEST_F(DialogTest, F1AsksForHelpWithTheDialogsContext) {
    Open();
    // F1 on the focused button: the system turns it into WM_HELP, which reaches the dialog.
    HELPINFO info{};
    info.cbSize = sizeof info;
    info.iContextType = HELPINFO_WINDOW;
    info.iCtrlId = IDC_UPDATE;
    info.hItemHandle = Item(IDC_UPDATE);
    SendMessageW(Item(IDC_UPDATE), WM_HELP, 0, reinterpret_cast<LPARAM>(&info));

    ASSERT_EQ(help_calls.size(), 1u);
    EXPECT_EQ(help_calls[0].owner, hwnd);
    EXPECT_EQ(help_calls[0].text, L"C:\\Tools\\Lumo_Tool.HLP");
    EXPECT_EQ(help_calls[0].type, static_cast<UINT>(HELP_CONTEXT));
    EXPECT_EQ(help_data[0], 0x20066u);
    // No help file ships: the call fails and the framework says so.
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"\u542F\u52A8\u5E2E\u52A9\u5931\u8D25\u3002");
    EXPECT_EQ(boxes[0].caption, L"Lumo_Tool");
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
}

TEST_F(DialogTest, F1KeyPressReachesTheHelpCall) {
    Open();
    PressKey(VK_F1, [&] { return !help_calls.empty(); });
    ASSERT_EQ(help_calls.size(), 1u);
    EXPECT_EQ(help_data[0], 0x20066u);
}

TEST_F(DialogTest, EnterClicksTheFocusedUpdateAndEscapeCloses) {
    Open();
    // Focus reaching a push button makes it the default one. Windows does this for the first
    // focus too; Wine only when the dialog manager moves the focus, so move it that way.
    SendMessageW(hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(IDC_UPDATE)), TRUE);
    PressKey(VK_RETURN, [&] { return !boxes.empty(); });
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, Widen(text::kNotConnected));

    PressKey(VK_ESCAPE, [&] { return !IsWindowVisible(hwnd); });
    EXPECT_FALSE(IsWindowVisible(hwnd)) << "Escape is Cancel: the dialog ended";
    EXPECT_EQ(boxes.size(), 1u) << "no question while idle";
}

TEST_F(DialogTest, F1WithShiftHeldCallsNoHelp) {
    Open();
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_SHIFT] = 0x80;
    SetKeyboardState(keys);
    HELPINFO info{};
    info.cbSize = sizeof info;
    SendMessageW(Item(IDC_UPDATE), WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
    keys[VK_SHIFT] = 0;
    SetKeyboardState(keys);
    EXPECT_TRUE(help_calls.empty());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(DialogTest, ClosingWhileIdleAsksNothing) {
    Open();
    SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    EXPECT_TRUE(boxes.empty());
    EXPECT_FALSE(IsWindowVisible(hwnd)) << "the dialog ended";
}

class CloseGuardTest : public DialogTest,
                       public ::testing::WithParamInterface<std::pair<int, bool>> {};

TEST_P(CloseGuardTest, ClosingWhileUpdatingAsksYesNoWithNoTheDefault) {
    const auto [answer, ends] = GetParam();
    bus.Plug(kC3D1);
    Open();
    Click(IDC_UPDATE);
    Tick();
    ASSERT_TRUE(dialog->tool().IsUpdating());
    const std::size_t writes = bus.writes.size();

    box_answer = answer;
    KillTimer(hwnd, UPDATE_TIMER_ID);  // hold the stream still while the box is open
    // The title bar's close button: the dialog manager turns WM_CLOSE into IDCANCEL.
    SendMessageW(hwnd, WM_CLOSE, 0, 0);
    Pump();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, Widen(text::kCloseWhileUpdating));
    EXPECT_EQ(boxes[0].caption, L"Lumo_Tool");
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_YESNO | MB_DEFBUTTON2 | MB_ICONQUESTION));
    EXPECT_EQ(boxes[0].owner, hwnd);
    EXPECT_EQ(IsWindowVisible(hwnd) == FALSE, ends);
    EXPECT_EQ(bus.writes.size(), writes) << "asking sends nothing";
}

INSTANTIATE_TEST_SUITE_P(Answers, CloseGuardTest,
                         ::testing::Values(std::pair{IDNO, false}, std::pair{IDYES, true}),
                         [](const auto& info) { return info.param.second ? "Yes" : "No"; });

// A build with stand-in images: the caption says so, the first press of Update asks (Yes/No,
// No the default), No leaves the window exactly as it was and sends nothing, Yes streams the
// image and is not asked again. A build with other images shows the plain caption and never
// asks.
struct StandInCase {
    const char* name;
    bool stand_ins;
    std::vector<int> answers;  // one press of Update per answer, each run to its end
    std::size_t questions;
    std::size_t updates;
};
void PrintTo(const StandInCase& c, std::ostream* os) { *os << c.name; }

class StandInGuardTest : public DialogTest, public ::testing::WithParamInterface<StandInCase> {};

TEST_P(StandInGuardTest, AsksOnceBeforeWritingStandIns) {
    const auto& c = GetParam();
    bus.Plug(kC3D1);
    Open({.stand_ins = c.stand_ins});
    KillTimer(hwnd, UPDATE_TIMER_ID);  // ticks are sent by hand
    const std::wstring plain = Widen(kTitle);
    EXPECT_EQ(Text(hwnd), c.stand_ins ? plain + Widen(text::kStandInCaptionSuffix) : plain);

    std::size_t delivered = 0;
    for (const int answer : c.answers) {
        box_answer = answer;
        const std::size_t writes = bus.writes.size();
        const std::array<std::wstring, 3> before{Text(Item(IDC_PERCENT)), Text(Item(IDC_NOTE)),
                                                 Text(Item(IDC_STATUS))};
        const int position = ProgressPos();
        Click(IDC_UPDATE);
        if (!dialog->tool().IsUpdating()) {
            EXPECT_EQ(bus.writes.size(), writes) << "refused: nothing sent";
            EXPECT_TRUE(IsWindowEnabled(Item(IDC_UPDATE)));
            EXPECT_EQ((std::array{Text(Item(IDC_PERCENT)), Text(Item(IDC_NOTE)),
                                  Text(Item(IDC_STATUS))}),
                      before);
            EXPECT_EQ(ProgressPos(), position);
            continue;
        }
        for (int i = 0; i < 5000 && dialog->tool().IsUpdating(); ++i) Tick();
        const auto all = bus.Reports();
        if (lumo::testing::CheckDelivery({all.begin() + static_cast<long>(writes), all.end()},
                                         g_firmwarePrimary.bytes()) == lumo::testing::kDelivered)
            ++delivered;
    }
    std::size_t questions = 0;
    for (const Box& box : boxes) {
        if (box.text != Widen(text::kStandInQuestion)) continue;
        ++questions;
        EXPECT_EQ(box.caption, L"Lumo_Tool");
        EXPECT_EQ(box.type, static_cast<UINT>(MB_YESNO | MB_DEFBUTTON2 | MB_ICONEXCLAMATION));
        EXPECT_EQ(box.owner, hwnd);
    }
    EXPECT_EQ(questions, c.questions);
    EXPECT_EQ(delivered, c.updates);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StandInGuardTest,
    ::testing::Values(StandInCase{"No", true, {IDNO}, 1, 0},
                      StandInCase{"NoThenYesThenAgain", true, {IDNO, IDYES, IDYES}, 2, 2},
                      StandInCase{"OtherImages", false, {IDNO, IDNO}, 0, 2}),
    [](const auto& info) { return std::string(info.param.name); });

const std::vector<std::string> kHeldThenReleased = {
    "state:continuous|system-required", "reason:create Firmware update in progress",
    "reason:destroy", "state:continuous"};

// Sleep is held off and shutdown refused from the successful start to the end, also while
// the device is away; every call on the dialog's window and its thread.
TEST_F(DialogTest, SleepAndShutdownHeldOffOnlyWhileAnUpdateIsUnderWay) {
    bus.Plug(kC3D1);
    Open();
    EXPECT_EQ(QueryEndSession(0), TRUE);
    EXPECT_EQ(QueryEndSession(ENDSESSION_LOGOFF), TRUE);
    EXPECT_TRUE(power.log.empty());

    Click(IDC_UPDATE);
    EXPECT_EQ(power.log, std::vector<std::string>(kHeldThenReleased.begin(),
                                                  kHeldThenReleased.begin() + 2));
    // The flags are unsigned and ENDSESSION_LOGOFF has the top bit: in a 32-bit LPARAM it is
    // negative, as Windows passes it.
    for (LPARAM why : {LPARAM{0}, static_cast<LPARAM>(ENDSESSION_LOGOFF),
                       static_cast<LPARAM>(ENDSESSION_CLOSEAPP),
                       static_cast<LPARAM>(ENDSESSION_CRITICAL)})
        EXPECT_EQ(QueryEndSession(why), FALSE) << "lParam " << why;
    for (int i = 0; i < 10; ++i) Tick();

    bus.Unplug(kC3D1);
    DeviceChange(DBT_DEVICEREMOVECOMPLETE);
    for (int i = 0; i < 5; ++i) Tick();
    EXPECT_EQ(QueryEndSession(0), FALSE) << "suspended, still under way";
    EXPECT_EQ(power.log.size(), 2u);

    bus.Plug(kC3D1);
    DeviceChange(DBT_DEVICEARRIVAL);
    for (int i = 0; i < 5000 && dialog->tool().IsUpdating(); ++i) Tick();
    ASSERT_FALSE(dialog->tool().IsUpdating());
    EXPECT_EQ(power.log, kHeldThenReleased);
    EXPECT_EQ(QueryEndSession(0), TRUE);
    EXPECT_EQ(QueryEndSession(ENDSESSION_LOGOFF), TRUE);

    for (HWND w : power.windows) EXPECT_EQ(w, hwnd);
    const DWORD ui_thread = GetWindowThreadProcessId(hwnd, nullptr);
    for (DWORD t : power.threads) EXPECT_EQ(t, ui_thread);

    Click(IDC_UPDATE);  // the next update holds them again
    EXPECT_EQ(power.log.size(), 6u);
    EXPECT_EQ(QueryEndSession(0), FALSE);
}

enum class Ending { kSuccess, kFailedWrite, kWindowClosed };
std::string EndingName(Ending e) {
    return e == Ending::kSuccess       ? "Success"
           : e == Ending::kFailedWrite ? "FailedWrite"
                                       : "WindowClosed";
}
void PrintTo(Ending e, std::ostream* os) { *os << EndingName(e); }

class SleepReleasedTest : public DialogTest, public ::testing::WithParamInterface<Ending> {};

TEST_P(SleepReleasedTest, ReleasedOnceHoweverTheUpdateEnds) {
    bus.Plug(kC3D1);
    Open();
    Click(IDC_UPDATE);
    for (int i = 0; i < 5; ++i) Tick();
    ASSERT_TRUE(dialog->tool().IsUpdating());

    switch (GetParam()) {
        case Ending::kSuccess:
            for (int i = 0; i < 5000 && dialog->tool().IsUpdating(); ++i) Tick();
            break;
        case Ending::kFailedWrite:
            bus.failing_writes = {bus.write_calls};
            Tick();
            break;
        case Ending::kWindowClosed:
            box_answer = IDYES;
            KillTimer(hwnd, UPDATE_TIMER_ID);
            SendMessageW(hwnd, WM_CLOSE, 0, 0);
            Pump();
            app.set_main_dialog(nullptr);
            dialog.reset();  // the program's dialog object goes with the closed window
            break;
    }
    EXPECT_EQ(power.log, kHeldThenReleased);
    EXPECT_EQ(power.windows, (std::vector<HWND>{hwnd, hwnd}));
    if (dialog) {
        EXPECT_EQ(QueryEndSession(0), TRUE);
        dialog.reset();
        EXPECT_EQ(power.log.size(), 4u) << "never released twice";
    }
}

INSTANTIATE_TEST_SUITE_P(Endings, SleepReleasedTest,
                         ::testing::Values(Ending::kSuccess, Ending::kFailedWrite,
                                           Ending::kWindowClosed),
                         [](const auto& info) { return EndingName(info.param); });

const std::vector<std::string> kClockRaised = {"throttling:ignore-timer-resolution off",
                                               "period:begin 1"};
const std::vector<std::string> kClockRaisedThenBack = {
    "throttling:ignore-timer-resolution off", "period:begin 1", "period:end 1",
    "throttling:system"};

// The 1 ms clock that keeps the update timer to 10 ms: asked for with the start report, kept
// while the device is away, given back once however the update ends, never asked for while
// the dialog is idle.
class ClockGivenBackTest : public DialogTest, public ::testing::WithParamInterface<Ending> {};

TEST_P(ClockGivenBackTest, OneMillisecondClockFromTheStartReportToTheEnd) {
    bus.Plug(kC3D1);
    Open();
    for (int i = 0; i < 20; ++i) Tick();
    EXPECT_TRUE(clock.log.empty()) << "idle, a device connected";

    Click(IDC_UPDATE);
    EXPECT_EQ(bus.writes.size(), 1u) << "the start report, answered";
    EXPECT_EQ(clock.log, kClockRaised);
    for (int i = 0; i < 5; ++i) Tick();
    ASSERT_TRUE(dialog->tool().IsUpdating());

    switch (GetParam()) {
        case Ending::kSuccess:
            bus.Unplug(kC3D1);
            DeviceChange(DBT_DEVICEREMOVECOMPLETE);
            for (int i = 0; i < 5; ++i) Tick();
            EXPECT_EQ(clock.log, kClockRaised) << "suspended, still under way";
            bus.Plug(kC3D1);
            DeviceChange(DBT_DEVICEARRIVAL);
            for (int i = 0; i < 5000 && dialog->tool().IsUpdating(); ++i) Tick();
            break;
        case Ending::kFailedWrite:
            bus.failing_writes = {bus.write_calls};
            Tick();
            break;
        case Ending::kWindowClosed:
            box_answer = IDYES;
            KillTimer(hwnd, UPDATE_TIMER_ID);
            SendMessageW(hwnd, WM_CLOSE, 0, 0);
            Pump();
            app.set_main_dialog(nullptr);
            dialog.reset();
            break;
    }
    EXPECT_EQ(clock.log, kClockRaisedThenBack);
    if (dialog) {
        ASSERT_FALSE(dialog->tool().IsUpdating());
        for (int i = 0; i < 20; ++i) Tick();
        dialog.reset();
        EXPECT_EQ(clock.log, kClockRaisedThenBack) << "idle again, then closed";
    }
}

INSTANTIATE_TEST_SUITE_P(Endings, ClockGivenBackTest,
                         ::testing::Values(Ending::kSuccess, Ending::kFailedWrite,
                                           Ending::kWindowClosed),
                         [](const auto& info) { return EndingName(info.param); });

// Counts the pixels of one colour in what a control paints into a memory bitmap.
int PaintedPixels(HWND control, COLORREF color) {
    RECT r{};
    GetClientRect(control, &r);
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = r.right;
    bi.bmiHeader.biHeight = -r.bottom;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(dc, bmp);
    SendMessageW(control, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc),
                 PRF_CLIENT | PRF_ERASEBKGND);
    int n = 0;
    const auto* px = static_cast<const std::uint32_t*>(bits);
    const std::uint32_t want =
        (GetRValue(color) << 16) | (GetGValue(color) << 8) | GetBValue(color);
    for (int i = 0; i < r.right * r.bottom; ++i) n += (px[i] & 0xFFFFFF) == want;
    SelectObject(dc, old);
    DeleteObject(bmp);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    return n;
}

// The labels as they are drawn: each control paints itself into a bitmap and asks the dialog
// for its colours on the way. (The test prefix runs without visual styles, as the status group
// box does on Windows.)
TEST_F(DialogTest, LabelsPaintInTheirColours) {
    Open();
    EXPECT_GT(PaintedPixels(Item(IDC_STATUS), kDisconnectedColor), 20);
    EXPECT_EQ(PaintedPixels(Item(IDC_STATUS), kConnectedColor), 0);
    for (int id : {IDC_GUIDE_TITLE, IDC_GUIDE_HOLD, IDC_GUIDE_PLUG})
        EXPECT_GT(PaintedPixels(Item(id), kGuideColor), 20) << id;
    EXPECT_EQ(PaintedPixels(Item(IDC_PERCENT), kGuideColor) +
                  PaintedPixels(Item(IDC_PERCENT), kNoteColor),
              0);

    bus.Plug(kC3D1);
    DeviceChange(DBT_DEVICEARRIVAL);
    EXPECT_GT(PaintedPixels(Item(IDC_STATUS), kConnectedColor), 20);
    EXPECT_EQ(PaintedPixels(Item(IDC_STATUS), kDisconnectedColor), 0);
    Click(IDC_UPDATE);
    EXPECT_GT(PaintedPixels(Item(IDC_NOTE), kNoteColor), 20);
}
}  // namespace
}  // namespace lumo::win32
