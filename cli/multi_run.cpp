#include "cli/multi_run.h"

#include <algorithm>
#include <iomanip>
#include <ostream>

#include "cli/exit_codes.h"
#include "cli/json_line.h"

namespace lumo::cli {

namespace {

const char* Outcome(int code) {
    switch (code) {
        case kExitSuccess: return "updated";
        case kExitFailed: return "failed (needs the update again)";
        case kExitNoDevice: return "not found";
        case kExitUsage: return "refused";
        case kExitCannotOpen: return "cannot be opened";
        case kExitUnitBusy: return "busy: another program is updating it";
        case kExitAborted: return "aborted";
        default: return "ended";
    }
}

}  // namespace

void MultiRun::SharedLifetime::UpdateStarted() {
    if (under_way_++ == 0 && inner) inner->UpdateStarted();
}

void MultiRun::SharedLifetime::UpdateEnded() {
    if (under_way_ > 0 && --under_way_ == 0 && inner) inner->UpdateEnded();
}

MultiRun::MultiRun(HidAccess& hid, Pause& pause, Clock& clock, std::ostream& out,
                   std::ostream& err, OutputMode mode, const std::vector<UnitEntry>& units,
                   const RunSettings& settings, const ClaimsMaker& make_claims,
                   const StrandMaker& make_strand)
    : out_(out), json_(mode == OutputMode::kJson) {
    lifetime_.inner = settings.update.lifetime;
    const OutputMode unit_mode = mode == OutputMode::kTerminal ? OutputMode::kLines : mode;
    units_.reserve(units.size());
    for (const UnitEntry& entry : units) {
        Unit u;
        u.entry = entry;
        u.hid = std::make_unique<OneUnitHid>(hid, entry.id);
        u.out_buf = std::make_unique<TaggedLines>(out, entry.id, json_);
        u.err_buf = std::make_unique<TaggedLines>(err, entry.id, false);
        u.out = std::make_unique<std::ostream>(u.out_buf.get());
        u.err = std::make_unique<std::ostream>(u.err_buf.get());
        u.report = std::make_unique<ConsoleReport>(*u.out, *u.err, unit_mode);
        if (make_claims) u.claims = make_claims();
        RunSettings s = settings;
        s.update.claims = u.claims.get();
        s.update.lifetime = &lifetime_;
        if (make_strand) u.strand = make_strand();
        u.run = std::make_unique<FlashRun>(*u.hid, u.strand ? *u.strand : pause, clock,
                                           *u.report, std::move(s));
        units_.push_back(std::move(u));
    }
}

void MultiRun::Deliver(Unit& u, std::function<void()> call) {
    if (!u.strand) {
        call();
    } else if (u.strand->Paused() || !u.held.empty()) {
        u.held.push_back(std::move(call));
    } else {
        u.strand->Run(std::move(call));
    }
}

void MultiRun::DeliverHeld(Unit& u) {
    while (!u.held.empty() && !u.strand->Paused()) {
        std::function<void()> call = std::move(u.held.front());
        u.held.erase(u.held.begin());
        u.strand->Run(std::move(call));
    }
}

void MultiRun::Begin() {
    for (Unit& u : units_) Deliver(u, [&u] { u.run->Begin(); });
}

void MultiRun::OnTick() {
    for (Unit& u : units_) {
        if (!u.strand) {
            u.run->OnTick();
            continue;
        }
        // Ticks that come during a pause count as none, as a window's timer coalesces them.
        u.strand->Continue();
        DeliverHeld(u);
        if (!u.strand->Paused()) u.strand->Run([&u] { u.run->OnTick(); });
    }
}

void MultiRun::OnDeviceChange(unsigned event) {
    for (Unit& u : units_) Deliver(u, [&u, event] { u.run->OnDeviceChange(event); });
}

void MultiRun::OnInterrupt() {
    for (Unit& u : units_) Deliver(u, [&u] { u.run->OnInterrupt(); });
}

std::optional<int> MultiRun::exit_code() {
    if (exit_code_) return exit_code_;
    for (const Unit& u : units_)
        if (!u.run->exit_code()) return std::nullopt;
    int code = kExitSuccess;
    for (const Unit& u : units_) {
        if (*u.run->exit_code() != kExitSuccess) {
            code = *u.run->exit_code();
            break;
        }
    }
    PrintTable();
    exit_code_ = code;
    return exit_code_;
}

void MultiRun::PrintTable() {
    for (Unit& u : units_) u.out->flush();
    std::size_t width = 4;
    for (const Unit& u : units_) width = std::max(width, u.entry.id.size());
    if (!json_) out_ << '\n' << std::left << std::setw(static_cast<int>(width)) << "unit"
                     << "  product  exit  result\n";
    for (const Unit& u : units_) {
        const int code = *u.run->exit_code();
        const std::string product = u.entry.variant ? "7b16" : "c3d1";
        if (json_) {
            out_ << JsonLine()
                        .Add("event", "unit-result")
                        .Add("unit", u.entry.id)
                        .Add("product", product)
                        .Add("exit", static_cast<std::uint64_t>(code))
                        .Add("result", Outcome(code))
                        .str()
                 << '\n';
        } else {
            out_ << std::left << std::setw(static_cast<int>(width)) << u.entry.id << "  "
                 << product << "     " << std::setw(4) << code << "  " << Outcome(code) << '\n';
        }
    }
    out_ << std::flush;
}

}  // namespace lumo::cli
