#include "cli/multi_run.h"

#include <algorithm>
#include <iomanip>
#include <ostream>
#include <string>
#include <utility>

#include "cli/exit_codes.h"
#include "cli/json_line.h"
#include "core/device_link.h"
#include "ports/status_texts.h"

namespace lumo::cli {

void UnitRuns::SharedLifetime::UpdateStarted() {
    if (under_way_++ == 0 && inner) inner->UpdateStarted();
}

void UnitRuns::SharedLifetime::UpdateEnded() {
    if (under_way_ > 0 && --under_way_ == 0 && inner) inner->UpdateEnded();
}

UnitRuns::UnitRuns(HidAccess& hid, Pause& pause, Clock& clock, std::ostream& out,
                   std::ostream& err, OutputMode mode, const RunSettings& settings,
                   ClaimsMaker make_claims, StrandMaker make_strand)
    : hid_(hid),
      pause_(pause),
      clock_(clock),
      out_(out),
      err_(err),
      mode_(mode == OutputMode::kTerminal ? OutputMode::kLines : mode),
      settings_(settings),
      make_claims_(std::move(make_claims)),
      make_strand_(std::move(make_strand)) {
    lifetime_.inner = settings.update.lifetime;
    settings_.update.lifetime = &lifetime_;
}

UnitRun& UnitRuns::Add(const UnitEntry& entry, std::size_t slot) {
    auto u = std::make_unique<UnitRun>();
    u->entry = entry;
    u->slot = slot;
    u->hid = std::make_unique<OneUnitHid>(hid_, entry);
    u->out_buf = std::make_unique<TaggedLines>(out_, entry.id, json());
    u->err_buf = std::make_unique<TaggedLines>(err_, entry.id, false);
    u->out = std::make_unique<std::ostream>(u->out_buf.get());
    u->err = std::make_unique<std::ostream>(u->err_buf.get());
    u->report = std::make_unique<ConsoleReport>(*u->out, *u->err, mode_);
    if (make_claims_) u->claims = make_claims_();
    RunSettings s = settings_;
    s.update.claims = u->claims.get();
    s.several_units = true;
    if (make_strand_) u->strand = make_strand_();
    if (u->strand && settings_.replies_apart) u->hid->AwaitRepliesOn(u->strand.get());
    u->run = std::make_unique<FlashRun>(*u->hid, u->strand ? *u->strand : pause_, clock_,
                                        *u->report, std::move(s));
    u->run->SetUnit(entry);
    active_.push_back(std::move(u));
    return *active_.back();
}

void UnitRuns::CollectEnded(const std::function<void(UnitRun&)>& ended) {
    for (auto it = active_.begin(); it != active_.end();) {
        UnitRun& u = **it;
        if (!u.exit_code()) {
            ++it;
            continue;
        }
        u.out->flush();
        u.err->flush();
        ended(u);
        it = active_.erase(it);  // the run, its device, claim, strand and streams go here
    }
}

bool UnitRuns::AnyStreaming() const {
    return std::any_of(active_.begin(), active_.end(),
                       [](const auto& u) { return u->Streaming(); });
}

void UnitRuns::StopBeforeStart() {
    for (auto& u : active_) u->StopBeforeStart();
}

void UnitRuns::Abort(std::string_view cause) {
    for (auto& u : active_) {
        u->StopBeforeStart();
        u->OnTerminating(cause);
    }
}

void ReportDraining(std::ostream& err, std::size_t streaming) {
    err << "Stopping: no new unit is taken and units not started yet are left untouched; ";
    if (streaming == 0) {
        err << "none is being updated.";
    } else {
        err << "the " << streaming << (streaming == 1 ? " unit" : " units")
            << " being updated finish first. Press Ctrl-C again within 3 s to abort "
            << (streaming == 1 ? "its update" : "their updates")
            << " (the units are then left without complete firmware).";
    }
    err << std::endl;
}

void UnitRun::Deliver(std::function<void()> call) {
    if (!strand) {
        call();
    } else if (strand->Paused() || !held_.empty()) {
        held_.push_back(std::move(call));
    } else {
        strand->Run(std::move(call));
    }
}

void UnitRun::DeliverHeld() {
    while (!held_.empty() && !strand->Paused()) {
        std::function<void()> call = std::move(held_.front());
        held_.pop_front();
        strand->Run(std::move(call));
    }
}

void UnitRun::Begin() {
    Deliver([this] { run->Begin(); });
}

void UnitRun::BeginOnArrival() {
    Deliver([this] { run->BeginOnArrival(); });
}

void UnitRun::OnTick() {
    if (!strand) {
        run->OnTick();
        return;
    }
    strand->Continue();
    DeliverHeld();
    if (!strand->Paused()) strand->Run([this] { run->OnTick(); });
}

void UnitRun::OnDeviceChange(unsigned event) {
    Deliver([this, event] { run->OnDeviceChange(event); });
}

void UnitRun::OnInterrupt() {
    Deliver([this] { run->OnInterrupt(); });
}

void UnitRun::OnTerminating(std::string_view cause) {
    Deliver([this, cause = std::string(cause)] { run->OnTerminating(cause); });
}

bool UnitRun::Held() const { return strand && (strand->Paused() || !held_.empty()); }

std::optional<int> UnitRun::exit_code() const {
    if (Held()) return std::nullopt;
    return run->exit_code();
}

void ReportNoUnits(ConsoleReport& report) {
    report.Failed("no-device", std::string(text::kNotConnected),
                  "--all updates the units present when it starts (with --wait, when the first "
                  "one arrives): plug them in (hold HOME while plugging each in), then run "
                  "lumo-flash --all again.");
}

MultiRun::MultiRun(HidAccess& hid, Pause& pause, Clock& clock, std::ostream& out,
                   std::ostream& err, OutputMode mode, const std::vector<UnitEntry>& units,
                   const RunSettings& settings, const ClaimsMaker& make_claims,
                   const StrandMaker& make_strand)
    : runs_(hid, pause, clock, out, err, mode, settings, make_claims, make_strand),
      report_(out, err, mode),
      initial_(units),
      waiting_(units.empty()),
      wait_s_(settings.wait_s) {}

void MultiRun::Start(const std::vector<UnitEntry>& units, bool arrived) {
    results_.resize(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        results_[i].unit = units[i];
        runs_.Add(units[i], i);
    }
    // Begun once all are made: a unit's first call may pause, and the loop goes on meanwhile.
    for (auto& u : runs_.active()) arrived ? u->BeginOnArrival() : u->Begin();
}

void MultiRun::Begin() {
    if (waiting_) {
        wait_begin_ms_ = runs_.clock().NowMs();
        report_.Waiting(wait_s_);
        Look();
        return;
    }
    Start(initial_, false);
}

void MultiRun::Look() {
    last_look_ms_ = runs_.clock().NowMs();
    const auto units = TryListUnits(runs_.hid());
    if (units && !units->empty()) first_seen_ms_ = last_look_ms_;
}

void MultiRun::TakeUnits() {
    const auto units = TryListUnits(runs_.hid());
    if (!units || units->empty()) {
        first_seen_ms_.reset();  // gone again: the wait goes on
        return;
    }
    waiting_ = false;
    // Each unit is taken as the single-unit run takes the one it waited for: searched as an
    // arrival, with the tool's pause after one.
    Start(*units, true);
}

void MultiRun::EndWait(int code) {
    waiting_ = false;
    exit_code_ = code;
}

void MultiRun::OnTick() {
    if (exit_code_) return;
    const std::uint64_t now = runs_.clock().NowMs();
    if (waiting_) {
        if (first_seen_ms_) {
            // The others plugged in with the first one are all there by the end of the pause.
            if (now - *first_seen_ms_ >= DEVICE_ARRIVAL_PAUSE_MS) TakeUnits();
        } else if (static_cast<double>(now - wait_begin_ms_) >= wait_s_ * 1000.0) {
            ReportNoUnits(report_);
            EndWait(kExitNoDevice);
        } else if (now - last_look_ms_ >= kWaitSearchMs) {
            // A missed arrival notice (or a HID bus still starting) cannot leave units unseen.
            Look();
        }
        return;
    }
    if (interrupts_.Lapsed(now)) {
        runs_.err() << "No second Ctrl-C: the updates under way go on to their end." << std::endl;
    }
    for (auto& u : runs_.active()) u->OnTick();
}

void MultiRun::OnDeviceChange(unsigned event) {
    if (exit_code_) return;
    if (waiting_) {
        if (event == kDeviceArrival && !first_seen_ms_) Look();
        return;
    }
    for (auto& u : runs_.active()) u->OnDeviceChange(event);
}

void MultiRun::OnInterrupt() {
    if (exit_code_) return;
    if (waiting_) {
        OnTerminating("Aborted by the user");
        return;
    }
    const bool second =
        interrupts_.OnInterrupt(runs_.clock().NowMs()) == InterruptPolicy::Step::kSecond;
    if (draining_ && second) {
        runs_.Abort("Aborted by the user");
        return;
    }
    draining_ = true;
    runs_.StopBeforeStart();
    ReportDraining(runs_.err(), static_cast<std::size_t>(std::count_if(
                                    runs_.active().begin(), runs_.active().end(),
                                    [](const auto& u) { return u->Streaming(); })));
}

void MultiRun::OnTerminating(std::string_view cause) {
    if (exit_code_) return;
    if (waiting_) {
        report_.Failed("aborted", std::string(cause) + ".", "Nothing was written to a device.");
        EndWait(kExitAborted);
        return;
    }
    runs_.Abort(cause);
}

std::optional<int> MultiRun::exit_code() {
    if (exit_code_) return exit_code_;
    if (waiting_) return std::nullopt;
    runs_.CollectEnded([this](UnitRun& u) { results_[u.slot] = u.result(); });
    if (!runs_.active().empty()) return std::nullopt;
    int code = kExitSuccess;
    for (const UnitResult& r : results_) {
        if (!r.Updated()) {
            code = r.exit.value_or(kExitFailed);
            break;
        }
    }
    PrintTable();
    exit_code_ = code;
    return exit_code_;
}

void MultiRun::PrintTable() {
    std::ostream& out = runs_.out();
    std::size_t width = 4;
    for (const UnitResult& r : results_) width = std::max(width, r.unit.id.size());
    if (!runs_.json()) {
        out << '\n' << std::left << std::setw(static_cast<int>(width)) << "unit"
            << "  product  exit  result\n";
    }
    for (const UnitResult& r : results_) {
        const int code = r.exit.value_or(kExitFailed);
        if (runs_.json()) {
            out << UnitResultJson(r) << '\n';
        } else {
            out << std::left << std::setw(static_cast<int>(width)) << r.unit.id << "  "
                << (r.unit.variant ? "7b16" : "c3d1") << "     " << std::setw(4) << code << "  "
                << UnitOutcome(code);
            if (!r.Updated() && !r.reason.empty()) out << " (" << r.reason << ")";
            out << '\n';
        }
    }
    out << std::flush;
}

}  // namespace lumo::cli
