#include "cli/station.h"

#include <algorithm>
#include <ostream>
#include <sstream>

#include "cli/exit_codes.h"
#include "cli/json_line.h"

namespace lumo::cli {

namespace {

RunSettings AtStation(RunSettings settings) {
    settings.at_station = true;
    return settings;
}

}  // namespace

Station::Station(HidAccess& hid, Pause& pause, Clock& clock, std::ostream& out,
                 std::ostream& err, OutputMode mode, const RunSettings& settings,
                 const ClaimsMaker& make_claims, const StrandMaker& make_strand)
    : runs_(hid, pause, clock, out, err, mode, AtStation(settings), make_claims, make_strand) {}

void Station::Begin() {
    start_ms_ = runs_.clock().NowMs();
    runs_.Notice(
        "lumo-flash: station: every Orvel-M8 plugged in in update mode is updated; Ctrl-C takes "
        "no new unit and ends the station once the units under way are done; a second one "
        "within 3 s aborts them.");
    last_look_ms_ = runs_.clock().NowMs();
    Look();
}

void Station::OnTick() {
    if (exit_code_) return;
    const std::uint64_t now = runs_.clock().NowMs();
    if (interrupts_.Lapsed(now) && !stopping_) {
        runs_.Notice(std::string("No second Ctrl-C: the updates under way go on to their end") +
                     (draining_ ? "; no new unit is taken." : "."));
    }
    for (auto& u : runs_.active()) u->OnTick();
    Collect();
    runs_.Draw(Tally());
    if (draining_) {
        EndWhenStopped();
        return;
    }
    if (now - last_look_ms_ >= kWaitSearchMs) {
        last_look_ms_ = now;
        Look();
    }
}

void Station::OnDeviceChange(unsigned event) {
    if (exit_code_) return;
    // The runs first: a unit back from an unplug is its own run's, not a new one.
    for (auto& u : runs_.active()) u->OnDeviceChange(event);
    Collect();
    if (draining_) {
        EndWhenStopped();
        return;
    }
    last_look_ms_ = runs_.clock().NowMs();
    Look();
}

void Station::OnInterrupt() {
    if (exit_code_ || stopping_) return;
    const bool second =
        interrupts_.OnInterrupt(runs_.clock().NowMs()) == InterruptPolicy::Step::kSecond;
    if (runs_.active().empty()) {
        Stop("Aborted by the user");
        return;
    }
    if (draining_ && second) {
        Stop("Aborted by the user");
        return;
    }
    draining_ = true;
    runs_.Drain();
    EndWhenStopped();
}

void Station::OnTerminating(std::string_view cause) {
    if (exit_code_ || stopping_) return;
    Stop(cause);
}

bool Station::Known(const UnitEntry& unit) const {
    return std::any_of(ended_.begin(), ended_.end(),
                       [&](const EndedUnit& e) { return SameListedUnit(e.unit, unit); }) ||
           std::any_of(runs_.active().begin(), runs_.active().end(),
                       [&](const auto& u) { return SameListedUnit(u->entry, unit); });
}

void Station::Look() {
    const auto units = TryListUnits(runs_.hid());
    if (!units) return;  // a listing that failed says nothing about who left
    std::erase_if(ended_, [&](const EndedUnit& e) {
        return std::none_of(units->begin(), units->end(),
                            [&](const UnitEntry& u) { return SameListedUnit(e.unit, u); });
    });
    for (const UnitEntry& unit : *units) {
        if (Known(unit)) continue;
        runs_.Add(unit).BeginOnArrival();
    }
    Collect();
}

void Station::Collect() {
    runs_.CollectEnded([this](UnitRun& u) {
        const UnitResult& r = u.result();
        Ended(r);
        // Known until a listing no longer shows it, so that it is not updated twice.
        ended_.push_back({u.entry, r.Updated() || r.Untouched() ? std::nullopt
                                                                : std::optional<UnitResult>(r)});
    });
}

void Station::Ended(const UnitResult& r) {
    runs_.ShowResult(r);
    if (r.Untouched()) return;  // never started: neither updated nor failed
    const std::string& serial = r.unit.serial_shared ? std::string() : r.unit.unit.serial;
    if (serial.empty() || !failed_serials_.contains(serial)) {
        ++first_attempts_;
        if (r.Updated()) ++first_pass_;
    }
    if (!r.Updated() && !serial.empty()) failed_serials_.insert(serial);
    if (!r.Updated() && failures_.size() < kFailuresShown) {
        failures_.push_back({r.unit.id, r.unit.unit.port, r.unit.unit.serial, r.reason, false});
    }
    if (r.Updated()) {
        ++tally_.updated;
    } else {
        ++tally_.failed;
        if (!first_failure_) first_failure_ = r.exit.value_or(kExitFailed);
        if (stopping_ && r.exit == kExitAborted) aborted_ = true;
    }
    if (!runs_.live()) PrintTally("tally");
}

LiveTally Station::Tally() {
    LiveTally t;
    t.updated = tally_.updated;
    t.failed = tally_.failed;
    t.running = static_cast<unsigned>(runs_.active().size());
    t.units_per_hour =
        UnitsPerHour(tally_.updated + tally_.failed, runs_.clock().NowMs() - start_ms_);
    if (first_attempts_) t.first_pass_yield = double(first_pass_) / first_attempts_;
    return t;
}

void Station::Stop(std::string_view cause) {
    draining_ = true;
    stopping_ = true;
    runs_.Abort(cause);
    EndWhenStopped();
}

void Station::EndWhenStopped() {
    Collect();
    // A unit in a pause takes the stop when its pause is over (a tick after it).
    if (!runs_.active().empty()) return;
    exit_code_ = aborted_ ? kExitAborted : first_failure_.value_or(kExitSuccess);
    runs_.CloseView();
    PrintEnd();
}

void Station::PrintEnd() {
    if (!runs_.json()) {
        RunSummary summary;
        summary.heading = "Station ended";
        summary.updated = tally_.updated;
        summary.failed = tally_.failed;
        summary.failures = failures_;
        for (FailedUnit& f : summary.failures) {
            f.still_plugged = std::any_of(ended_.begin(), ended_.end(), [&](const EndedUnit& e) {
                return e.failure && e.unit.id == f.id;
            });
        }
        summary.duration_ms = runs_.clock().NowMs() - start_ms_;
        PrintSummary(runs_.out(), summary, runs_.colour());
        return;
    }
    for (const EndedUnit& e : ended_) {
        if (!e.failure) continue;
        const UnitResult& r = *e.failure;
        {
            JsonLine line;
            line.Add("event", "failed-still-plugged").Add("unit", r.unit.id);
            r.unit.unit.port.empty() ? line.AddNull("port") : line.Add("port", r.unit.unit.port);
            r.unit.unit.serial.empty() ? line.AddNull("serial")
                                       : line.Add("serial", r.unit.unit.serial);
            runs_.out() << line.Add("reason", r.reason).str() << '\n';
        }
    }
    PrintTally("station-end");
}

void Station::PrintTally(const char* event) {
    std::ostream& out = runs_.out();
    const bool end = std::string_view(event) == "station-end";
    if (runs_.json()) {
        JsonLine line;
        line.Add("event", event)
            .Add("updated", std::uint64_t{tally_.updated})
            .Add("failed", std::uint64_t{tally_.failed});
        if (end) line.Add("exit", static_cast<std::uint64_t>(*exit_code_));
        out << line.str() << '\n';
    } else {
        out << (end ? "Station ended: " : "Tally: ") << tally_.updated << " updated, "
            << tally_.failed << " failed\n";
    }
    out << std::flush;
}

}  // namespace lumo::cli
