#include "cli/records/run_recorder.h"

#include <utility>

#include "cli/exit_codes.h"
#include "cli/records/utc_time.h"

namespace lumo::cli::records {

std::string OutcomeOf(const UnitResult& r) {
    if (!r.exit) return "running";
    if (r.reason == "several-units") return "refused";
    switch (*r.exit) {
        case kExitSuccess: return "updated";
        case kExitAborted: return "aborted";
        case kExitUnitBusy: return "busy";
        case kExitUsage: return "refused";
        case kExitCannotOpen: return "cannot-open";
        default: return "failed";
    }
}

Record RecordOf(Record base, const UnitResult& r) {
    base.unit = r.unit.id;
    base.serial = r.unit.unit.serial.empty() ? std::nullopt : std::optional(r.unit.unit.serial);
    base.port = r.unit.unit.port.empty() ? std::nullopt : std::optional(r.unit.unit.port);
    base.product = r.product.empty() ? (r.unit.variant ? "7b16" : "c3d1") : r.product;
    base.image = r.image;
    base.image_bytes = r.image_bytes;
    base.image_sha256 = r.image_sha256;
    base.stand_in = r.stand_in;
    base.blocks_written = r.block;
    base.blocks = r.blocks;
    base.resumes = r.resumes;
    base.outcome = OutcomeOf(r);
    if (r.exit) {
        base.exit = *r.exit;
        if (!r.Updated()) base.reason = r.reason.empty() ? "failed" : r.reason;
    }
    return base;
}

std::string RunRecorder::NewId() {
    Record record = BeginRecord(station_);
    std::string id = record.id;
    open_.emplace(id, std::move(record));
    return id;
}

void RunRecorder::Started(const UnitResult& result) {
    const auto it = open_.find(result.record_id);
    if (it == open_.end()) return;
    it->second.started_at = NowUtc();  // when the start report went out
    sink_.Started(RecordOf(it->second, result));
}

void RunRecorder::Ended(const UnitResult& result) {
    const auto it = open_.find(result.record_id);
    if (it == open_.end()) return;
    Record base = std::move(it->second);
    open_.erase(it);
    // A run that never had a unit (none found), or that a stop left untouched, was no attempt.
    if (result.unit.id.empty() || result.Untouched()) return;
    Record record = RecordOf(std::move(base), result);
    record.ended_at = NowUtc();
    sink_.Ended(record);
}

}  // namespace lumo::cli::records
