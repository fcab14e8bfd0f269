#include "cli/live_view.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ostream>

namespace lumo::cli {

namespace {

// The sequences the view writes, and nothing else: a real terminal and the Windows console
// (with virtual-terminal processing) both take them.
constexpr std::string_view kEraseLine = "\x1b[K";   // from the cursor to the end of its line
constexpr std::string_view kEraseBelow = "\x1b[J";  // from the cursor to the end of the screen
constexpr std::string_view kReset = "\x1b[0m";

// Colours (SGR parameters); each goes with a word that says the same.
constexpr const char* kGreen = "32";
constexpr const char* kRed = "31";
constexpr const char* kYellow = "33";
constexpr const char* kCyan = "36";

constexpr int kFullBar = 24;
constexpr int kMinBar = 6;         // narrower than this, the bar says too little: it goes
constexpr int kStateWidth = 9;     // the longest state word
constexpr int kMinCut = 4;         // port and serial cut no shorter than this
constexpr int kMinIdCut = 6;       // nor the ID
constexpr int kTimeWidth = 5;      // mm:ss
constexpr int kNoLimit = 1 << 30;  // lines that may wrap: they scroll away above the area

std::string CursorUp(std::size_t rows) { return "\x1b[" + std::to_string(rows) + "A"; }

// Columns a string takes: one per code point. The live lines hold printable ASCII only
// (Printable), so this is exact there.
int Width(std::string_view s) {
    int n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

// Device-given names reach the terminal as printable ASCII: a control byte in a serial must
// not move the cursor, and a wide or unknown character would make the line's width a guess.
std::string Printable(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else if ((c & 0xC0) != 0x80) {
            out += '?';  // one per code point: its continuation bytes are dropped
        }
    }
    return out;
}

// For lines that scroll away (result lines, the summary): any UTF-8 text, without control
// bytes.
std::string NoControls(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = '?';
    }
    return out;
}

// "1-3" for known, "-" for unknown names.
std::string OrDash(std::string_view s) { return s.empty() ? std::string("-") : std::string(s); }

// mm:ss, rounded to the second.
std::string MinSec(std::uint64_t ms) {
    const std::uint64_t s = (ms + 500) / 1000;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02llu:%02llu", static_cast<unsigned long long>(s / 60),
                  static_cast<unsigned long long>(s % 60));
    return buf;
}

// h:mm:ss past an hour, mm:ss before.
std::string Duration(std::uint64_t ms) {
    const std::uint64_t s = (ms + 500) / 1000;
    if (s < 3600) return MinSec(ms);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%llu:%02llu:%02llu", static_cast<unsigned long long>(s / 3600),
                  static_cast<unsigned long long>(s / 60 % 60),
                  static_cast<unsigned long long>(s % 60));
    return buf;
}

std::string PerHour(std::optional<double> units_per_hour) {
    if (!units_per_hour) return "-- units/h";
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.1f units/h", *units_per_hour);
    return buf;
}

// A line of visible text no wider than `max` columns, in colour where allowed: whatever passes
// the edge is cut, escape sequences aside.
class Line {
  public:
    Line(int max, bool colour) : max_(max), colour_(colour) {}

    Line& Add(std::string_view s, const char* sgr = nullptr) {
        const int room = max_ - width_;
        if (room <= 0 || s.empty()) return *this;
        std::size_t end = 0;
        int taken = 0;
        while (end < s.size() && taken < room) {
            ++end;
            while (end < s.size() && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) ++end;
            ++taken;
        }
        const bool paint = colour_ && sgr != nullptr;
        if (paint) text_ += std::string("\x1b[") + sgr + "m";
        text_.append(s.substr(0, end));
        if (paint) text_ += kReset;
        width_ += taken;
        return *this;
    }
    Line& Pad(int to) {
        if (to > width_) Add(std::string(static_cast<std::size_t>(to - width_), ' '));
        return *this;
    }
    int width() const { return width_; }
    const std::string& text() const { return text_; }

  private:
    int max_;
    bool colour_;
    int width_ = 0;
    std::string text_;
};

