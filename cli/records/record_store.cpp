#include "cli/records/record_store.h"

#include "cli/records/this_process.h"
#include "cli/records/utc_time.h"

namespace lumo::cli::records {

bool Matches(const RecordFilter& f, const Record& r) {
    const auto same = [](const std::optional<std::string>& want, const std::string& have) {
        return !want || *want == have;
    };
    if (f.serial && r.serial != f.serial) return false;
    return same(f.unit, r.unit) && same(f.station, r.station) && same(f.outcome, r.outcome) &&
           same(f.host, r.host) && (!f.since || r.started_at >= *f.since);
}

std::size_t SettleInterrupted(RecordStore& store, const std::string& host,
                              const std::function<bool(const Record&)>& still_running,
                              const std::string& now) {
    RecordFilter running;
    running.host = host;
    running.outcome = "running";
    running.limit = 0;
    std::size_t settled = 0;
    for (const Record& r : store.Find(running)) {
        if (still_running(r)) continue;
        store.Put(Interrupted(r, now));
        ++settled;
    }
    return settled;
}

std::size_t SettleInterrupted(RecordStore& store) {
    return SettleInterrupted(
        store, HostName(),
        [](const Record& r) { return StillRunning({r.pid, r.process_start}); }, NowUtc());
}

}  // namespace lumo::cli::records
