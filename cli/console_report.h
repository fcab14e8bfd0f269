// What lumo-flash tells the person or the program that runs it. Three forms:
//  - terminal: one progress line redrawn in place, events as lines;
//  - lines (stdout is not a terminal): a progress line at every 10% and at each event;
//  - json: one JSON object per line on stdout and nothing else there.
// Warnings and what to do next go to stderr in every form; the success text to stdout (in
// json form as the "done" event's text).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "ports/hid_access.h"

namespace lumo::cli {

enum class OutputMode { kTerminal, kLines, kJson };

struct ProgressFigures {
    std::uint32_t block = 0;   // data reports written so far
    std::uint32_t blocks = 0;  // data reports of the whole update
    unsigned percent = 0;      // as the dialog shows it
    std::uint64_t elapsed_ms = 0;
};

class ConsoleReport {
  public:
    ConsoleReport(std::ostream& out, std::ostream& err, OutputMode mode)
        : out_(out), err_(err), mode_(mode) {}

    OutputMode mode() const { return mode_; }
    // The ID of the attempt's record: every --json event carries it from now on.
    void SetRecord(std::string id) { record_ = std::move(id); }

    void Waiting(double seconds);
    // A device opened: before the update, or (with the block the stream goes on from) during
    // it, after a replug or a reopen. The unit's port and serial go with it where known.
    void DeviceFound(std::string_view path, std::string_view product, const UnitIdentity& unit,
                     std::optional<std::uint32_t> from_block = std::nullopt);
    void Started(std::string_view product, std::uint32_t blocks, std::uint32_t length,
                 std::string_view sha256);
    void Progress(const ProgressFigures& p);
    void Suspended(const ProgressFigures& p, double resume_timeout_s);
    void Resumed(const ProgressFigures& p);
    void Done(const ProgressFigures& p, std::string_view text, std::string_view next);
    // A failure: `reason` is the machine's word for it, `text` the warning as the dialog
    // shows it (or the tool's own words), `next` what to do now.
    void Failed(std::string_view reason, std::string_view text, std::string_view next);
    // A line for the person at the console, on stderr in every form.
    void Notice(std::string_view text);

  private:
    std::string ProgressText(const ProgressFigures& p, bool bar) const;
    void EventLine(std::string_view text);
    void EndRedrawnLine();
    void Json(const std::string& line);

    std::ostream& out_;
    std::ostream& err_;
    OutputMode mode_;
    std::string record_;
    bool redrawn_line_open_ = false;  // terminal: the progress line has no line break yet
    int last_decile_ = -1;            // lines: the last 10% step printed
    int last_percent_ = -1;
    std::uint64_t last_draw_ms_ = 0;
};

}  // namespace lumo::cli
