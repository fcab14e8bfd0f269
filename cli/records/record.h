// One update attempt, kept: what a unit got, when, where, and how it ended. Plain data; the
// stores, the journal and the exports all speak it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumo::cli::records {

struct Record {
    std::string id;            // a UUID v4, made when the attempt starts
    std::string station;       // --station-name, by default the host name
    std::string host;
    std::string tool_version;
    std::string unit;          // the unit's ID, as --list names it
    std::optional<std::string> serial;
    std::optional<std::string> port;
    std::string product;       // "7b16" or "c3d1"
    std::string image;         // "built-in variant", "built-in primary" or the file's path
    std::uint64_t image_bytes = 0;
    std::string image_sha256;
    bool stand_in = false;
    std::string started_at;             // UTC, 2026-12-11T07:01:02.345Z
    std::optional<std::string> ended_at;  // none while running
    std::uint64_t blocks_written = 0;
    std::uint64_t blocks = 0;
    std::uint64_t resumes = 0;  // times the stream went on after an unplug
    std::string outcome = "running";
    std::optional<std::string> reason;  // none on success
    std::optional<int> exit;            // none while running
    // Who writes the row, so that a later run can tell a writer that died from one still at
    // work: its process ID and a token of that process's start (a reused ID has another).
    std::uint64_t pid = 0;
    std::string process_start;

    bool operator==(const Record&) const = default;
};

// The outcomes a record can have; "running" until the attempt ends.
inline constexpr std::string_view kOutcomes[] = {"running", "updated",  "failed",
                                                 "aborted", "busy",     "refused",
                                                 "cannot-open", "interrupted"};
bool IsOutcome(std::string_view outcome);

// How far along a row is: running 0, interrupted 1, any real end 2. A row only ever moves up,
// so a late or repeated write of an attempt never undoes its end.
int OutcomeRank(std::string_view outcome);

// A new attempt of this process, as of now: its ID, host, tool version and writer filled in,
// outcome running. The caller adds the unit and the image.
Record BeginRecord(std::string station);

// The row of a writer that died: interrupted, ended when that was noticed.
Record Interrupted(Record record, std::string noticed_at);

// Milliseconds from started_at to ended_at, when both are there and well-formed.
std::optional<std::int64_t> DurationMs(const Record& record);

}  // namespace lumo::cli::records
