#include "cli/multi_run.h"

#include <algorithm>
#include <iomanip>
#include <sstream>
#include <ostream>
#include <string>
#include <utility>

#include "cli/exit_codes.h"
#include "cli/json_line.h"
#include "core/update_sequence.h"
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

namespace {

LiveUnit::State LiveState(UnitPhase phase) {
    switch (phase) {
        case UnitPhase::kFound: return LiveUnit::State::kFound;
        case UnitPhase::kPausing: return LiveUnit::State::kPausing;
        case UnitPhase::kStreaming: return LiveUnit::State::kStreaming;
        case UnitPhase::kSuspended: return LiveUnit::State::kSuspended;
        case UnitPhase::kResumed: return LiveUnit::State::kResumed;
        case UnitPhase::kDone: return LiveUnit::State::kDone;
        case UnitPhase::kFailed: return LiveUnit::State::kFailed;
    }
    return LiveUnit::State::kFound;
}

LiveUnit LiveUnitOf(const UnitResult& r, std::uint64_t now_ms) {
    LiveUnit u;
    u.id = r.unit.id;
    u.port = r.unit.unit.port;
    u.serial = r.unit.unit.serial;
    u.state = LiveState(r.phase);
    u.block = r.block;
    u.blocks = r.blocks;
    u.percent = r.percent;
    const std::uint64_t since = r.started ? r.update_begin_ms : r.begin_ms;
    u.elapsed_ms = now_ms > since ? now_ms - since : 0;
    if (r.started && r.phase != UnitPhase::kSuspended) {
        // The pace is one block per 10 ms tick, then the 500 ms before the finish report.
        const std::uint64_t left = r.blocks > r.block ? r.blocks - r.block : 0;
        u.left_ms = left * UPDATE_TIMER_PERIOD_MS + (left ? UPDATE_FINISH_PAUSE_MS : 0);
    }
    u.reason = r.reason;
    return u;
}

LiveResult LiveResultOf(const UnitResult& r) {
    return {r.unit.id,
            r.unit.unit.port,
            r.unit.unit.serial,
            r.Updated(),
            r.Untouched() ? "not started" : ResultWords(r),
            r.Updated() || r.Untouched() ? "" : r.reason,
            r.DurationMs()};
}

}  // namespace

void UnitRuns::Watch(OutputForm form, int columns, int rows, NoticeLines* notices) {
    if (form == OutputForm::kPlain || mode_ == OutputMode::kJson) return;
    view_ = std::make_unique<LiveView>(out_, form, columns, rows);
    above_buf_.RouteTo([this](std::string_view line) { Notice(line); });
    notices_ = notices;
    if (notices_) notices_->RouteTo([this](std::string_view line) { Notice(line); });
}

UnitRuns::~UnitRuns() {
    if (notices_) notices_->RouteTo({});
}

void UnitRuns::Notice(std::string_view text) {
    if (view_) {
        view_->PrintAbove(text);
    } else {
        err_ << text << std::endl;
    }
}

void UnitRuns::CloseView() {
    if (notices_) notices_->RouteTo({});
    notices_ = nullptr;
    above_buf_.RouteTo({});
    if (view_) view_->Close();
}

void UnitRuns::ShowResult(const UnitResult& r) {
    if (view_) {
        view_->PrintResult(LiveResultOf(r));
    } else if (json()) {
        out_ << UnitResultJson(r) << '\n' << std::flush;
    } else {
        PrintResultLine(out_, r);
        out_ << std::flush;
    }
}

void UnitRuns::Draw(const LiveTally& tally) {
    if (!view_) return;
    const std::uint64_t now = clock_.NowMs();
    std::vector<LiveUnit> units;
    units.reserve(active_.size());
    for (const auto& u : active_) units.push_back(LiveUnitOf(u->result(), now));
    view_->Update(std::move(units), tally, now);
}

UnitRun& UnitRuns::Add(const UnitEntry& entry, std::size_t slot) {
    auto u = std::make_unique<UnitRun>();
    u->entry = entry;
    u->slot = slot;
    u->hid = std::make_unique<OneUnitHid>(hid_, entry);
    // With the live view, the unit's progress lines give way to its live line and result
    // line; its warnings (the stand-in notice among them) and advice go above the view.
    u->out_buf = std::make_unique<TaggedLines>(view_ ? quiet_ : out_, entry.id, json());
    u->err_buf = std::make_unique<TaggedLines>(view_ ? above_ : err_, entry.id, false);
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

void UnitRuns::Drain() {
    StopBeforeStart();
    const auto streaming = static_cast<std::size_t>(std::count_if(
        active_.begin(), active_.end(), [](const auto& u) { return u->Streaming(); }));
    std::ostringstream text;
    ReportDraining(text, streaming);
    Notice(text.str().substr(0, text.str().size() - 1));
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
    err << '\n' << std::flush;
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
    start_ms_ = runs_.clock().NowMs();
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
    if (interrupts_.Lapsed(now)) runs_.Notice("No second Ctrl-C: the updates under way go on to their end.");
    for (auto& u : runs_.active()) u->OnTick();
    Collect();
    unsigned updated = 0, failed = 0;
    for (const UnitResult& r : results_) {
        if (!r.Ended()) continue;
        r.Updated() ? ++updated : ++failed;
    }
    runs_.Draw({updated, failed, static_cast<unsigned>(runs_.active().size()),
                UnitsPerHour(updated + failed, now - start_ms_), std::nullopt});
}

void MultiRun::Collect() {
    runs_.CollectEnded([this](UnitRun& u) {
        results_[u.slot] = u.result();
        // With the live view each unit's result goes above it as the unit ends.
        if (runs_.live()) runs_.ShowResult(u.result());
    });
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
    runs_.Drain();
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
    Collect();
    if (!runs_.active().empty()) return std::nullopt;
    int code = kExitSuccess;
    for (const UnitResult& r : results_) {
        if (!r.Updated()) {
            code = r.exit.value_or(kExitFailed);
            break;
        }
    }
    runs_.CloseView();
    if (!runs_.live()) PrintTable();
    exit_code_ = code;
    if (!runs_.json()) PrintSummary();
    return exit_code_;
}

void MultiRun::PrintSummary() {
    RunSummary summary;
    summary.heading = "All units";
    for (const UnitResult& r : results_) {
        if (r.Updated()) {
            ++summary.updated;
            continue;
        }
        ++summary.failed;
        summary.failures.push_back({r.unit.id, r.unit.unit.port, r.unit.unit.serial,
                                    r.Untouched() ? "not started" : r.reason, false});
    }
    summary.duration_ms = runs_.clock().NowMs() - start_ms_;
    runs_.out() << '\n';
    lumo::cli::PrintSummary(runs_.out(), summary, runs_.colour());
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
