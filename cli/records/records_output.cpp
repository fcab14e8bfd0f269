#include "cli/records/records_output.h"

#include <cstdio>
#include <ostream>
#include <string>

#include "cli/json_line.h"
#include "cli/records/record_csv.h"
#include "cli/records/record_json.h"

namespace lumo::cli::records {

namespace {

using Cells = std::vector<std::string>;

// Columns padded to their widest cell (counted in bytes: IDs, ports and reasons are ASCII).
void PrintTable(std::ostream& out, const std::vector<Cells>& rows) {
    std::vector<std::size_t> widths;
    for (const Cells& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    for (const Cells& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        out << line << '\n';
    }
}

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", s);
    return text;
}

std::string Dash(const std::optional<std::string>& value) { return value.value_or("-"); }

Cells TableRow(const Record& r) {
    // "2026-12-11T07:01:02.345Z" as "2026-12-11 07:01:02".
    std::string started = r.started_at.substr(0, 19);
    if (started.size() > 10) started[10] = ' ';
    const auto ms = DurationMs(r);
    return {started,
            r.station,
            r.unit,
            Dash(r.serial),
            Dash(r.port),
            r.product,
            r.outcome,
            Dash(r.reason),
            std::to_string(r.blocks_written) + "/" + std::to_string(r.blocks),
            std::to_string(r.resumes),
            ms ? Seconds(double(*ms) / 1000.0) : "-"};
}

std::string SummaryJson(const SummaryRow& row) {
    JsonLine line;
    line.Add("day", row.day)
        .Add("station", row.station)
        .Add("image", row.image)
        .Add("attempts", std::uint64_t{row.attempts})
        .Add("units", std::uint64_t{row.units})
        .Add("units_updated", std::uint64_t{row.units_updated})
        .Add("first_pass", std::uint64_t{row.first_pass});
    std::string text = line.str();
    text.pop_back();  // the closing brace: what JsonLine cannot write follows
    char yield[32];
    std::snprintf(yield, sizeof yield, "%.4f", row.FirstPassYield());
    text += ",\"first_pass_yield\":" + std::string(yield) + ",\"failed\":{";
    bool first = true;
    for (const auto& [reason, n] : row.failed) {
        // Appended piece by piece: GCC 12's -Wrestrict misreads "literal" + std::string at -O3.
        text.append(first ? "" : ",").append(JsonString(reason)).append(":").append(
            std::to_string(n));
        first = false;
    }
    text += "},\"mean_duration_s\":";
    if (row.mean_duration_s) {
        char mean[32];
        std::snprintf(mean, sizeof mean, "%.3f", *row.mean_duration_s);
        text += mean;
    } else {
        text += "null";
    }
    return text + "}";
}

std::string Percent(const SummaryRow& row) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", row.FirstPassYield() * 100.0);
    return std::string(text)
        .append(" (")
        .append(std::to_string(row.first_pass))
        .append("/")
        .append(std::to_string(row.units))
        .append(")");
}

}  // namespace

void PrintRecords(std::ostream& out, const std::vector<Record>& records, OutputForm form) {
    if (form == OutputForm::kJson) {
        for (const Record& r : records) out << RecordJson(r) << '\n';
    } else if (form == OutputForm::kCsv) {
        out << RecordsCsvHeader();
        for (const Record& r : records) out << RecordCsvLine(r);
    } else if (records.empty()) {
        out << "No records.\n";
    } else {
        std::vector<Cells> rows{{"STARTED (UTC)", "STATION", "UNIT", "SERIAL", "PORT", "PRODUCT",
                                 "OUTCOME", "REASON", "BLOCKS", "RESUMES", "TIME"}};
        for (const Record& r : records) rows.push_back(TableRow(r));
        PrintTable(out, rows);
    }
    out.flush();
}

void PrintSummary(std::ostream& out, const std::vector<SummaryRow>& rows, OutputForm form) {
    if (form == OutputForm::kJson) {
        for (const SummaryRow& row : rows) out << SummaryJson(row) << '\n';
    } else if (form == OutputForm::kCsv) {
        out << "day,station,image,attempts,units,units_updated,first_pass,first_pass_yield,"
               "failed,failed_by_reason,mean_duration_s\r\n";
        for (const SummaryRow& row : rows) {
            char yield[32], mean[32] = "";
            std::snprintf(yield, sizeof yield, "%.4f", row.FirstPassYield());
            if (row.mean_duration_s) std::snprintf(mean, sizeof mean, "%.3f", *row.mean_duration_s);
            out << CsvField(row.day) << ',' << CsvField(row.station) << ','
                << CsvField(row.image) << ',' << row.attempts << ',' << row.units << ','
                << row.units_updated << ',' << row.first_pass << ',' << yield << ','
                << row.FailedCount() << ',' << CsvField(row.failed.empty() ? "" : row.FailedText())
                << ',' << mean << "\r\n";
        }
    } else if (rows.empty()) {
        out << "No records.\n";
    } else {
        std::vector<Cells> table{{"DAY", "STATION", "IMAGE", "ATTEMPTS", "UPDATED", "FAILED",
                                  "FIRST-PASS YIELD", "MEAN TIME"}};
        for (const SummaryRow& row : rows) {
            table.push_back({row.day, row.station, row.image, std::to_string(row.attempts),
                             std::to_string(row.units_updated), row.FailedText(), Percent(row),
                             row.mean_duration_s ? Seconds(*row.mean_duration_s) : "-"});
        }
        PrintTable(out, table);
    }
    out.flush();
}

}  // namespace lumo::cli::records
