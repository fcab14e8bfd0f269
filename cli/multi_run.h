// Several units updated at once in one process (lumo-flash --all and --station). One FlashRun
// per unit, each over its own view of the one HID access (only its unit is listed there), all
// fed by one 10 ms timer and one stream of device events: each tick visits every unit and each
// event goes to every run. No threads: every call a run makes is bounded and short. The tool's
// fixed pauses (2.5 s after a unit is found, 300 ms before the start report's reply, 500 ms
// before the finish report) hold only their own unit when the platform gives each unit a strand
// (unit_strand.h): the unit's ticks and events wait meanwhile, as a window's messages wait out
// its pause, and the other units go on. Without strands a pause holds every unit.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/console_report.h"
#include "cli/flash_run.h"
#include "cli/interrupt_policy.h"
#include "cli/live_view.h"
#include "cli/notice_lines.h"
#include "cli/run_events.h"
#include "cli/tagged_lines.h"
#include "cli/unit_result.h"
#include "cli/unit_strand.h"
#include "cli/units.h"
#include "ports/unit_claims.h"
#include "ports/update_lifetime.h"

namespace lumo::cli {

// Makes the claim object of one unit's update (each holds one claim at a time); null: none.
using ClaimsMaker = std::function<std::unique_ptr<UnitClaims>()>;

// One unit's run and what it owns, and the way in for its events: on its strand when it has
// one. Members end in reverse order: the run (which ends an update still under way and closes
// its device) before the strand, claims and streams it uses.
class UnitRun {
  public:
    void Begin();
    // The first look at a unit plugged in while others are being updated.
    void BeginOnArrival();
    // Ticks that come while the unit is in a pause count as none, as a window's timer
    // coalesces them; the unit's pause ending is noticed here.
    void OnTick();
    void OnDeviceChange(unsigned event);
    void OnInterrupt();
    void OnTerminating(std::string_view cause);
    // Takes effect at once, also while the unit is in a pause: see FlashRun::StopBeforeStart.
    void StopBeforeStart() { run->StopBeforeStart(); }
    // A call of the run is in a pause on its strand, or events wait for it to end.
    bool Held() const;
    // The run's status once it has ended and is not held.
    std::optional<int> exit_code() const;
    // The start report went out and the update has not ended (also while held in a pause).
    bool Streaming() const { return run->result().started && !run->exit_code(); }
    const UnitResult& result() const { return run->result(); }

    UnitEntry entry;
    std::size_t slot = 0;  // its place among the units of the run, for the closing table
    std::unique_ptr<OneUnitHid> hid;
    std::unique_ptr<TaggedLines> out_buf, err_buf;
    std::unique_ptr<std::ostream> out, err;
    std::unique_ptr<ConsoleReport> report;
    std::unique_ptr<UnitClaims> claims;
    std::unique_ptr<UnitStrand> strand;  // null: calls made here, and a pause holds every unit
    std::unique_ptr<FlashRun> run;

  private:
    // Makes `call` on the strand, or holds it until the unit's pause is over.
    void Deliver(std::function<void()> call);
    // The calls held for the unit, in order, for as long as it is not in a pause.
    void DeliverHeld();

    std::deque<std::function<void()>> held_;  // events that came during its pause
};

// What the runs of one process share (the HID access, time, output, settings), the runs under
// way, and how each unit's run is made (its lines tagged with its ID, its own claim) and let
// go: the moment a run has ended, everything it used is released (its device, the helper
// thread of its writes, its claim, its strand, its share of the sleep hold-off), so that a
// station that runs for hours holds no more than its units under way.
class UnitRuns {
  public:
    // `settings` serve every unit; its lifetime is told when the first update starts and when
    // the last one ends. The terminal form's redrawn line cannot serve several units: `mode`
    // kTerminal is taken as kLines.
    // `make_strand`, when given, gives each unit's run a strand of its own.
    UnitRuns(HidAccess& hid, Pause& pause, Clock& clock, std::ostream& out, std::ostream& err,
             OutputMode mode, const RunSettings& settings, ClaimsMaker make_claims,
             StrandMaker make_strand = {});

    // On a terminal that takes it: one live line per unit under way instead of each unit's
    // own lines (see LiveView), from now on.
    // `notices`, when given, carries the program's other lines: they go above the view too.
    void Watch(OutputForm form, int columns, int rows, NoticeLines* notices = nullptr);
    bool live() const { return view_ != nullptr; }
    ~UnitRuns();
    UnitRuns(const UnitRuns&) = delete;
    UnitRuns& operator=(const UnitRuns&) = delete;