// `s` in at most `width` columns, cut at its start with '~' (the end of a serial or a port
// chain is what tells two units apart). `s` is printable ASCII.
std::string Cut(const std::string& s, int width) {
    if (static_cast<int>(s.size()) <= width) return s;
    if (width <= 0) return "";
    return "~" + s.substr(s.size() - static_cast<std::size_t>(width - 1));
}

const char* StateColour(LiveUnit::State state) {
    switch (state) {
        case LiveUnit::State::kStreaming:
        case LiveUnit::State::kResumed:
            return kCyan;
        case LiveUnit::State::kSuspended:
            return kYellow;
        case LiveUnit::State::kDone:
            return kGreen;
        case LiveUnit::State::kFailed:
            return kRed;
        case LiveUnit::State::kFound:
        case LiveUnit::State::kPausing:
            break;
    }
    return nullptr;
}

// What the unit lines show and how wide each column is; the same for every line, so that they
// stay aligned.
struct Columns {
    int id = 0;
    int port = 0;    // 0: not shown
    int serial = 0;  // 0: not shown
    int bar = 0;     // inside the brackets; 0: no bar
    int blocks = 0;  // "block/blocks"
    bool show_blocks = true;
    bool show_elapsed = true;
    bool show_left = true;
};

int NamesWidth(const Columns& c) {
    return 2 + c.id + (c.port ? 1 + c.port : 0) + (c.serial ? 1 + c.serial : 0);
}

// Everything after the names.
int RestWidth(const Columns& c) {
    return 2 + kStateWidth + 2 + 4 + (c.bar ? 3 + c.bar : 0) + (c.show_blocks ? 1 + c.blocks : 0) +
           (c.show_elapsed ? 2 + kTimeWidth : 0) + (c.show_left ? 2 + kTimeWidth + 5 : 0);
}

// Takes up to `excess` columns off `width`, down to `min`; true when nothing is left to take.
bool Shrink(int& width, int min, int& excess) {
    const int take = std::min(excess, std::max(0, width - min));
    width -= take;
    excess -= take;
    return excess <= 0;
}

// Names within `budget` columns: the serial is cut first, then the port; then the serial goes,
// then the port, and last the ID is cut.
bool FitNames(Columns& c, const Columns& full, int budget) {
    c.id = full.id;
    c.port = full.port;
    c.serial = full.serial;
    int excess = NamesWidth(c) - budget;
    if (excess <= 0) return true;
    if (Shrink(c.serial, kMinCut, excess) || Shrink(c.port, kMinCut, excess)) return true;
    c.serial = 0;
    c.port = full.port;
    excess = NamesWidth(c) - budget;
    if (excess <= 0 || Shrink(c.port, kMinCut, excess)) return true;
    c.port = 0;
    excess = NamesWidth(c) - budget;
    return excess <= 0 || Shrink(c.id, kMinIdCut, excess);
}

std::string BlocksText(const LiveUnit& u) {
    return std::to_string(u.block) + "/" + std::to_string(u.blocks);
}

// The columns for these units in `usable` columns: the bar shortens first and goes, then the
// names shorten; after that the block count, the elapsed time and the time left go, in that
// order. What still does not fit is cut at the edge.
Columns ChooseColumns(const std::vector<LiveUnit>& units, int usable) {
    Columns full;
    for (const LiveUnit& u : units) {
        full.id = std::max(full.id, Width(Printable(u.id)));
        full.port = std::max(full.port, Width(Printable(OrDash(u.port))));
        full.serial = std::max(full.serial, Width(Printable(OrDash(u.serial))));
        full.blocks = std::max(full.blocks, Width(BlocksText(u)));
    }
    Columns c = full;
    c.bar = 0;
    const int room_for_bar = usable - NamesWidth(full) - RestWidth(c) - 3;
    if (room_for_bar >= kMinBar) {
        c.bar = std::min(kFullBar, room_for_bar);
        return c;
    }
    bool* drops[] = {nullptr, &c.show_blocks, &c.show_elapsed, &c.show_left};
    for (bool* drop : drops) {
        if (drop) *drop = false;
        if (FitNames(c, full, usable - RestWidth(c))) return c;
    }
    return c;  // the ID at its shortest; the line is cut at the edge
}

