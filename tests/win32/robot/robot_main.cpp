// lumo_robot: plays a script of user steps against Lumo_Tool.exe and checks what the
// tool shows. Usage:
//
//   lumo_robot TOOL.exe SCRIPT
//
// SCRIPT is UTF-8 text, one step a line, words separated by blanks, "quoted" when they hold
// blanks, # starts a comment. Steps:
//
//   start                       start TOOL.exe
//   within MS                   the wait limit of the steps that follow (10000 at first)
//   window "TITLE"              wait for the tool's window with this title
//   text ID "TEXT"              wait until control ID shows TEXT
//   enabled ID yes|no           wait until control ID is enabled (or disabled)
//   click ID                    click the button ID
//   box "CAPTION" "TEXT" icon|noicon   wait for a message box of the tool and check it
//   anybox                      wait for a message box of the tool, whatever it says
//   nobox MS                    no message box shows for MS milliseconds
//   default ok|yes|no           the open box's default button (what Enter presses)
//   press ok|yes|no             press that button of the open box; it must go away
//   close                       close the window with the title bar's close button
//   exits                       wait until the tool has ended
//   stays MS                    the tool is still running after MS milliseconds
//   sleep MS                    wait
//   usage                       print the tool's handle count and working set
//
// Every step prints what it saw. The exit code is 0 when every step passed, 1 at the first
// failed step (the tool is then ended), 2 for a bad script.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/win32/robot/robot.h"

namespace {

using lumo::robot::Box;
using lumo::robot::Robot;

std::wstring Wide(const std::string& text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

// Splits a script line into words; "quoted words" keep their blanks.
std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r') {
            ++i;
        } else if (line[i] == '#') {
            break;
        } else if (line[i] == '"') {
            const std::size_t end = line.find('"', i + 1);
            words.push_back(line.substr(i + 1, end == std::string::npos ? end : end - i - 1));
            i = end == std::string::npos ? line.size() : end + 1;
        } else {
            std::size_t end = i;
            while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r')
                ++end;
            words.push_back(line.substr(i, end - i));
            i = end;
        }
    }
    return words;
}

std::optional<long> Number(const std::string& word) {
    char* end = nullptr;
    const long value = std::strtol(word.c_str(), &end, 10);
    if (word.empty() || *end != '\0') return std::nullopt;
    return value;
}

void Say(const char* format, const std::string& a = {}, const std::string& b = {}) {
    std::printf(format, a.c_str(), b.c_str());
    std::fflush(stdout);
}

std::string Describe(const Box& box) {
    std::string buttons;
    // Appended piece by piece: "literal" + std::string trips a false -Wrestrict in the i686
    // build's GCC 12 at -O3.
    for (const std::wstring& b : box.buttons) {
        if (!buttons.empty()) buttons += ',';
        buttons += Utf8(b);
    }
    return "caption \"" + Utf8(box.caption) + "\" text \"" + Utf8(box.text) + "\" " +
           (box.icon ? "icon" : "noicon") + " buttons [" + buttons + "] default " +
           std::to_string(box.default_id);
}

// IDOK, IDYES or IDNO; 0 for any other word.
int ButtonId(const std::string& word) {
    return word == "ok" ? IDOK : word == "yes" ? IDYES : word == "no" ? IDNO : 0;
}

class Player {
public:
    explicit Player(std::wstring tool) : tool_(std::move(tool)) {}

