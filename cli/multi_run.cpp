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

const char* UnitOutcome(int code) {
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

std::string UnitResultJson(const UnitEntry& unit, int code) {
    return JsonLine()
        .Add("event", "unit-result")
        .Add("unit", unit.id)
        .Add("product", unit.variant ? "7b16" : "c3d1")
        .Add("exit", static_cast<std::uint64_t>(code))
        .Add("result", UnitOutcome(code))
        .str();
}

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

std::unique_ptr<UnitRun> UnitRuns::Make(const UnitEntry& entry) {
    auto u = std::make_unique<UnitRun>();
    u->entry = entry;
    u->hid = std::make_unique<OneUnitHid>(hid_, entry);
    u->out_buf = std::make_unique<TaggedLines>(out_, entry.id, json());
    u->err_buf = std::make_unique<TaggedLines>(err_, entry.id, false);
    u->out = std::make_unique<std::ostream>(u->out_buf.get());
    u->err = std::make_unique<std::ostream>(u->err_buf.get());
    u->report = std::make_unique<ConsoleReport>(*u->out, *u->err, mode_);
    if (make_claims_) u->claims = make_claims_();
    RunSettings s = settings_;
    s.update.claims = u->claims.get();
    if (make_strand_) u->strand = make_strand_();
    u->run = std::make_unique<FlashRun>(*u->hid, u->strand ? *u->strand : pause_, clock_,
                                        *u->report, std::move(s));
    return u;
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
      waiting_(units.empty()),
      wait_s_(settings.wait_s) {
    units_.reserve(units.size());
    for (const UnitEntry& entry : units) units_.push_back(runs_.Make(entry));
}

void MultiRun::Begin() {
    if (waiting_) {
        wait_begin_ms_ = runs_.clock().NowMs();
        report_.Waiting(wait_s_);
        Look();
        return;
    }
    for (auto& u : units_) u->Begin();
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
    for (const UnitEntry& entry : *units) units_.push_back(runs_.Make(entry));
    // Each unit is taken as the single-unit run takes the one it waited for: searched as an
    // arrival, with the tool's pause after one.
    for (auto& u : units_) u->BeginOnArrival();
}

void MultiRun::EndWait(int code) {
    waiting_ = false;
    exit_code_ = code;
}

void MultiRun::OnTick() {
    if (exit_code_) return;
    if (waiting_) {
        const std::uint64_t now = runs_.clock().NowMs();
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
    for (auto& u : units_) u->OnTick();
}

void MultiRun::OnDeviceChange(unsigned event) {
    if (exit_code_) return;
    if (waiting_) {
        if (event == kDeviceArrival && !first_seen_ms_) Look();
        return;
    }
    for (auto& u : units_) u->OnDeviceChange(event);
}

void MultiRun::OnInterrupt() {
    if (waiting_) {
        OnTerminating("Aborted by the user");
        return;
    }
    for (auto& u : units_) u->OnInterrupt();
}

void MultiRun::OnTerminating(std::string_view cause) {
    if (exit_code_) return;
    if (waiting_) {
        report_.Failed("aborted", std::string(cause) + ".", "Nothing was written to a device.");
        EndWait(kExitAborted);
        return;
    }
    for (auto& u : units_) u->OnTerminating(cause);
}

std::optional<int> MultiRun::exit_code() {
    if (exit_code_) return exit_code_;
    if (waiting_) return std::nullopt;
    for (auto& u : units_)
        if (!u->exit_code()) return std::nullopt;
    int code = kExitSuccess;
    for (auto& u : units_) {
        if (*u->run->exit_code() != kExitSuccess) {
            code = *u->run->exit_code();
            break;
        }
    }
    PrintTable();
    exit_code_ = code;
    return exit_code_;
}

void MultiRun::PrintTable() {
    std::ostream& out = runs_.out();
    for (auto& u : units_) u->out->flush();
    std::size_t width = 4;
    for (const auto& u : units_) width = std::max(width, u->entry.id.size());
    if (!runs_.json()) {
        out << '\n' << std::left << std::setw(static_cast<int>(width)) << "unit"
            << "  product  exit  result\n";
    }
    for (auto& u : units_) {
        const int code = *u->run->exit_code();
        if (runs_.json()) {
            out << UnitResultJson(u->entry, code) << '\n';
        } else {
            out << std::left << std::setw(static_cast<int>(width)) << u->entry.id << "  "
                 << (u->entry.variant ? "7b16" : "c3d1") << "     " << std::setw(4) << code
                 << "  " << UnitOutcome(code) << '\n';
        }
    }
    out << std::flush;
}

}  // namespace lumo::cli
