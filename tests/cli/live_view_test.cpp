// The live view of several units, read back from a model of the terminal's screen: what a person
// sees after each draw, and which bytes each draw costs.
#include "cli/live_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/terminal_model.h"

namespace lumo::cli {
namespace {

using testing::TerminalModel;
using State = LiveUnit::State;

LiveUnit Unit(std::string id, std::string port, std::string serial, unsigned percent,
              State state = State::kStreaming) {
    LiveUnit u;
    u.id = std::move(id);
    u.port = std::move(port);
    u.serial = std::move(serial);
    u.state = state;
    u.blocks = 988;
    u.block = percent * 988 / 100;
    u.percent = percent;
    u.elapsed_ms = percent * 100;
    u.left_ms = (100 - percent) * 100;
    return u;
}

std::vector<LiveUnit> ThreeUnits(unsigned a = 10, unsigned b = 50, unsigned c = 90) {
    // Listed out of port order: the view sorts them.
    return {Unit("M8V-000110", "1-2.10", "M8V-000110", c),
            Unit("M8V-000103", "1-2.3", "M8V-000103", a),
            Unit("M8V-000109", "1-2.9", "M8V-000109", b)};
}

LiveTally Tally(unsigned updated = 1, unsigned failed = 0, unsigned running = 3) {
    return {updated, failed, running, 42.5, 1.0};
}

std::size_t Count(const std::string& s, std::string_view what) {
    std::size_t n = 0;
    for (std::size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
    return n;
}

bool Contains(const std::string& s, std::string_view what) {
    return s.find(what) != std::string::npos;
}

// A terminal of rows x cols with a few lines already on it, and a view writing to it.
class Screen {
  public:
    explicit Screen(int cols = 100, int rows = 30, OutputForm form = OutputForm::kLive)
        : term(rows, cols), view(out, form, cols, rows) {
        Take("$ lumo-flash\n\r");
    }

    // The bytes written since the last call, fed to the terminal.
    std::string Take(std::string_view also = "") {
        std::string bytes = out.str() + std::string(also);
        out.str("");
        term.Feed(bytes);
        return bytes;
    }
    std::string Update(std::vector<LiveUnit> units, const LiveTally& tally, std::uint64_t now) {
        view.Update(std::move(units), tally, now);
        return Take();
    }

    std::ostringstream out;
    TerminalModel term;
    LiveView view;
};

// The screen's rows that name `id`.
std::vector<std::string> RowsWith(const TerminalModel& term, std::string_view id) {
    std::vector<std::string> rows;
    for (const std::string& r : term.Screen()) {
        if (Contains(r, id)) rows.push_back(r);
    }
    return rows;
}

TEST(LiveView, ThreeUnitsEachOnItsOwnLineByPortUnderTheTally) {
    Screen s;
    s.Update(ThreeUnits(10, 50, 90), Tally(), 0);
    EXPECT_EQ(s.term.unknown, std::vector<std::string>{});
    const std::vector<std::string> text = s.term.Text();
    ASSERT_EQ(text.size(), 5u) << ::testing::PrintToString(text);
    EXPECT_EQ(text[0], "$ lumo-flash");
    EXPECT_EQ(text[1], "1 updated, 0 failed, 3 running, 42.5 units/h, first-pass yield 100%");
    const struct {
        const char* id;
        const char* port;
        const char* percent;
        const char* blocks;
    } rows[] = {{"M8V-000103", "1-2.3 ", " 10% ", " 98/988 "},
                {"M8V-000109", "1-2.9 ", " 50% ", "494/988 "},
                {"M8V-000110", "1-2.10", " 90% ", "889/988 "}};
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string& row = text[2 + i];
        SCOPED_TRACE(row);
        EXPECT_EQ(
            row.rfind(std::string("[") + rows[i].id + "] " + rows[i].port + " " + rows[i].id, 0),
            0u);
        EXPECT_TRUE(Contains(row, "streaming"));
        EXPECT_TRUE(Contains(row, rows[i].percent));
        EXPECT_TRUE(Contains(row, rows[i].blocks));
        EXPECT_TRUE(Contains(row, " left"));
    }
    // The percent sits in the same column on every line.
    EXPECT_EQ(text[2].find('%'), text[4].find('%'));
    EXPECT_EQ(s.term.row(), 5);  // the cursor rests on the line under the area
    EXPECT_EQ(s.term.wraps, 0);
}

TEST(LiveView, EachStateHasItsWordAndAFailureItsReason) {
    const State states[] = {State::kFound,   State::kPausing, State::kStreaming, State::kSuspended,
                            State::kResumed, State::kDone,    State::kFailed};
    std::vector<LiveUnit> units;
    for (State st : states) {
        units.push_back(Unit("U" + std::to_string(units.size()),
                             "1-" + std::to_string(units.size()), "", 30, st));
    }
    units.back().reason = "write-failed";
    units[3].left_ms.reset();
    Screen s;
    s.Update(units, Tally(0, 0, 7), 0);
    const std::vector<std::string> text = s.term.Text();
    ASSERT_EQ(text.size(), 9u);
    const char* words[] = {"found",   "pausing", "streaming", "unplugged",
                           "resumed", "done",    "failed"};
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_TRUE(Contains(text[2 + i], std::string("  ") + words[i] + " ")) << text[2 + i];
    }
    EXPECT_TRUE(Contains(text[5], "--:-- left")) << text[5];
    EXPECT_TRUE(Contains(text[8], "write-failed")) << text[8];
    EXPECT_FALSE(Contains(text[8], " left")) << text[8];
}

// `line` in rows of `cols` code points.
std::vector<std::string> Wrapped(const std::string& line, int cols) {
    std::vector<std::string> rows(1);
    int n = 0;
    for (char c : line) {
        const bool starts = (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        if (starts && n++ == cols) {
            rows.emplace_back();
            n = 1;
        }
        rows.back() += c;
    }
    return rows;
}

TEST(LiveView, ResultLinesScrollAboveAndTheLiveAreaStaysWholeBelow) {
    Screen s(100, 12);
    s.Update(ThreeUnits(), Tally(), 0);
    // 30 units finish, one after another, while three keep running: the screen of 12 rows
    // scrolls, and what scrolls away is the history, never a live line.
    std::vector<std::string> results;
    for (int i = 0; i < 30; ++i) {
        LiveResult r{"M8V-9" + std::to_string(i),
                     "1-4",
                     "M8V-9" + std::to_string(i),
                     i % 3 != 0,
                     i % 3 ? "updated" : "failed (needs the update again)",
                     i % 3 ? "" : "Error\xEF\xBC\x8CPlease try again!",
                     11600};
        results.push_back(ResultLine(r, false));
        s.view.PrintAbove(results.back());
        s.Take();
        s.Update(ThreeUnits(10 + i, 50, 90), Tally(1 + i, 0, 3), 200 * (i + 1));
    }
    EXPECT_EQ(results[0],
              "[M8V-90] failed (needs the update again), 00:12, port 1-4, serial M8V-90; reason: "
              "Error\xEF\xBC\x8CPlease try again!");
    EXPECT_EQ(results[1], "[M8V-91] updated, 00:12, port 1-4, serial M8V-91");
    EXPECT_EQ(s.term.unknown, std::vector<std::string>{});

    // The history as the terminal shows it: lines longer than the screen wrap.
    std::vector<std::string> expected = {"$ lumo-flash"};
    for (const std::string& r : results) {
        const std::vector<std::string> rows = Wrapped(r, 100);
        expected.insert(expected.end(), rows.begin(), rows.end());
    }
    std::vector<std::string> all = s.term.history;
    const std::vector<std::string> screen = s.term.Text();
    all.insert(all.end(), screen.begin(), screen.end());
    ASSERT_EQ(all.size(), expected.size() + 4) << ::testing::PrintToString(all);
    ASSERT_EQ(std::vector<std::string>(all.begin(), all.begin() + expected.size()), expected);
    const std::size_t area = expected.size();
    EXPECT_TRUE(Contains(all[area], "30 updated"));
    EXPECT_TRUE(Contains(all[area + 1], "M8V-000103") && Contains(all[area + 1], " 39% "));
    EXPECT_TRUE(Contains(all[area + 2], "M8V-000109"));
    EXPECT_TRUE(Contains(all[area + 3], "M8V-000110"));
}

TEST(LiveView, AUnitLeavingTakesItsLineAndLeavesNoTrace) {
    Screen s;
    s.Update(ThreeUnits(), Tally(), 0);
    std::vector<LiveUnit> two = ThreeUnits();
    two.erase(two.begin() + 2);  // M8V-000109, the middle line
    s.view.PrintAbove(
        ResultLine({"M8V-000109", "1-2.9", "M8V-000109", true, "updated", "", 9000}, false));
    s.Take();
    const std::vector<std::string> text = s.term.Text();
    ASSERT_EQ(text.size(), 6u);  // the area drawn again at once, still with three units
    EXPECT_TRUE(Contains(text[1], "[M8V-000109] updated"));

    s.Update(two, Tally(2, 0, 2), 500);
    const std::vector<std::string> after = s.term.Text();
    ASSERT_EQ(after.size(), 5u) << ::testing::PrintToString(after);
    EXPECT_TRUE(Contains(after[3], "M8V-000103"));
    EXPECT_TRUE(Contains(after[4], "M8V-000110"));
    EXPECT_EQ(RowsWith(s.term, "streaming").size(), 2u);
    EXPECT_EQ(s.term.row(), 5);
}

TEST(LiveView, OnlyTheLinesThatChangedAreWritten) {
    Screen s;
    const std::string first = s.Update(ThreeUnits(10, 50, 90), Tally(), 0);
    EXPECT_EQ(Count(first, "\x1b[K"), 4u);  // the tally and three units

    // One unit moves: one line is written, reached from below the area and stepped past.
    const std::string one = s.Update(ThreeUnits(10, 51, 90), Tally(), 200);
    EXPECT_EQ(Count(one, "\x1b[K"), 1u);
    EXPECT_EQ(Count(one, "\x1b["), 2u) << ::testing::PrintToString(one);  // cursor up, erase
    EXPECT_EQ(one.rfind("\x1b[2A", 0), 0u);
    EXPECT_TRUE(Contains(one, "M8V-000109") && Contains(one, " 51% "));
    EXPECT_FALSE(Contains(one, "M8V-000103") || Contains(one, "M8V-000110"));
    EXPECT_LT(one.size(), first.size() / 3);
    ASSERT_EQ(RowsWith(s.term, "M8V-000109").size(), 1u);
    EXPECT_TRUE(Contains(RowsWith(s.term, "M8V-000109")[0], " 51% "));
    EXPECT_EQ(s.term.row(), 5);

    // Nothing new: nothing written at all.
    EXPECT_EQ(s.Update(ThreeUnits(10, 51, 90), Tally(), 400), "");
    // The tally alone.
    EXPECT_EQ(Count(s.Update(ThreeUnits(10, 51, 90), Tally(2, 0, 3), 600), "\x1b[K"), 1u);
    EXPECT_TRUE(Contains(s.term.Text()[1], "2 updated"));
    // The clear of the whole screen is never used, nor any erase above the area.
    EXPECT_EQ(s.term.unknown, std::vector<std::string>{});
}

TEST(LiveView, DrawsAtMostTenTimesASecondAndAlwaysTheLatest) {
    Screen s;
    int draws = 0;
    // A tick every 10 ms for 2 s, the middle unit a percent further at each.
    for (unsigned t = 0; t <= 2000; t += 10) {
        if (!s.Update(ThreeUnits(10, t / 25, 90), Tally(), t).empty()) ++draws;
    }
    EXPECT_EQ(draws, 21);  // 0, 100, ... 2000 ms
    EXPECT_TRUE(Contains(RowsWith(s.term, "M8V-000109")[0], " 80% "));

    // A change held back by the limit is drawn by the next tick that may draw, as it is then.
    EXPECT_EQ(s.Update(ThreeUnits(10, 81, 90), Tally(), 2050), "");
    EXPECT_EQ(s.Update(ThreeUnits(10, 82, 90), Tally(), 2099), "");
    EXPECT_NE(s.Update(ThreeUnits(10, 82, 90), Tally(), 2100), "");
    EXPECT_TRUE(Contains(RowsWith(s.term, "M8V-000109")[0], " 82% "));
    // No change for a while, then one: drawn at once.
    EXPECT_EQ(s.Update(ThreeUnits(10, 82, 90), Tally(), 2500), "");
    EXPECT_NE(s.Update(ThreeUnits(10, 83, 90), Tally(), 2510), "");
}

// The bar inside its brackets, or "" when the row has none.
std::string Bar(const std::string& row) {
    const std::size_t open = row.find(" [", row.find(']'));
    if (open == std::string::npos) return "";
    return row.substr(open + 2, row.find(']', open) - open - 2);
}

TEST(LiveView, NarrowTerminalsShortenTheBarFirstThenTheNamesAndNeverWrap) {
    const struct {
        int cols;
        std::size_t bar;  // inside the brackets; 0: none
        bool full_names;  // ID, port and serial whole
    } cases[] = {{104, 24, true}, {100, 22, true}, {90, 12, true}, {84, 6, true},
                 {83, 0, true},   {80, 0, true},   {75, 0, true},  {74, 0, false},
                 {60, 0, false},  {40, 0, false},  {20, 0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cols);
        Screen s(c.cols);
        s.Update(ThreeUnits(10, 50, 90), Tally(), 0);
        EXPECT_EQ(s.term.wraps, 0);
        const std::vector<std::string> text = s.term.Text();
        ASSERT_EQ(text.size(), 5u) << ::testing::PrintToString(text);
        EXPECT_LT(static_cast<int>(text[1].size()), c.cols);
        EXPECT_TRUE(Contains(text[1], "1 updated"));
        for (int i = 2; i < 5; ++i) {
            const std::string& row = text[static_cast<std::size_t>(i)];
            SCOPED_TRACE(row);
            EXPECT_LT(static_cast<int>(row.size()), c.cols);
            EXPECT_EQ(Bar(row).size(), c.bar);
            const bool full = row.rfind("[M8V-0001", 0) == 0 && Count(row, "M8V-0001") == 2;
            EXPECT_EQ(full, c.full_names);
            if (c.cols >= 40) {
                // Whatever is cut, the line still tells which unit, in what state, how far.
                const char* tail = i == 2 ? "03]" : i == 3 ? "09]" : "10]";
                EXPECT_TRUE(Contains(row, tail));
                EXPECT_TRUE(Contains(row, "streaming"));
                EXPECT_TRUE(Contains(row, i == 2 ? "10%" : i == 3 ? "50%" : "90%"));
            }
        }
    }
}

// More units than the screen has rows: the cursor could not reach rows scrolled away, so the
// area stays within the screen and the rest are counted.
TEST(LiveView, MoreUnitsThanRowsKeepTheAreaOnTheScreen) {
    std::vector<LiveUnit> units;
    for (int i = 1; i <= 12; ++i) {
        units.push_back(Unit("U" + std::to_string(i), "1-" + std::to_string(i), "", 0));
    }
    Screen s(100, 8);
    for (unsigned t = 0; t < 5; ++t) {
        for (LiveUnit& u : units) u.percent = t * 10;
        s.Update(units, Tally(0, 0, 12), t * 100);
        s.view.PrintResult({"X" + std::to_string(t), "", "", true, "updated", "", 1000});
        s.Take();
    }
    EXPECT_EQ(s.term.unknown, std::vector<std::string>{});
    // The area fills the screen but for the cursor's row under it.
    const std::vector<std::string> screen = s.term.Screen();
    EXPECT_TRUE(Contains(screen[0], "0 updated, 0 failed, 12 running")) << screen[0];
    for (std::size_t r = 1; r <= 5; ++r) {
        EXPECT_EQ(screen[r].rfind("[U" + std::to_string(r) + "]", 0), 0u) << screen[r];
        EXPECT_TRUE(Contains(screen[r], " 40% ")) << screen[r];
    }
    EXPECT_EQ(screen[6], "+7 more running");
    EXPECT_EQ(screen[7], "");
    // Scrolled away: the lines above the area and nothing else.
    EXPECT_EQ(
        s.term.history,
        (std::vector<std::string>{
            "$ lumo-flash", "[X0] updated, 00:01, port -, serial -",
            "[X1] updated, 00:01, port -, serial -", "[X2] updated, 00:01, port -, serial -",
            "[X3] updated, 00:01, port -, serial -", "[X4] updated, 00:01, port -, serial -"}));
}

TEST(LiveView, ANewWidthRewritesEveryLine) {
    Screen s(100);
    s.Update(ThreeUnits(), Tally(), 0);
    s.view.SetSize(60, 30);
    s.term = TerminalModel(30, 60);  // the terminal after the resize, as the view sees it
    s.term.Feed(std::string(5, '\n'));
    const std::string bytes = s.Update(ThreeUnits(), Tally(), 100);
    EXPECT_EQ(Count(bytes, "\x1b[K"), 4u);
    for (const std::string& row : s.term.Text()) EXPECT_LT(row.size(), 60u) << row;
}

TEST(LiveView, CloseRemovesTheAreaAndLeavesTheCursorWhereItBegan) {
    Screen s;
    s.Update(ThreeUnits(), Tally(), 0);
    s.view.Close();
    s.Take("Station ended\n");
    EXPECT_EQ(s.term.Text(), (std::vector<std::string>{"$ lumo-flash", "Station ended"}));
    // Closed: nothing more from the view but lines printed as they come.
    EXPECT_EQ(s.Update(ThreeUnits(), Tally(), 1000), "");
    s.view.PrintAbove("late");
    EXPECT_EQ(s.Take(), "late\n");
}

TEST(LiveView, ColourOnlyWhenAllowedAndNeverAlone) {
    for (bool colour : {false, true}) {
        SCOPED_TRACE(colour);
        Screen s(100, 30, colour ? OutputForm::kLiveColour : OutputForm::kLive);
        std::vector<LiveUnit> units = ThreeUnits();
        units[0].state = State::kFailed;
        units[1].state = State::kDone;
        s.Update(units, Tally(1, 1, 3), 0);
        s.view.PrintResult({"M8V-1", "1-1", "", false, "failed", "write-failed", 1});
        s.Take();
        EXPECT_EQ(s.term.colour_sequences > 0, colour);
        EXPECT_EQ(s.term.unknown, std::vector<std::string>{});
        // The words are there either way.
        const std::vector<std::string> text = s.term.Text();
        EXPECT_EQ(text[1], "[M8V-1] failed, 00:00, port 1-1, serial -; reason: write-failed");
        EXPECT_TRUE(Contains(text[2], "1 failed"));
        EXPECT_EQ(RowsWith(s.term, " failed ").size(), 1u);
        EXPECT_EQ(RowsWith(s.term, " done ").size(), 1u);
    }
}

// Serials come from the device: whatever bytes they hold, the screen only ever gets text.
TEST(LiveView, ControlBytesInNamesNeverReachTheTerminal) {
    Screen s;
    std::vector<LiveUnit> units = ThreeUnits();
    units[0].serial = "\x1b[2J\x1b[H\rX\n";
    units[1].id = "caf\xC3\xA9";
    units[2].reason = "\x1b]0;title\x07";
    units[2].state = State::kFailed;
    s.Update(units, Tally(), 0);
    s.view.PrintAbove(
        ResultLine({"\x1b[31mM8V", "\n", "\t", false, "failed", "\x1b[2J", 0}, false));
    s.Take();
    EXPECT_EQ(s.term.unknown, std::vector<std::string>{});
    EXPECT_EQ(s.term.colour_sequences, 0);
    EXPECT_EQ(s.term.wraps, 0);
    EXPECT_EQ(s.term.Text().size(), 6u);
    EXPECT_EQ(RowsWith(s.term, "[caf?]").size(), 1u);
}

TEST(LiveOrder, ByPortWithItsNumbersAsNumbersThenByIdAndUnknownPortsLast) {
    std::vector<LiveUnit> units = {Unit("b", "", "", 0),     Unit("z", "1-2.10", "", 0),
                                   Unit("a", "", "", 0),     Unit("y", "1-2.9", "", 0),
                                   Unit("x", "2-1", "", 0),  Unit("w", "1-2.9", "", 0),
                                   Unit("v", "1-10", "", 0), Unit("u", "1-2", "", 0)};
    std::sort(units.begin(), units.end(), LiveOrder);
    std::string order;
    for (const LiveUnit& u : units) order += u.id;
    EXPECT_EQ(order, "uwyzvxab");
}

TEST(ChooseOutputForm, LiveOnlyOnATerminalThatTakesItColourUnlessNoColor) {
    using F = OutputForm;
    const std::optional<std::string> unset;
    const struct {
        const char* what;
        TerminalFacts facts;
        OutputForm form;
    } cases[] = {
        {"a terminal", {true, "xterm-256color", unset, false, {}}, F::kLiveColour},
        {"a pipe", {false, "xterm-256color", unset, false, {}}, F::kPlain},
        {"--json on a terminal", {true, "xterm", unset, true, {}}, F::kPlain},
        {"TERM unset", {true, unset, unset, false, {}}, F::kPlain},
        {"TERM empty", {true, "", unset, false, {}}, F::kPlain},
        {"TERM=dumb", {true, "dumb", unset, false, {}}, F::kPlain},
        {"NO_COLOR=1", {true, "xterm", "1", false, {}}, F::kLive},
        {"NO_COLOR empty", {true, "xterm", "", false, {}}, F::kLiveColour},
        {"NO_COLOR into a pipe", {false, "xterm", "1", false, {}}, F::kPlain},
        {"Windows console with VT", {true, unset, unset, false, true}, F::kLiveColour},
        {"Windows console with VT, NO_COLOR", {true, unset, "1", false, true}, F::kLive},
        {"Windows console without VT", {true, "xterm", unset, false, false}, F::kPlain},
        {"Windows console, TERM=dumb", {true, "dumb", unset, false, true}, F::kPlain},
        {"Windows, redirected", {false, unset, unset, false, true}, F::kPlain},
        {"Windows console, --json", {true, unset, unset, true, true}, F::kPlain},
    };
    for (const auto& c : cases) EXPECT_EQ(ChooseOutputForm(c.facts), c.form) << c.what;
}

// The same run in each form, from the facts the platform gives to the bytes written.
TEST(ChooseOutputForm, ThePlainFormHasNoEscapeAndNoColorNoColour) {
    const std::optional<std::string> unset;
    const struct {
        const char* what;
        TerminalFacts facts;
        bool live, colour;
    } cases[] = {
        {"a terminal", {true, "xterm", unset, false, {}}, true, true},
        {"NO_COLOR=1", {true, "xterm", "1", false, {}}, true, false},
        {"a pipe", {false, "xterm", unset, false, {}}, false, false},
        {"TERM=dumb", {true, "dumb", unset, false, {}}, false, false},
        {"an old Windows console", {true, unset, unset, false, false}, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::ostringstream out;
        LiveView view(out, ChooseOutputForm(c.facts), 100);
        std::vector<LiveUnit> units = ThreeUnits();
        units[0].state = State::kFailed;
        view.Update(units, Tally(0, 1, 3), 0);
        view.PrintResult(
            {"M8V-000110", "1-2.10", "M8V-000110", false, "failed", "write-failed", 9000});
        view.Update(ThreeUnits(20, 60, 90), Tally(0, 1, 2), 500);
        view.PrintAbove("lumo-flash: a notice");
        view.Close();
        PrintSummary(
            out, {"All units", 2, 1, {{"M8V-000110", "1-2.10", "", "write-failed", true}}, 12000},
            view.colour());
        const std::string bytes = out.str();
        EXPECT_EQ(Contains(bytes, "\x1b[K"), c.live);
        EXPECT_EQ(Contains(bytes, "\x1b[0m"), c.colour);  // every colour ends with a reset
        if (!c.live) {
            EXPECT_EQ(
                bytes,
                "[M8V-000110] failed, 00:09, port 1-2.10, serial M8V-000110; reason: write-failed\n"
                "lumo-flash: a notice\n"
                "All units: 2 updated, 1 failed in 00:12 (900.0 units/h)\n"
                "  failed: [M8V-000110] port 1-2.10, serial -: write-failed\n"
                "1 failed unit is still plugged in and will not be retried until replugged: "
                "[M8V-000110]\n");
        }
    }
}

TEST(Summary, CountsFailuresWithWhereAndWhyAndWhatStaysPluggedIn) {
    for (bool colour : {false, true}) {
        SCOPED_TRACE(colour);
        RunSummary summary{"Station ended",
                           10,
                           2,
                           {{"M8V-000303", "1-3", "M8V-000303", "write-failed", true},
                            {"1-4", "1-4", "", "busy: another program is updating it", false}},
                           12 * 60 * 1000};
        std::ostringstream out;
        PrintSummary(out, summary, colour);
        TerminalModel term(30, 100, /*onlcr=*/true);  // plain lines, through the tty
        term.Feed(out.str());
        EXPECT_EQ(term.unknown, std::vector<std::string>{});
        EXPECT_EQ(term.colour_sequences > 0, colour);
        EXPECT_EQ(term.Text(),
                  (std::vector<std::string>{
                      "Station ended: 10 updated, 2 failed in 12:00 (60.0 units/h)",
                      "  failed: [M8V-000303] port 1-3, serial M8V-000303: write-failed",
                      "  failed: [1-4] port 1-4, serial -: busy: another program is updating it",
                      "1 failed unit is still plugged in and will not be retried until replugged: "
                      "[M8V-000303]"}));
    }
}

TEST(Summary, AnAllRunWithEveryUnitUpdatedAndALongStation) {
    const struct {
        RunSummary summary;
        const char* text;
    } cases[] = {
        {{"All units", 3, 0, {}, 12'400},
         "All units: 3 updated, 0 failed in 00:12 (871.0 units/h)\n"},
        {{"Station ended", 0, 0, {}, 0},
         "Station ended: 0 updated, 0 failed in 00:00 (-- units/h)\n"},
        {{"Station ended", 150, 0, {}, 3 * 3'600'000 + 61'000},
         "Station ended: 150 updated, 0 failed in 3:01:01 (49.7 units/h)\n"},
    };
    for (const auto& c : cases) {
        std::ostringstream out;
        PrintSummary(out, c.summary, false);
        EXPECT_EQ(out.str(), c.text);
    }
}

}  // namespace
}  // namespace lumo::cli