    // 0 passed, 1 failed, 2 the step is malformed.
    int Step(const std::vector<std::string>& w) {
        const std::string& op = w[0];
        const std::size_t n = w.size();
        const DWORD limit = limit_ms_;
        if (op == "start" && n == 1) {
            if (!robot_.Launch(tool_)) return Fail("the tool could not be started");
            return Pass("started the tool");
        }
        if (op == "within" && n == 2 && Number(w[1])) {
            limit_ms_ = static_cast<DWORD>(*Number(w[1]));
            return 0;
        }
        if (op == "sleep" && n == 2 && Number(w[1])) {
            Sleep(static_cast<DWORD>(*Number(w[1])));
            return 0;
        }
        if (op == "window" && n == 2) {
            if (robot_.WaitForWindow(Wide(w[1]), limit) == nullptr)
                return Fail("no window \"%s\"", w[1]);
            return Pass("window \"%s\"", w[1]);
        }
        if (op == "text" && n == 3 && Number(w[1])) {
            std::wstring last;
            if (!robot_.WaitForText(static_cast<int>(*Number(w[1])), Wide(w[2]), limit, &last))
                return Fail("control %s shows \"%s\"", w[1], Utf8(last));
            return Pass("control %s shows \"%s\"", w[1], w[2]);
        }
        if (op == "enabled" && n == 3 && Number(w[1]) && (w[2] == "yes" || w[2] == "no")) {
            const int id = static_cast<int>(*Number(w[1]));
            const bool want = w[2] == "yes";
            const ULONGLONG end = GetTickCount64() + limit;
            std::optional<bool> is;
            while ((is = robot_.ControlEnabled(id)) != want && GetTickCount64() < end)
                Sleep(20);
            if (is != want) return Fail("control %s enabled is not %s", w[1], w[2]);
            return Pass("control %s enabled %s", w[1], w[2]);
        }
        if (op == "click" && n == 2 && Number(w[1])) {
            if (!robot_.Click(static_cast<int>(*Number(w[1]))))
                return Fail("cannot click %s", w[1]);
            return Pass("clicked %s", w[1]);
        }
        if (op == "box" && n == 4 && (w[3] == "icon" || w[3] == "noicon")) {
            box_ = robot_.WaitForBox(limit);
            if (!box_) return Fail("no message box shows");
            const std::string seen = Describe(*box_);
            if (box_->caption != Wide(w[1]) || box_->text != Wide(w[2]) ||
                box_->icon != (w[3] == "icon")) {
                return Fail("box %s", seen);
            }
            return Pass("box %s", seen);
        }
        if (op == "anybox" && n == 1) {
            box_ = robot_.WaitForBox(limit);
            if (!box_) return Fail("no message box shows");
            return Pass("box %s", Describe(*box_));
        }
        if (op == "usage" && n == 1) {
            const auto u = robot_.ToolUsage();
            if (!u) return Fail("the tool's handles and memory cannot be read");
            return Pass("usage handles %s working set %s KiB", std::to_string(u->handles),
                        std::to_string(u->working_set / 1024));
        }
        if (op == "nobox" && n == 2 && Number(w[1])) {
            const std::optional<Box> box = robot_.WaitForBox(static_cast<DWORD>(*Number(w[1])));
            if (box) return Fail("a box shows: %s", Describe(*box));
            return Pass("no box for %s ms", w[1]);
        }
        if (op == "default" && n == 2 && ButtonId(w[1])) {
            if (!box_) box_ = robot_.CurrentBox();
            if (!box_) return Fail("no box to look at");
            if (box_->default_id != ButtonId(w[1]))
                return Fail("the default button is %s", std::to_string(box_->default_id));
            return Pass("the default button is %s", w[1]);
        }
        if (op == "press" && n == 2 && ButtonId(w[1])) {
            if (!box_) box_ = robot_.CurrentBox();
            if (!box_) return Fail("no box to press %s in", w[1]);
            const int id = ButtonId(w[1]);
            const bool gone = robot_.Press(*box_, id, limit);
            box_.reset();
            if (!gone) return Fail("the box stays after pressing %s", w[1]);
            return Pass("pressed %s", w[1]);
        }
        if (op == "close" && n == 1) {
            if (!robot_.Close()) return Fail("cannot close the window");
            return Pass("asked the window to close");
        }
        if (op == "exits" && n == 1) {
            if (!robot_.WaitForExit(limit)) return Fail("the tool is still running");
            return Pass("the tool has ended");
        }
        if (op == "stays" && n == 2 && Number(w[1])) {
            if (robot_.WaitForExit(static_cast<DWORD>(*Number(w[1]))))
                return Fail("the tool has ended");
            return Pass("the tool still runs after %s ms", w[1]);
        }
        return 2;
    }

private:
    int Pass(const char* format, const std::string& a = {}, const std::string& b = {}) {
        Say("  ok    ");
        Say(format, a, b);
        Say("\n");
        return 0;
    }
    int Fail(const char* format, const std::string& a = {}, const std::string& b = {}) {
        Say("  FAIL  ");
        Say(format, a, b);
        Say("\n");
        return 1;
    }

    std::wstring tool_;
    Robot robot_;
    DWORD limit_ms_ = 10000;
    std::optional<Box> box_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: lumo_robot TOOL.exe SCRIPT\n");
        return 2;
    }
    std::ifstream file(argv[2], std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read the script %s\n", Utf8(argv[2]).c_str());
        return 2;
    }
    Player player(argv[1]);
    std::string line;
    int number = 0;
    const ULONGLONG start = GetTickCount64();
    while (std::getline(file, line)) {
        ++number;
        const std::vector<std::string> words = Words(line);
        if (words.empty()) continue;
        std::printf("%6.1f s  line %d: %s\n", (GetTickCount64() - start) / 1000.0, number,
                    line.c_str());
        std::fflush(stdout);
        const int result = player.Step(words);
        if (result == 2) std::printf("  bad step\n");
        if (result != 0) return result;
    }
    std::printf("%6.1f s  all steps passed\n", (GetTickCount64() - start) / 1000.0);
    return 0;
}
