// Records summed up per day (UTC), station and image, for a line's daily report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cli/records/record.h"

namespace lumo::cli::records {

struct SummaryRow {
    std::string day, station, image;
    std::size_t attempts = 0;
    std::size_t units = 0;          // distinct units attempted
    std::size_t units_updated = 0;  // distinct units with an attempt that updated them
    std::size_t first_pass = 0;     // units whose first attempt here updated them
    std::map<std::string, std::size_t> failed;  // attempts that ended otherwise, by reason
    std::optional<double> mean_duration_s;      // over attempts that ended

    // first_pass over units: 0 to 1.
    double FirstPassYield() const { return units ? double(first_pass) / double(units) : 0; }
    std::size_t FailedCount() const;
    std::string FailedText() const;  // "timeout 2, unplugged 1", or "-" when none
};

// Rows in order of day, station and image. The records may come in any order.
std::vector<SummaryRow> Summarize(const std::vector<Record>& records);

}  // namespace lumo::cli::records
