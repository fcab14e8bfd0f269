// lumo-flash --all: every unit present, updated at once in one process. One FlashRun per unit,
// each over its own view of the one HID access (only its unit is listed there), all fed by one
// 10 ms timer and one stream of device events: each tick visits every unit and each event goes
// to every run. No threads: every call a run makes is bounded and short. (The tool's fixed
// pauses, such as the 300 ms before the start report's reply, hold the other units' ticks for
// as long; the devices wait for their next report meanwhile.)
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
             const ClaimsMaker& make_claims);

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
        std::unique_ptr<FlashRun> run;
    };

    void PrintTable();

    std::ostream& out_;
    bool json_;
    SharedLifetime lifetime_;
    std::vector<Unit> units_;
    std::optional<int> exit_code_;
};

}  // namespace lumo::cli
