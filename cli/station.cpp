#include "cli/station.h"

#include <algorithm>
#include <ostream>

#include "cli/exit_codes.h"
#include "cli/json_line.h"

namespace lumo::cli {

Station::Station(HidAccess& hid, Pause& pause, Clock& clock, std::ostream& out,
                 std::ostream& err, OutputMode mode, const RunSettings& settings,
                 const ClaimsMaker& make_claims, const StrandMaker& make_strand)
    : runs_(hid, pause, clock, out, err, mode, settings, make_claims, make_strand) {}

void Station::Begin() {
    runs_.err() << "lumo-flash: station: every Orvel-M8 plugged in in update mode is updated; "
                   "Ctrl-C ends the station."
                << std::endl;
    last_look_ms_ = runs_.clock().NowMs();
    Look();
}

void Station::OnTick() {
    if (exit_code_) return;
    if (stopping_) {
        for (auto& u : active_) u->OnTick();
        EndWhenStopped();
        return;
    }
    const std::uint64_t now = runs_.clock().NowMs();
    if (first_interrupt_ms_ && now - *first_interrupt_ms_ > kSecondInterruptMs) {
        first_interrupt_ms_.reset();
        runs_.err() << "No second Ctrl-C: the updates go on." << std::endl;
    }
    for (auto& u : active_) u->OnTick();
    Collect();
    if (now - last_look_ms_ >= kWaitSearchMs) {
        last_look_ms_ = now;
        Look();
    }
}

void Station::OnDeviceChange(unsigned event) {
    if (exit_code_ || stopping_) return;
    // The runs first: a unit back from an unplug is its own run's, not a new one.
    for (auto& u : active_) u->OnDeviceChange(event);
    Collect();
    last_look_ms_ = runs_.clock().NowMs();
    Look();
}

void Station::OnInterrupt() {
    if (exit_code_ || stopping_) return;
    const std::uint64_t now = runs_.clock().NowMs();
    const bool second = first_interrupt_ms_ && now - *first_interrupt_ms_ <= kSecondInterruptMs;
    if (Updating() && !second) {
        first_interrupt_ms_ = now;
        runs_.err() << "Stopping now leaves the units being updated without complete firmware. "
                       "Press Ctrl-C again within 3 s to abort their updates and end the "
                       "station; otherwise they go on."
                    << std::endl;
        return;
    }
    Stop("Aborted by the user");
}

void Station::OnTerminating(std::string_view cause) {
    if (exit_code_ || stopping_) return;
    Stop(cause);
}

bool Station::Updating() const {
    return std::any_of(active_.begin(), active_.end(),
                       [](const auto& u) { return u->run->tool().IsUpdating(); });
}

void Station::Look() {
    const auto units = TryListUnits(runs_.hid());
    if (!units) return;  // a listing that failed says nothing about who left
    std::erase_if(ended_, [&](const std::string& id) {
        return std::none_of(units->begin(), units->end(),
                            [&](const UnitEntry& u) { return u.id == id; });
    });
    for (const UnitEntry& unit : *units) {
        const bool known = ended_.contains(unit.id) ||
                           std::any_of(active_.begin(), active_.end(), [&](const auto& u) {
                               return u->entry.id == unit.id;
                           });
        if (known) continue;
        active_.push_back(runs_.Make(unit));
        active_.back()->BeginOnArrival();
    }
    Collect();
}

void Station::Collect() {
    for (auto it = active_.begin(); it != active_.end();) {
        UnitRun& u = **it;
        const std::optional<int> code = u.exit_code();
        if (!code) {
            ++it;
            continue;
        }
        u.out->flush();
        u.err->flush();
        if (*code == kExitSuccess) {
            ++tally_.updated;
        } else {
            ++tally_.failed;
            if (!first_failure_) first_failure_ = *code;
        }
        if (runs_.json()) {
            runs_.out() << UnitResultJson(u.entry, *code) << '\n';
        } else {
            runs_.out() << '[' << u.entry.id << "] result: " << UnitOutcome(*code) << " (exit "
                        << *code << ")\n";
        }
        PrintTally("tally");
        ended_.insert(u.entry.id);
        it = active_.erase(it);
    }
}

void Station::Stop(std::string_view cause) {
    stopping_ = true;
    for (auto& u : active_) {
        // A unit in a pause goes on to its update before it takes the stop.
        if (u->run->tool().IsUpdating() || u->Held()) aborted_ = true;
        u->OnTerminating(cause);
    }
    EndWhenStopped();
}

void Station::EndWhenStopped() {
    Collect();
    // A unit in a pause takes the stop when its pause is over (a tick after it).
    if (!active_.empty()) return;
    exit_code_ = aborted_ ? kExitAborted : first_failure_.value_or(kExitSuccess);
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
