#include "cli/records/record.h"

#include <algorithm>
#include <utility>

#include "cli/records/this_process.h"
#include "cli/records/utc_time.h"
#include "cli/records/uuid.h"
#include "lumo_version.h"

namespace lumo::cli::records {

bool IsOutcome(std::string_view outcome) {
    return std::find(std::begin(kOutcomes), std::end(kOutcomes), outcome) != std::end(kOutcomes);
}

int OutcomeRank(std::string_view outcome) {
    if (outcome == "running") return 0;
    if (outcome == "interrupted") return 1;
    return 2;
}

Record BeginRecord(std::string station) {
    Record r;
    r.id = NewUuid();
    r.host = HostName();
    r.station = station.empty() ? r.host : std::move(station);
    r.tool_version = LUMO_VERSION;
    r.started_at = NowUtc();
    const ProcessMark me = ThisProcess();
    r.pid = me.pid;
    r.process_start = me.start;
    return r;
}

Record Interrupted(Record record, std::string noticed_at) {
    record.outcome = "interrupted";
    record.reason = "interrupted";
    record.ended_at = std::move(noticed_at);
    return record;
}

std::optional<std::int64_t> DurationMs(const Record& record) {
    if (!record.ended_at) return std::nullopt;
    const auto start = ParseUtcMs(record.started_at);
    const auto end = ParseUtcMs(*record.ended_at);
    if (!start || !end) return std::nullopt;
    return *end - *start;
}

}  // namespace lumo::cli::records