std::string UnitRow(const LiveUnit& u, const Columns& c, int usable, bool colour) {
    Line line(usable, colour);
    int column = 2 + c.id;
    line.Add("[" + Cut(Printable(u.id), c.id) + "]").Pad(column);
    if (c.port) {
        line.Add(" ").Add(Cut(Printable(OrDash(u.port)), c.port)).Pad(column += 1 + c.port);
    }
    if (c.serial) {
        line.Add(" ").Add(Cut(Printable(OrDash(u.serial)), c.serial)).Pad(column += 1 + c.serial);
    }
    line.Add("  ");
    const std::string word(StateWord(u.state));
    line.Add(word, StateColour(u.state)).Add(std::string(kStateWidth - word.size(), ' '));
    char pct[16];
    std::snprintf(pct, sizeof pct, "  %3u%%", std::min(u.percent, 100u));
    line.Add(pct);
    if (c.bar) {
        const int filled = static_cast<int>(std::min(u.percent, 100u)) * c.bar / 100;
        line.Add(" [")
            .Add(std::string(static_cast<std::size_t>(filled), '#'), kGreen)
            .Add(std::string(static_cast<std::size_t>(c.bar - filled), '-'))
            .Add("]");
    }
    if (c.show_blocks) {
        const std::string blocks = BlocksText(u);
        line.Add(" ").Add(std::string(static_cast<std::size_t>(c.blocks - Width(blocks)), ' '));
        line.Add(blocks);
    }
    if (c.show_elapsed) line.Add("  ").Add(MinSec(u.elapsed_ms));
    if (u.state == LiveUnit::State::kFailed && !u.reason.empty()) {
        line.Add("  ").Add(Printable(u.reason), kRed);
    } else if (c.show_left) {
        line.Add("  ").Add(u.left_ms ? MinSec(*u.left_ms) : "--:--").Add(" left");
    }
    return line.text();
}

// Whole items only, as many as fit, in this order.
std::string TallyRow(const LiveTally& t, int usable, bool colour) {
    char yield[48] = "first-pass yield --";
    if (t.first_pass_yield) {
        std::snprintf(yield, sizeof yield, "first-pass yield %.0f%%", *t.first_pass_yield * 100.0);
    }
    const struct {
        std::string text;
        const char* sgr;
    } items[] = {
        {std::to_string(t.updated) + " updated", t.updated ? kGreen : nullptr},
        {std::to_string(t.failed) + " failed", t.failed ? kRed : nullptr},
        {std::to_string(t.running) + " running", nullptr},
        {PerHour(t.units_per_hour), nullptr},
        {yield, nullptr},
    };
    Line line(usable, colour);
    for (const auto& item : items) {
        const std::string_view sep = line.width() ? ", " : "";
        if (line.width() + Width(sep) + Width(item.text) > usable) break;
        line.Add(sep).Add(item.text, item.sgr);
    }
    return line.text();
}

// Strings compared with their runs of digits as numbers: port 1-2.10 after 1-2.9.
bool NaturalLess(std::string_view a, std::string_view b) {
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            std::size_t ie = i, je = j;
            while (ie < a.size() && digit(a[ie])) ++ie;
            while (je < b.size() && digit(b[je])) ++je;
            std::string_view na = a.substr(i, ie - i), nb = b.substr(j, je - j);
            while (na.size() > 1 && na.front() == '0') na.remove_prefix(1);
            while (nb.size() > 1 && nb.front() == '0') nb.remove_prefix(1);
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

}  // namespace

std::string_view StateWord(LiveUnit::State state) {
    switch (state) {
        case LiveUnit::State::kFound:
            return "found";
        case LiveUnit::State::kPausing:
            return "pausing";
        case LiveUnit::State::kStreaming:
            return "streaming";
        case LiveUnit::State::kSuspended:
            return "unplugged";
        case LiveUnit::State::kResumed:
            return "resumed";
        case LiveUnit::State::kDone:
            return "done";
        case LiveUnit::State::kFailed:
            return "failed";
    }
    return "?";
}

