// One unit's run as everything after it sees it: the run fills it in as it goes, and the result
// line, the --json result event, a station's tally, the closing table and a record of the
// update all read it from here. Final once `exit` has a value.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "cli/units.h"

namespace lumo::cli {

// Where a unit's run is, in the words an operator watches it by.
enum class UnitPhase {
    kFound,      // listed, being opened
    kPausing,    // waiting out the tool's pause before its start report
    kStreaming,  // the start report was answered; data reports go out
    kSuspended,  // unplugged mid-update, waiting for it to come back
    kResumed,    // back after an unplug, streaming again
    kDone,       // updated
    kFailed,     // ended otherwise
};

const char* PhaseName(UnitPhase phase);

// The reason of a unit a stop left untouched: its start report was never written.
inline constexpr const char* kNotStartedReason = "not-started";

struct UnitResult {
    UnitEntry unit;       // ID, port and serial as the unit was taken (the ID never changes)
    std::string product;  // "7b16" or "c3d1", once known
    UnitPhase phase = UnitPhase::kFound;
    bool started = false;  // the start report went out and the device answered it
    std::uint32_t block = 0;
    std::uint32_t blocks = 0;
    unsigned percent = 0;
    unsigned resumes = 0;  // how often the stream went on after an unplug
    std::uint64_t begin_ms = 0;         // the run began (the run's clock)
    std::uint64_t update_begin_ms = 0;  // the start report was answered
    std::uint64_t end_ms = 0;
    std::optional<int> exit;
    std::string reason;  // the failure's word, as --json has it; empty when updated
    std::string text;    // the failure as it was reported
    // The attempt's record, and the image it was to get.
    std::string record_id;
    std::string image;  // "built-in variant", "built-in primary" or the image file's path
    std::uint32_t image_bytes = 0;
    std::string image_sha256;
    bool stand_in = false;

    bool Ended() const { return exit.has_value(); }
    bool Updated() const;
    // Ended by a stop before anything was written to it.
    bool Untouched() const { return reason == kNotStartedReason; }
    std::uint64_t DurationMs() const { return end_ms >= begin_ms ? end_ms - begin_ms : 0; }
};

// How a run with this exit status ended, in words ("updated", "busy: another program is
// updating it").
const char* UnitOutcome(int exit_code);

// How this unit's run ended, in words: UnitOutcome, or what a stop or a claim that could not
// be made left ("not started: …", "not claimed: …").
const char* ResultWords(const UnitResult& result);

// The result as a --json object: {"event":"unit-result","unit":…,"product":…,"exit":…,
// "result":…,"port":…,"serial":…,"reason":…}.
std::string UnitResultJson(const UnitResult& result);

// The result line of a unit: "[ID] result: updated (exit 0), port 1-2, serial M8V-000101",
// with the reason when it failed.
void PrintResultLine(std::ostream& out, const UnitResult& result);

}  // namespace lumo::cli
