#include "cli/unit_result.h"

#include <ostream>

#include "cli/exit_codes.h"
#include "cli/json_line.h"

namespace lumo::cli {

const char* PhaseName(UnitPhase phase) {
    switch (phase) {
        case UnitPhase::kFound: return "found";
        case UnitPhase::kPausing: return "waiting";
        case UnitPhase::kStreaming: return "streaming";
        case UnitPhase::kSuspended: return "suspended";
        case UnitPhase::kResumed: return "resumed";
        case UnitPhase::kDone: return "done";
        case UnitPhase::kFailed: return "failed";
    }
    return "";
}

bool UnitResult::Updated() const { return exit && *exit == kExitSuccess; }

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

const char* ResultWords(const UnitResult& r) {
    if (r.Untouched()) return "not started: the run was stopping; nothing was written";
    if (r.reason == "claim-failed") return "not claimed: nothing was written";
    return UnitOutcome(r.exit.value_or(kExitFailed));
}

std::string UnitResultJson(const UnitResult& r) {
    const int code = r.exit.value_or(kExitFailed);
    JsonLine line;
    line.Add("event", "unit-result")
        .Add("unit", r.unit.id)
        .Add("product", r.product.empty() ? (r.unit.variant ? "7b16" : "c3d1") : r.product)
        .Add("exit", static_cast<std::uint64_t>(code))
        .Add("result", ResultWords(r));
    r.unit.unit.port.empty() ? line.AddNull("port") : line.Add("port", r.unit.unit.port);
    r.unit.unit.serial.empty() ? line.AddNull("serial") : line.Add("serial", r.unit.unit.serial);
    r.reason.empty() ? line.AddNull("reason") : line.Add("reason", r.reason);
    if (!r.record_id.empty()) line.Add("record", r.record_id);
    return line.str();
}

void PrintResultLine(std::ostream& out, const UnitResult& r) {
    out << '[' << r.unit.id << "] result: " << ResultWords(r) << " (exit "
        << r.exit.value_or(kExitFailed) << ')';
    if (!r.unit.unit.port.empty() && r.unit.unit.port != r.unit.id)
        out << ", port " << r.unit.unit.port;
    if (!r.unit.unit.serial.empty() && r.unit.unit.serial != r.unit.id)
        out << ", serial " << r.unit.unit.serial;
    if (!r.Updated() && !r.Untouched() && !r.reason.empty()) out << ", reason " << r.reason;
    out << '\n';
}

}  // namespace lumo::cli