std::optional<double> UnitsPerHour(unsigned units, std::uint64_t elapsed_ms) {
    if (elapsed_ms == 0) return std::nullopt;
    return units * 3'600'000.0 / static_cast<double>(elapsed_ms);
}

bool LiveOrder(const LiveUnit& a, const LiveUnit& b) {
    if (a.port.empty() != b.port.empty()) return b.port.empty();
    if (a.port != b.port) return NaturalLess(a.port, b.port);
    return NaturalLess(a.id, b.id);
}

std::string ResultLine(const LiveResult& r, bool colour) {
    Line line(kNoLimit, colour);
    line.Add("[").Add(NoControls(r.id)).Add("] ");
    line.Add(NoControls(r.outcome), r.updated ? kGreen : kRed);
    line.Add(", ").Add(MinSec(r.duration_ms));
    line.Add(", port ").Add(NoControls(OrDash(r.port)));
    line.Add(", serial ").Add(NoControls(OrDash(r.serial)));
    if (!r.reason.empty()) line.Add("; reason: ").Add(NoControls(r.reason));
    return line.text();
}

OutputForm ChooseOutputForm(const TerminalFacts& facts) {
    if (facts.json || !facts.is_terminal) return OutputForm::kPlain;
    const bool dumb = facts.term && *facts.term == "dumb";
    if (facts.windows_vt) {
        // A console sets no TERM; one that says dumb was set so on purpose.
        if (!*facts.windows_vt || dumb) return OutputForm::kPlain;
    } else if (!facts.term || facts.term->empty() || dumb) {
        return OutputForm::kPlain;
    }
    // NO_COLOR counts when set to anything but the empty string.
    const bool no_colour = facts.no_color && !facts.no_color->empty();
    return no_colour ? OutputForm::kLive : OutputForm::kLiveColour;
}

TerminalFacts FactsFromEnvironment(bool is_terminal, bool json, std::optional<bool> windows_vt) {
    TerminalFacts facts;
    facts.is_terminal = is_terminal;
    facts.json = json;
    facts.windows_vt = windows_vt;
    if (const char* term = std::getenv("TERM")) facts.term = term;
    if (const char* no_color = std::getenv("NO_COLOR")) facts.no_color = no_color;
    return facts;
}

LiveView::LiveView(std::ostream& out, OutputForm form, int columns, int rows)
    : out_(out),
      colour_(form == OutputForm::kLiveColour),
      columns_(columns),
      rows_(rows),
      closed_(form == OutputForm::kPlain) {}

LiveView::~LiveView() { Close(); }

void LiveView::SetSize(int columns, int rows) {
    if (columns == columns_ && rows == rows_) return;
    columns_ = columns;
    rows_ = rows;
    // What the rows showed no longer tells what the screen shows: a row that can never be
    // drawn marks each as changed.
    std::fill(drawn_.begin(), drawn_.end(), std::string("\x01"));
}

void LiveView::Update(std::vector<LiveUnit> units, const LiveTally& tally, std::uint64_t now_ms) {
    if (closed_) return;
    std::stable_sort(units.begin(), units.end(), LiveOrder);
    units_ = std::move(units);
    tally_ = tally;
    if (last_draw_ms_ && now_ms >= *last_draw_ms_ && now_ms - *last_draw_ms_ < kRedrawMs) return;
    if (Draw()) last_draw_ms_ = now_ms;
}

void LiveView::PrintAbove(std::string_view line) {
    if (closed_) {
        out_ << line << '\n' << std::flush;
        return;
    }
    std::string buf = MoveToTop();
    buf += '\r';
    buf += kEraseBelow;
    buf += line;
    buf += '\n';
    out_ << buf;
    drawn_.clear();
    if (last_draw_ms_) Draw();  // the area as it was, under the new line
    out_ << std::flush;
}

void LiveView::PrintResult(const LiveResult& result) {
    // The finished unit leaves the area at once, not at the next Update: its result line and
    // its live line never show together.
    std::erase_if(units_, [&](const LiveUnit& u) { return u.id == result.id; });
    PrintAbove(ResultLine(result, colour_));
}