    // A run for the unit, among those under way.
    UnitRun& Add(const UnitEntry& entry, std::size_t slot = 0);
    // Every run that has ended (and is not held): its lines flushed, its result handed to
    // `ended`, and the run let go.
    void CollectEnded(const std::function<void(UnitRun&)>& ended);

    std::vector<std::unique_ptr<UnitRun>>& active() { return active_; }
    const std::vector<std::unique_ptr<UnitRun>>& active() const { return active_; }
    bool AnyStreaming() const;
    // The runs whose start report has not gone out are left untouched; the others go on.
    void StopBeforeStart();
    // A first Ctrl-C with several units: no new unit (the caller's part), the units not
    // started left untouched, the others go on; said in one notice.
    void Drain();
    // Aborts the runs under way (and leaves those not started untouched).
    void Abort(std::string_view cause);

    // A line for the person at the console: above the live view, or on stderr.
    void Notice(std::string_view text);
    // A unit's result line: above the live view, or as a line (a JSON object with --json).
    void ShowResult(const UnitResult& result);
    // The live lines of the units under way under `tally` (nothing without a live view).
    void Draw(const LiveTally& tally);
    // Ends the live view; the summary is printed with its colour after it.
    void CloseView();
    bool colour() const { return view_ && view_->colour(); }

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
    StrandMaker make_strand_;
    SharedLifetime lifetime_;
    std::unique_ptr<LiveView> view_;
    NoticeLines* notices_ = nullptr;
    std::ostream quiet_{nullptr};  // a unit's progress lines while the live view shows it
    // A unit's warnings and advice while the live view shows it: above the view.
    NoticeLines above_buf_{err_};
    std::ostream above_{&above_buf_};
    // Last: the runs end (and their lines go out) before the streams they write to.
    std::vector<std::unique_ptr<UnitRun>> active_;
};

// The words of a first Ctrl-C (SIGTERM, SIGHUP) while several units are under way.
void ReportDraining(std::ostream& err, std::size_t streaming);

// --all found no unit (and, with --wait, none came in time): the failure (exit status 2).
void ReportNoUnits(ConsoleReport& report);

// lumo-flash --all: the units present when it starts, at once; a closing table when every one
// has ended. Given no unit, it waits up to settings.wait_s for the first one to arrive, lets
// the arrivals settle for the tool's pause after an arrival, and then takes every unit
// present; Ctrl-C ends the wait at once.
class MultiRun : public RunEvents {
  public:
    MultiRun(HidAccess& hid, Pause& pause, Clock& clock, std::ostream& out, std::ostream& err,
             OutputMode mode, const std::vector<UnitEntry>& units, const RunSettings& settings,
             const ClaimsMaker& make_claims, const StrandMaker& make_strand = {});

    void Watch(OutputForm form, int columns, int rows, NoticeLines* notices = nullptr) {
        runs_.Watch(form, columns, rows, notices);
    }

    void Begin() override;
    void OnTick() override;
    void OnDeviceChange(unsigned event) override;
    // The first one (or SIGTERM, SIGHUP) takes the units not started yet out and lets those
    // being updated finish; a second within 3 s aborts them. While waiting: the end at once.
    void OnInterrupt() override;
    void OnTerminating(std::string_view cause) override;

    // Once every unit's run has ended: 0 when every one succeeded, else the status of the
    // first unit (in --list order) that did not. The closing table is printed then.
    std::optional<int> exit_code() override;

  private:
    // While waiting: a look for units; the first one seen starts the settling.
    void Look();
    // Once the arrivals have settled: a run for every unit present, or back to waiting when
    // none is left.
    void TakeUnits();
    void EndWait(int code);
    void Start(const std::vector<UnitEntry>& units, bool arrived);
    void Collect();
    void PrintTable();
    void PrintSummary();

    UnitRuns runs_;
    ConsoleReport report_;  // the run's own lines while it waits
    std::vector<UnitEntry> initial_;         // the units present at the start
    std::vector<UnitResult> results_;        // one per unit taken, in --list order
    std::uint64_t start_ms_ = 0;
    InterruptPolicy interrupts_;
    bool draining_ = false;  // a first Ctrl-C: the units not started are left untouched
    bool waiting_ = false;  // no unit yet: waiting for the first one
    double wait_s_ = 0;
    std::uint64_t wait_begin_ms_ = 0;
    std::uint64_t last_look_ms_ = 0;
    std::optional<std::uint64_t> first_seen_ms_;  // when the first unit was seen
    std::optional<int> exit_code_;
};

}  // namespace lumo::cli
