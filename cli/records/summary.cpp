#include "cli/records/summary.h"

#include <algorithm>
#include <set>
#include <tuple>

namespace lumo::cli::records {

std::size_t SummaryRow::FailedCount() const {
    std::size_t count = 0;
    for (const auto& [reason, n] : failed) count += n;
    return count;
}

std::string SummaryRow::FailedText() const {
    std::string text;
    for (const auto& [reason, n] : failed)
        text.append(text.empty() ? "" : ", ").append(reason).append(" ").append(std::to_string(n));
    return text.empty() ? "-" : text;
}

std::vector<SummaryRow> Summarize(const std::vector<Record>& records) {
    // Oldest first, so that a unit's first attempt in a group is met first.
    std::vector<const Record*> ordered;
    for (const Record& r : records) ordered.push_back(&r);
    std::stable_sort(ordered.begin(), ordered.end(), [](const Record* a, const Record* b) {
        return a->started_at < b->started_at;
    });

    struct Group {
        SummaryRow row;
        std::set<std::string> units, updated;
        double duration_total_s = 0;
        std::size_t durations = 0;
    };
    std::map<std::tuple<std::string, std::string, std::string>, Group> groups;
    for (const Record* r : ordered) {
        const std::string day = r->started_at.substr(0, 10);
        Group& g = groups[{day, r->station, r->image}];
        g.row.day = day;
        g.row.station = r->station;
        g.row.image = r->image;
        ++g.row.attempts;
        if (g.units.insert(r->unit).second && r->outcome == "updated") ++g.row.first_pass;
        if (r->outcome == "updated") {
            g.updated.insert(r->unit);
        } else if (r->outcome != "running") {
            ++g.row.failed[r->reason.value_or(r->outcome)];
        }
        if (const auto ms = DurationMs(*r)) {
            g.duration_total_s += double(*ms) / 1000.0;
            ++g.durations;
        }
    }
    std::vector<SummaryRow> rows;
    for (auto& [key, g] : groups) {
        g.row.units = g.units.size();
        g.row.units_updated = g.updated.size();
        if (g.durations) g.row.mean_duration_s = g.duration_total_s / double(g.durations);
        rows.push_back(std::move(g.row));
    }
    return rows;
}

}  // namespace lumo::cli::records
