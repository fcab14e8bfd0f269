// Several units updated at once in one process (lumo-flash --all and --station). One FlashRun
// per unit, each over its own view of the one HID access (only its unit is listed there), all
// fed by one 10 ms timer and one stream of device events: each tick visits every unit and each
// event goes to every run. No threads: every call a run makes is bounded and short. (The tool's
// fixed pauses, such as the 300 ms before the start report's reply, hold the other units' ticks
// for as long; the devices wait for their next report meanwhile.)
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/console_report.h"
#include "cli/flash_run.h"
#include "cli/run_events.h"
#include "cli/tagged_lines.h"
#include "cli/units.h"
#include "ports/unit_claims.h"
#include "ports/update_lifetime.h"

namespace lumo::cli {

// Makes the claim object of one unit's update (each holds one claim at a time); null: none.
using ClaimsMaker = std::function<std::unique_ptr<UnitClaims>()>;

// How a unit's run ended, in words ("updated", "busy: another program is updating it").
const char* UnitOutcome(int exit_code);
// The same as a --json object: {"event":"unit-result","unit":…,"product":…,"exit":…,"result":…}.
std::string UnitResultJson(const UnitEntry& unit, int exit_code);

// One unit's run and what it owns. Members end in reverse order: the run (which ends an update
// still under way) before the claims and streams it uses.
struct UnitRun {
    UnitEntry entry;
    std::unique_ptr<OneUnitHid> hid;
    std::unique_ptr<TaggedLines> out_buf, err_buf;
    std::unique_ptr<std::ostream> out, err;
    std::unique_ptr<ConsoleReport> report;
    std::unique_ptr<UnitClaims> claims;
    std::unique_ptr<FlashRun> run;
};

// What the runs of one process share (the HID access, time, output, settings) and how each
// unit's run is made: its lines tagged with its ID, its own claim.
class UnitRuns {
  public:
    // `settings` serve every unit; its lifetime is told when the first update starts and when
    // the last one ends. The terminal form's redrawn line cannot serve several units: `mode`
    // kTerminal is taken as kLines.
    UnitRuns(HidAccess& hid, Pause& pause, Clock& clock, std::ostream& out, std::ostream& err,
             OutputMode mode, const RunSettings& settings, ClaimsMaker make_claims);

    std::unique_ptr<UnitRun> Make(const UnitEntry& entry);

    HidAccess& hid() { return hid_; }
    Clock& clock() { return clock_; }
    std::ostream& out() { return out_; }
    std::ostream& err() { return err_; }
    bool json() const { return mode_ == OutputMode::kJson; }

  private:
    class SharedLifetime : public UpdateLifetime {
      public:
        UpdateLifetime* inner = nullptr;
        void UpdateStarted() override;
        void UpdateEnded() override;

      private:
        int under_way_ = 0;
    };

    HidAccess& hid_;
    Pause& pause_;
    Clock& clock_;
    std::ostream& out_;
    std::ostream& err_;
    OutputMode mode_;
    RunSettings settings_;
    ClaimsMaker make_claims_;
    SharedLifetime lifetime_;
};

// lumo-flash --all: the units present when it starts, at once; a closing table when every one
// has ended.
class MultiRun : public RunEvents {
  public:
    MultiRun(HidAccess& hid, Pause& pause, Clock& clock, std::ostream& out, std::ostream& err,
             OutputMode mode, const std::vector<UnitEntry>& units, const RunSettings& settings,
             const ClaimsMaker& make_claims);

    void Begin() override;
    void OnTick() override;
    void OnDeviceChange(unsigned event) override;
    void OnInterrupt() override;
    void OnTerminating(std::string_view cause) override;

    // Once every unit's run has ended: 0 when every one succeeded, else the status of the
    // first unit (in --list order) that did not. The closing table is printed then.
    std::optional<int> exit_code() override;

  private:
    void PrintTable();

    UnitRuns runs_;
    std::vector<std::unique_ptr<UnitRun>> units_;
    std::optional<int> exit_code_;
};

}  // namespace lumo::cli
