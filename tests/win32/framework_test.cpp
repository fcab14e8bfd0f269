// The framework layer's own rules: names from the executable's path, the argument text, the
// message boxes and the restart registration.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/win32/framework.h"

namespace lumo::win32 {
namespace {

struct NamesCase {
    const wchar_t* path;
    const wchar_t* exe_name;
    const wchar_t* help_path;
};

class NamesFromPath : public ::testing::TestWithParam<NamesCase> {};

TEST_P(NamesFromPath, ExeNameAndHelpPathFollowTheFileName) {
    const AppNames names = NamesFromModulePath(GetParam().path);
    EXPECT_EQ(names.exe_name, GetParam().exe_name);
    EXPECT_EQ(names.help_path, GetParam().help_path);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, NamesFromPath,
    ::testing::Values(
        NamesCase{L"C:\\Tools\\Lumo_Tool.exe", L"Lumo_Tool", L"C:\\Tools\\Lumo_Tool.HLP"},
        // Stored under another name: captions and help file follow it.
        NamesCase{L"C:\\Tools\\Renamed Copy.EXE", L"Renamed Copy", L"C:\\Tools\\Renamed Copy.HLP"},
        // A dot in a folder name is not the extension.
        NamesCase{L"D:\\v1.2\\tool", L"tool", L"D:\\v1.2\\tool.HLP"},
        NamesCase{L"Z:\\a\\b.c.exe", L"b.c", L"Z:\\a\\b.c.HLP"}));

TEST(ArgumentText, DropsTheProgramNameQuotedOrNot) {
    EXPECT_EQ(ArgumentText(L"\"C:\\Program Files\\Lumo_Tool.exe\"  /x y"), L"/x y");
    EXPECT_EQ(ArgumentText(L"C:\\Lumo_Tool.exe\t-a"), L"-a");
    EXPECT_EQ(ArgumentText(L"Lumo_Tool.exe"), L"");
    EXPECT_EQ(ArgumentText(L"\"C:\\unterminated"), L"");
}

struct Box {
    HWND owner;
    std::wstring text;
    std::wstring caption;
    UINT type;
};

class AppFixture : public ::testing::Test {
protected:
    AppFixture() {
        app.Prepare(GetModuleHandleW(nullptr), L"C:\\Tools\\Lumo_Tool.exe");
        app.message_box_call = [this](HWND owner, const wchar_t* text, const wchar_t* caption,
                                      UINT type) {
            boxes.push_back({owner, text, caption, type});
            return IDOK;
        };
    }
    CWinApp app;
    std::vector<Box> boxes;
};

struct IconRule {
    UINT type_in;
    UINT type_out;
};

class MessageBoxRules : public AppFixture, public ::testing::WithParamInterface<IconRule> {};

TEST_P(MessageBoxRules, IconAddedOnlyWhenTheTypeNamesNone) {
    HWND owner = reinterpret_cast<HWND>(0x1234);
    app.DoMessageBox(owner, L"text", GetParam().type_in);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].type, GetParam().type_out);
    EXPECT_EQ(boxes[0].caption, L"Lumo_Tool");
    EXPECT_EQ(boxes[0].text, L"text");
    EXPECT_EQ(boxes[0].owner, owner);
}

INSTANTIATE_TEST_SUITE_P(
    Types, MessageBoxRules,
    ::testing::Values(IconRule{MB_OK, MB_OK | MB_ICONEXCLAMATION},
                      IconRule{MB_OKCANCEL, MB_OKCANCEL | MB_ICONEXCLAMATION},
                      IconRule{MB_YESNO | MB_DEFBUTTON2, MB_YESNO | MB_DEFBUTTON2 | MB_ICONQUESTION},
                      IconRule{MB_YESNOCANCEL, MB_YESNOCANCEL | MB_ICONQUESTION},
                      IconRule{MB_RETRYCANCEL, MB_RETRYCANCEL},
                      IconRule{MB_ABORTRETRYIGNORE, MB_ABORTRETRYIGNORE},
                      IconRule{MB_OK | MB_ICONINFORMATION, MB_OK | MB_ICONINFORMATION},
                      IconRule{MB_YESNO | MB_ICONSTOP, MB_YESNO | MB_ICONSTOP}));

TEST_F(AppFixture, RawBoxKeepsItsTypeAndCaption) {
    app.RawMessageBox(nullptr, L"Update is successful!", MB_OK);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));
    EXPECT_EQ(boxes[0].caption, L"Lumo_Tool");
}

TEST_F(AppFixture, HelpFailureShowsTheFrameworkMessage) {
    std::vector<std::wstring> paths;
    app.help_call = [&](HWND, const wchar_t* path, UINT command, ULONG_PTR data) {
        paths.push_back(path);
        EXPECT_EQ(command, static_cast<UINT>(HELP_CONTEXT));
        EXPECT_EQ(data, 0x20066u);
        return FALSE;
    };
    app.WinHelp(0x20066, HELP_CONTEXT);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0], L"C:\\Tools\\Lumo_Tool.HLP");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"\u542F\u52A8\u5E2E\u52A9\u5931\u8D25\u3002");
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));

    app.help_call = [](HWND, const wchar_t*, UINT, ULONG_PTR) { return TRUE; };
    app.WinHelp(0x20066, HELP_CONTEXT);
    EXPECT_EQ(boxes.size(), 1u) << "a help call that succeeds shows nothing";
}

TEST_F(AppFixture, HelpCommandGoesThroughTheApplicationsMessageMap) {
    int calls = 0;
    app.help_call = [&](HWND, const wchar_t*, UINT, ULONG_PTR) {
        ++calls;
        return TRUE;
    };
    EXPECT_TRUE(app.OnCommand(ID_HELP));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(app.OnCommand(IDOK));
    EXPECT_EQ(calls, 1);
}

TEST_F(AppFixture, RestartRegistrationCarriesTheArgumentsAndANewIdentifier) {
    app.restart_flags = RESTART_SUPPORT_RESTART;
    app.InitInstance();
    const std::wstring first = app.restart_command_line();
    // "/RestartId:{8-4-4-4-12}" after the process's own argument text.
    const std::wstring args(ArgumentText(GetCommandLineW()));
    ASSERT_TRUE(first.starts_with(args)) << "command line: " << first.size();
    const std::size_t tag = first.find(L"/RestartId:{");
    ASSERT_NE(tag, std::wstring::npos);
    EXPECT_EQ(first.size() - tag, std::wstring(L"/RestartId:").size() + 38);
    EXPECT_EQ(first.back(), L'}');

    app.InitInstance();
    EXPECT_NE(app.restart_command_line(), first) << "each registration makes a new identifier";
}

TEST_F(AppFixture, NoRestartRegistrationWithoutTheFlag) {
    app.restart_flags = 0;
    app.InitInstance();
    EXPECT_TRUE(app.restart_command_line().empty());
}

TEST(CurrentApp, IsTheLiveApplicationObject) {
    CWinApp outer;
    EXPECT_EQ(CWinApp::Current(), &outer);
    {
        CWinApp inner;
        EXPECT_EQ(CWinApp::Current(), &inner);
    }
    EXPECT_EQ(CWinApp::Current(), &outer);
}

}  // namespace
}  // namespace lumo::win32
