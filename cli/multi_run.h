// lumo-flash --all: every unit present, updated at once in one process. One FlashRun per unit,
// each over its own view of the one HID access (only its unit is listed there), all fed by one
// 10 ms timer and one stream of device events: each tick visits every unit and each event goes
// to every run. No threads: every call a run makes is bounded and short. The tool's fixed
// pauses (2.5 s after a unit is found, 300 ms before the start report's reply, 500 ms before the
// finish report) hold only their own unit when the platform gives each unit a strand
// (unit_strand.h): the unit's ticks and events wait meanwhile, as a window's messages wait out
// its pause, and the other units go on. Without strands a pause holds every unit.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/console_report.h"
#include "cli/flash_run.h"
#include "cli/tagged_lines.h"
#include "cli/unit_strand.h"
#include "cli/units.h"
#include "ports/unit_claims.h"
#include "ports/update_lifetime.h"

namespace lumo::cli {

// Makes the claim object of one unit's update (each holds one claim at a time); null: none.
using ClaimsMaker = std::function<std::unique_ptr<UnitClaims>()>;

class MultiRun {
  public:
    // `settings` serve every unit; its lifetime is told when the first update starts and when
    // the last one ends. The terminal form's redrawn line cannot serve several units: `mode`
    // kTerminal is taken as kLines.
    MultiRun(HidAccess& hid, Pause& pause, Clock& clock, std::ostream& out, std::ostream& err,
             OutputMode mode, const std::vector<UnitEntry>& units, const RunSettings& settings,
             const ClaimsMaker& make_claims, const StrandMaker& make_strand = {});

    void Begin();
    void OnTick();
    void OnDeviceChange(unsigned event);
    void OnInterrupt();

    // Once every unit's run has ended: 0 when every one succeeded, else the status of the
    // first unit (in --list order) that did not. The closing table is printed then.
    std::optional<int> exit_code();

  private:
    class SharedLifetime : public UpdateLifetime {
      public:
        UpdateLifetime* inner = nullptr;
        void UpdateStarted() override;
        void UpdateEnded() override;

      private:
        int under_way_ = 0;
    };

    // Members end in reverse order: the run (which ends an update still under way) before the
    // claims and streams it uses.
    struct Unit {
        UnitEntry entry;
        std::unique_ptr<OneUnitHid> hid;
        std::unique_ptr<TaggedLines> out_buf, err_buf;
        std::unique_ptr<std::ostream> out, err;
        std::unique_ptr<ConsoleReport> report;
        std::unique_ptr<UnitClaims> claims;
        std::unique_ptr<UnitStrand> strand;     // null: calls made here, pauses hold all
        std::vector<std::function<void()>> held;  // events that came during its pause
        std::unique_ptr<FlashRun> run;
    };

    // Makes `call` for the unit, or holds it until the unit's pause is over.
    void Deliver(Unit& u, std::function<void()> call);
    // Events held for the unit, in order, for as long as it is not in a pause.
    void DeliverHeld(Unit& u);
    void PrintTable();

    std::ostream& out_;
    bool json_;
    SharedLifetime lifetime_;
    std::vector<Unit> units_;
    std::optional<int> exit_code_;
};

}  // namespace lumo::cli
