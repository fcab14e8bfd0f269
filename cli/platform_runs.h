// How lumo-flash's runs (one unit, --all, --station) are put together, the same on every
// platform: a platform gives only its event loop, its claims on units and its strands, and
// these make the run, its settings and its output over them.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <vector>

#include "cli/clock.h"
#include "cli/commands.h"
#include "cli/live_view.h"
#include "cli/notice_lines.h"
#include "cli/multi_run.h"
#include "cli/run_events.h"
#include "cli/unit_recorder.h"
#include "cli/unit_strand.h"
#include "ports/pause.h"
#include "ports/update_lifetime.h"

namespace lumo::cli {

// Makes the run once the loop's clock, pause and what holds off sleep and shutdown exist.
using RunMaker = std::function<std::unique_ptr<RunEvents>(Clock&, Pause&, UpdateLifetime&)>;

struct RunPlatform {
    // Runs the platform's event loop around the run `make` builds, until the run has its exit
    // status, and returns it.
    std::function<int(const RunMaker& make)> loop;
    // One claim object per update: the same across our programs on this platform.
    ClaimsMaker make_claims;
    // A stack of its own per unit of --all and --station, so that a unit's pause holds it
    // alone; the pause serves a pause asked for outside a call.
    std::function<std::unique_ptr<UnitStrand>(Clock&, Pause&)> make_strand;
    std::ostream& out;
    std::ostream& err;
    // How several units are shown on standard output: a live view on a terminal that takes
    // it, else plain lines; the terminal's size.
    OutputForm form = OutputForm::kPlain;
    int columns = 80;
    int rows = 0;
    // The stream behind `err`, routed above the live view while one is shown.
    NoticeLines* notices = nullptr;
    // Where each update attempt is kept; null: nowhere.
    UnitRecorder* recorder = nullptr;
};

int RunUpdate(const RunPlatform& platform, const Options& options, HidAccess& hid,
              ConsoleReport& report, const ImageChoice& images);
int RunAll(const RunPlatform& platform, const Options& options, HidAccess& hid,
           ConsoleReport& report, const ImageChoice& images, const std::vector<UnitEntry>& units);
int RunStation(const RunPlatform& platform, const Options& options, HidAccess& hid,
               ConsoleReport& report, const ImageChoice& images);

// RunCommand over the platform's runs.
int RunCommand(const Options& options, HidAccess& hid, ConsoleReport& report,
               const RunPlatform& platform);

}  // namespace lumo::cli
