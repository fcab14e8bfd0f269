// The live view of several units on a terminal (lumo-flash --all and --station): one line per
// running unit at the bottom of the screen, redrawn in place under a tally line, while each
// finished unit prints its result line above, so that the scrollback is the station's history.
// Also what decides between the live view and plain lines, and the closing summary that both
// forms print.
//
// The view has input types of its own: the run fills a LiveUnit per running unit and a
// LiveTally, and calls Update on every timer tick; the view decides when to draw. It writes
// only the lines that changed, with cursor-up, carriage return and erase-to-end-of-line, so the
// screen never flickers; it never clears the screen. Whatever else goes to the terminal while
// the view is open must go through PrintAbove, or the view's idea of where its lines are is
// wrong.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumo::cli {

// One running unit as its live line shows it.
struct LiveUnit {
    enum class State {
        kFound,      // opened, the update not started yet
        kPausing,    // waiting out one of the tool's fixed pauses
        kStreaming,  // data reports going out
        kSuspended,  // unplugged mid-update, waiting for it to come back
        kResumed,    // back after an unplug, the stream going on from its saved block
        kDone,       // every report written
        kFailed,     // the update ended without success
    };
    std::string id;      // what --device takes
    std::string port;    // USB port chain; empty when unknown
    std::string serial;  // empty when unknown
    State state = State::kFound;
    std::uint32_t block = 0;   // data reports written so far
    std::uint32_t blocks = 0;  // data reports of the whole update; 0 before its start
    unsigned percent = 0;
    std::uint64_t elapsed_ms = 0;
    std::optional<std::uint64_t> left_ms;  // none while it cannot be told (unplugged)
    std::string reason;                    // why it failed
};

// The word a live line shows for a state; the same with colour or without.
std::string_view StateWord(LiveUnit::State state);

// The station's figures so far, on the line above the units.
struct LiveTally {
    unsigned updated = 0;
    unsigned failed = 0;
    unsigned running = 0;
    std::optional<double> units_per_hour;    // none until it means something
    std::optional<double> first_pass_yield;  // 0..1; none before the first unit ended
};

// Units finished per hour over `elapsed_ms`; none before any time has passed.
std::optional<double> UnitsPerHour(unsigned units, std::uint64_t elapsed_ms);

// A finished unit, for its result line.
struct LiveResult {
    std::string id, port, serial;  // port and serial empty when unknown
    bool updated = false;          // success; colours the outcome where colour is on
    std::string outcome;           // in words: "updated", "failed (needs the update again)"
    std::string reason;            // why it failed; empty on success
    std::uint64_t duration_ms = 0;
};

// "[ID] OUTCOME, mm:ss, port P, serial S" and "; reason: R" when one is given. Control bytes in
// names (which come from the device) are shown as '?'.
std::string ResultLine(const LiveResult& result, bool colour);

// How lumo-flash shows several units: the live view with or without colour, or plain lines
// (no escape sequence at all).
enum class OutputForm { kLiveColour, kLive, kPlain };

// What the platform tells about standard output.
struct TerminalFacts {
    bool is_terminal = false;             // a terminal, or on Windows a console
    std::optional<std::string> term;      // TERM; none when unset
    std::optional<std::string> no_color;  // NO_COLOR; none when unset
    bool json = false;                    // --json: lines for a program, never the live view
    // Windows only: whether the console took virtual-terminal processing. Windows consoles set
    // no TERM, so there this decides instead.
    std::optional<bool> windows_vt;
};

OutputForm ChooseOutputForm(const TerminalFacts& facts);

// TERM and NO_COLOR from the environment, with the facts the caller gives.
TerminalFacts FactsFromEnvironment(bool is_terminal, bool json,
                                   std::optional<bool> windows_vt = std::nullopt);

class LiveView {
  public:
    // `columns`, `rows`: the terminal's size (rows 0: not known). In plain form the view draws
    // nothing: only the lines given to PrintAbove and PrintResult come out, as they are, so the run
    // has one way to report whatever the form.
    LiveView(std::ostream& out, OutputForm form, int columns, int rows = 0);
    ~LiveView();
    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;

    // Whether this view's lines may be in colour: for the summary after it.
    bool colour() const { return colour_; }

    // A new size (the terminal was resized): every line is written again at the next draw.
    void SetSize(int columns, int rows);

    // The units running now, in any order, and the tally. Call it at every tick: it keeps the
    // latest and draws at most every kRedrawMs of `now_ms` (a clock that never goes back),
    // writing only the lines that changed since the last draw.
    void Update(std::vector<LiveUnit> units, const LiveTally& tally, std::uint64_t now_ms);

    // A line above the live area (a finished unit's result line, a notice), at once; the live
    // area is drawn again under it with the latest units.
    void PrintAbove(std::string_view line);
    // A finished unit's result line, above the live area, which no longer shows that unit.
    void PrintResult(const LiveResult& result);

    // Removes the live area and leaves the cursor at the start of the line where it began, for
    // the summary. The view draws nothing after it.
    void Close();

    static constexpr std::uint64_t kRedrawMs = 100;

  private:
    // Writes the rows that differ from the screen's; false when none did.
    bool Draw();
    std::vector<std::string> RenderRows() const;
    // The cursor movement from the line under the area to its top row.
    std::string MoveToTop() const;

    std::ostream& out_;
    bool colour_;
    int columns_;
    int rows_;
    bool closed_;                  // from the start in plain form
    std::vector<LiveUnit> units_;  // the latest, sorted
    LiveTally tally_;
    std::vector<std::string> drawn_;  // the rows on the screen, top down; the cursor below them
    std::optional<std::uint64_t> last_draw_ms_;  // none before the first draw
};

// The order of the live lines: by port (numbers in it compared as numbers), then by ID; units
// with no known port last.
bool LiveOrder(const LiveUnit& a, const LiveUnit& b);

// One failed unit in the closing summary.
struct FailedUnit {
    std::string id, port, serial, reason;
    bool still_plugged = false;  // a station does not take it again until it is replugged
};

// The closing summary of --all and of a station, in both forms.
struct RunSummary {
    std::string heading;  // "Station ended", "All units"
    unsigned updated = 0;
    unsigned failed = 0;
    std::vector<FailedUnit> failures;
    std::uint64_t duration_ms = 0;
};

void PrintSummary(std::ostream& out, const RunSummary& summary, bool colour);

}  // namespace lumo::cli
