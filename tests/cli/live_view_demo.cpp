// A scripted station for the live view on a real terminal: three units under way, then two
// finish and one more arrives, then the end and the summary. Each stage waits for a line on
// standard input (at once at its end, so into a pipe it runs straight through), which lets a
// test read the screen at each stage without racing the program. The form, the colour and the
// width come from the terminal as lumo-flash takes them.
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli/live_view.h"

namespace {

using lumo::cli::LiveTally;
using lumo::cli::LiveUnit;
using State = LiveUnit::State;

LiveUnit Unit(const char* id, const char* port, unsigned percent, State state) {
    LiveUnit u;
    u.id = id;
    u.port = port;
    u.serial = id;
    u.state = state;
    u.blocks = 988;
    u.block = percent * 988 / 100;
    u.percent = percent;
    u.elapsed_ms = percent * 100;
    u.left_ms = (100 - percent) * 100;
    return u;
}

// The terminal's width and height; 80x0 (height not known) when it tells none.
winsize Size() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return {0, 80, 0, 0};
    return size;
}

// Keys typed to move on must not echo: the echo would move the cursor under the live area.
class NoEcho {
  public:
    NoEcho() : active_(tcgetattr(STDIN_FILENO, &saved_) == 0) {
        if (!active_) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    ~NoEcho() {
        if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }

  private:
    termios saved_{};
    bool active_;
};

void NextStage() {
    std::string line;
    std::getline(std::cin, line);
}

}  // namespace

int main() {
    using namespace lumo::cli;
    NoEcho no_echo;
    const OutputForm form = ChooseOutputForm(FactsFromEnvironment(isatty(STDOUT_FILENO), false));
    std::cout << "live view demo: 3 units" << std::endl;
    const winsize size = Size();
    LiveView view(std::cout, form, size.ws_col, size.ws_row);

    view.Update({Unit("M8V-000101", "1-2.1", 25, State::kStreaming),
                 Unit("M8V-000103", "1-2.3", 0, State::kPausing),
                 Unit("M8V-000102", "1-2.2", 60, State::kStreaming)},
                {0, 0, 3, std::nullopt, std::nullopt}, 0);
    NextStage();

    view.PrintResult({"M8V-000102", "1-2.2", "M8V-000102", true, "updated", "", 11600});
    view.PrintResult({"M8V-000101", "1-2.1", "M8V-000101", false, "failed (needs the update again)",
                      "write-failed", 4200});
    view.Update({Unit("M8V-000103", "1-2.3", 40, State::kStreaming),
                 Unit("M8V-000104", "1-2.4", 0, State::kFound)},
                {1, 1, 2, 240.0, 0.5}, 1000);
    NextStage();

    view.PrintResult({"M8V-000103", "1-2.3", "M8V-000103", true, "updated", "", 11700});
    view.PrintResult({"M8V-000104", "1-2.4", "M8V-000104", true, "updated", "", 11500});
    view.Update({}, {3, 1, 0, 480.0, 0.75}, 2000);
    view.Close();
    PrintSummary(std::cout,
                 {"Station ended",
                  3,
                  1,
                  {{"M8V-000101", "1-2.1", "M8V-000101", "write-failed", true}},
                  30000},
                 view.colour());
    return 0;
}