void LiveView::Close() {
    if (closed_) return;
    closed_ = true;
    if (drawn_.empty()) return;
    out_ << MoveToTop() << '\r' << kEraseBelow << std::flush;
    drawn_.clear();
}

std::string LiveView::MoveToTop() const {
    return drawn_.empty() ? std::string() : CursorUp(drawn_.size());
}

std::vector<std::string> LiveView::RenderRows() const {
    // The last column stays empty: a line that fills it leaves the cursor waiting to wrap, and
    // some consoles wrap at once, which would put every row after it one row off.
    const int usable = std::max(1, columns_ - 1);
    // The area stays within the screen, with the cursor's row under it: the cursor cannot go up
    // to a row that has scrolled away. Units past that are counted on a line of their own.
    std::size_t shown = units_.size();
    if (rows_ > 0 && 1 + shown > static_cast<std::size_t>(rows_ - 1)) {
        shown = static_cast<std::size_t>(std::max(0, rows_ - 3));
    }
    const std::vector<LiveUnit> units(units_.begin(), units_.begin() + static_cast<long>(shown));
    std::vector<std::string> rows{TallyRow(tally_, usable, colour_)};
    const Columns c = ChooseColumns(units, usable);
    for (const LiveUnit& u : units) rows.push_back(UnitRow(u, c, usable, colour_));
    if (shown < units_.size()) {
        rows.push_back(Line(usable, false)
                           .Add("+" + std::to_string(units_.size() - shown) + " more running")
                           .text());
    }
    return rows;
}

bool LiveView::Draw() {
    const std::vector<std::string> rows = RenderRows();
    std::size_t first = 0;
    while (first < rows.size() && first < drawn_.size() && rows[first] == drawn_[first]) ++first;
    if (first == rows.size() && rows.size() == drawn_.size()) return false;

    // From the line under the area up to the first row that changed, then down the rows:
    // a changed one is written over and the rest of its old text erased, an unchanged one is
    // stepped over.
    std::string buf;
    if (drawn_.size() > first) buf += CursorUp(drawn_.size() - first);
    for (std::size_t i = first; i < rows.size(); ++i) {
        if (i < drawn_.size() && rows[i] == drawn_[i]) {
            buf += '\n';
            continue;
        }
        buf += '\r';
        buf += rows[i];
        buf += kEraseLine;
        buf += '\n';
    }
    if (rows.size() < drawn_.size()) {  // fewer rows than before: the old ones below go
        buf += '\r';
        buf += kEraseBelow;
    }
    out_ << buf << std::flush;
    drawn_ = rows;
    return true;
}

void PrintSummary(std::ostream& out, const RunSummary& s, bool colour) {
    Line head(kNoLimit, colour);
    head.Add(NoControls(s.heading)).Add(": ");
    head.Add(std::to_string(s.updated) + " updated", s.updated ? kGreen : nullptr).Add(", ");
    head.Add(std::to_string(s.failed) + " failed", s.failed ? kRed : nullptr);
    head.Add(" in ").Add(Duration(s.duration_ms));
    head.Add(" (").Add(PerHour(UnitsPerHour(s.updated + s.failed, s.duration_ms))).Add(")");
    out << head.text() << '\n';
    for (const FailedUnit& f : s.failures) {
        Line line(kNoLimit, colour);
        line.Add("  ").Add("failed", kRed).Add(": [").Add(NoControls(f.id)).Add("]");
        line.Add(" port ").Add(NoControls(OrDash(f.port)));
        line.Add(", serial ").Add(NoControls(OrDash(f.serial)));
        if (!f.reason.empty()) line.Add(": ").Add(NoControls(f.reason));
        out << line.text() << '\n';
    }
    unsigned plugged = 0;
    for (const FailedUnit& f : s.failures) plugged += f.still_plugged;
    if (plugged) {
        out << plugged << (plugged == 1 ? " failed unit is" : " failed units are")
            << " still plugged in and will not be retried until replugged:";
        for (const FailedUnit& f : s.failures) {
            if (f.still_plugged) out << " [" << NoControls(f.id) << "]";
        }
        out << '\n';
    }
    out << std::flush;
}

}  // namespace lumo::cli
