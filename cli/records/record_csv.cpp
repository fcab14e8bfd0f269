#include "cli/records/record_csv.h"

#include <optional>
#include <vector>

namespace lumo::cli::records {

namespace {

constexpr const char* kColumns[] = {
    "id",           "station",    "host",     "tool_version", "unit",           "serial",
    "port",         "product",    "image",    "image_bytes",  "image_sha256",   "stand_in",
    "started_at",   "ended_at",   "blocks_written", "blocks", "resumes",        "outcome",
    "reason",       "exit"};

std::string Join(const std::vector<std::string>& fields) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i) line += ',';
        line += CsvField(fields[i]);
    }
    return line + "\r\n";
}

std::string OrEmpty(const std::optional<std::string>& value) { return value.value_or(""); }

}  // namespace

std::string CsvField(std::string_view value) {
    if (value.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(value);
    std::string out = "\"";
    for (const char c : value) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string RecordsCsvHeader() {
    return Join(std::vector<std::string>(std::begin(kColumns), std::end(kColumns)));
}

std::string RecordCsvLine(const Record& r) {
    return Join({r.id, r.station, r.host, r.tool_version, r.unit, OrEmpty(r.serial),
                 OrEmpty(r.port), r.product, r.image, std::to_string(r.image_bytes),
                 r.image_sha256, r.stand_in ? "true" : "false", r.started_at, OrEmpty(r.ended_at),
                 std::to_string(r.blocks_written), std::to_string(r.blocks),
                 std::to_string(r.resumes), r.outcome, OrEmpty(r.reason),
                 r.exit ? std::to_string(*r.exit) : std::string()});
}

}  // namespace lumo::cli::records
