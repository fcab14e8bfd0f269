// lumo-flash --station, for a production line: runs until it is told to stop and updates each
// unit as it is plugged in, several at once, with the same per-unit runs as --all on one timer.
//
// A unit is known by its ID (serial, else USB port, else path) from the moment its update
// begins until it is seen gone: while its update runs (also while it is pulled out and the run
// waits for it to come back) and after it has ended, so a unit left plugged in is never updated
// twice. Once a listing no longer shows it, it is forgotten, and plugging it in again updates it
// again. Every unit's end gives one result line and the running tally; the station's end gives
// the tally once more, and names the failed units still plugged in (not tried again until they
// are replugged).
//
// Stopping: the first Ctrl-C (SIGTERM, SIGHUP) takes no new unit, leaves a unit not started
// yet untouched (also one in its pause before the start report), and ends the station once the
// units being updated have finished; a second one within 3 s aborts them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cli/multi_run.h"

namespace lumo::cli {

struct StationTally {
    unsigned updated = 0;
    unsigned failed = 0;  // every unit whose run ended otherwise, refusals included
};

// A unit a station has taken and that is still plugged in after its run ended.
struct EndedUnit {
    UnitEntry unit;
    std::optional<UnitResult> failure;  // its result when it was not updated
};

class Station : public RunEvents {
  public:
    Station(HidAccess& hid, Pause& pause, Clock& clock, std::ostream& out, std::ostream& err,
            OutputMode mode, const RunSettings& settings, const ClaimsMaker& make_claims,
            const StrandMaker& make_strand = {});

    void Watch(OutputForm form, int columns, int rows, NoticeLines* notices = nullptr) {
        runs_.Watch(form, columns, rows, notices);
    }

    // Updates the units present now.
    void Begin() override;
    // Besides the runs' ticks, a look for new units twice a second: an arrival notice that
    // was missed cannot leave a unit waiting.
    void OnTick() override;
    void OnDeviceChange(unsigned event) override;
    // With nothing under way the station ends at once; else the first one drains it (see
    // above) and a second within 3 s aborts the updates under way.
    void OnInterrupt() override;
    // Aborts the updates under way and ends the station (once a unit in a pause has taken it).
    void OnTerminating(std::string_view cause) override;

    // Once the station has ended: 0 when every unit it took was updated, kExitAborted when it
    // ended updates under way, else the status of the first unit (in the order they ended)
    // that was not updated.
    std::optional<int> exit_code() override { return exit_code_; }

    const StationTally& tally() const { return tally_; }

  private:
    // Starts a run for each unit listed that is not known yet and forgets the ended ones that
    // are no longer listed.
    void Look();
    bool Known(const UnitEntry& unit) const;
    // The result line and tally of every run that has ended; the run is let go.
    void Collect();
    void Ended(const UnitResult& result);
    void Stop(std::string_view cause);
    // Ends the station once a stop came and every run has ended.
    void EndWhenStopped();
    void PrintTally(const char* event);
    void PrintEnd();
    LiveTally Tally();

    UnitRuns runs_;
    std::vector<EndedUnit> ended_;  // units updated (or refused) and still plugged in
    StationTally tally_;
    // First-pass yield: units updated on their first attempt over the units attempted. A unit
    // is known to come again by its serial, when one names it; the serials of failed units are
    // kept for that (failures are few).
    unsigned first_attempts_ = 0;
    unsigned first_pass_ = 0;
    std::set<std::string> failed_serials_;
    // The failed units for the closing summary, the first kFailuresShown of them.
    static constexpr std::size_t kFailuresShown = 200;
    std::vector<FailedUnit> failures_;
    std::uint64_t start_ms_ = 0;
    std::optional<int> first_failure_;
    InterruptPolicy interrupts_;
    bool aborted_ = false;   // a stop aborted an update under way
    bool draining_ = false;  // no new units; the station ends when the last run has
    bool stopping_ = false;  // the updates under way were told to abort
    std::uint64_t last_look_ms_ = 0;
    std::optional<int> exit_code_;
};

}  // namespace lumo::cli
