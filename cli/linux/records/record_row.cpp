#include "cli/linux/records/record_row.h"

#include <charconv>

namespace lumo::cli::records {

namespace {

std::uint64_t ToCount(const std::optional<std::string>& text, const std::string& where,
                      const char* column) {
    std::uint64_t value = 0;
    if (!text) return 0;
    const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (ec != std::errc() || end != text->data() + text->size())
        throw StoreError(where + ": column " + column + " holds \"" + *text + "\", not a number");
    return value;
}

// How far along a row is, in SQL, as OutcomeRank says.
std::string RankSql(const std::string& row) {
    return "(CASE " + row + ".outcome WHEN 'running' THEN 0 WHEN 'interrupted' THEN 1 ELSE 2 END)";
}

}  // namespace

const std::vector<std::string>& RecordColumns() {
    static const std::vector<std::string> columns = {
        "id",           "station",    "host",     "tool_version",   "unit",
        "serial",       "port",       "product",  "image",          "image_bytes",
        "image_sha256", "stand_in",   "started_at", "ended_at",     "blocks_written",
        "blocks",       "resumes",    "outcome",  "reason",         "\"exit\"",
        "pid",          "process_start"};
    return columns;
}

Row RecordRow(const Record& r) {
    return {r.id,
            r.station,
            r.host,
            r.tool_version,
            r.unit,
            r.serial,
            r.port,
            r.product,
            r.image,
            std::to_string(r.image_bytes),
            r.image_sha256,
            std::string(r.stand_in ? "1" : "0"),  // both engines take 1 and 0 for a boolean
            r.started_at,
            r.ended_at,
            std::to_string(r.blocks_written),
            std::to_string(r.blocks),
            std::to_string(r.resumes),
            r.outcome,
            r.reason,
            r.exit ? std::optional<std::string>(std::to_string(*r.exit)) : std::nullopt,
            std::to_string(r.pid),
            r.process_start};
}

Record RecordFromRow(const Row& row, const std::string& where) {
    if (row.size() != RecordColumns().size()) throw StoreError(where + ": a row of the wrong width");
    const auto text = [&](std::size_t i) { return row[i].value_or(""); };
    Record r;
    r.id = text(0);
    r.station = text(1);
    r.host = text(2);
    r.tool_version = text(3);
    r.unit = text(4);
    r.serial = row[5];
    r.port = row[6];
    r.product = text(7);
    r.image = text(8);
    r.image_bytes = ToCount(row[9], where, "image_bytes");
    r.image_sha256 = text(10);
    r.stand_in = text(11) == "1" || text(11) == "t" || text(11) == "true";
    r.started_at = text(12);
    r.ended_at = row[13];
    r.blocks_written = ToCount(row[14], where, "blocks_written");
    r.blocks = ToCount(row[15], where, "blocks");
    r.resumes = ToCount(row[16], where, "resumes");
    r.outcome = text(17);
    r.reason = row[18];
    if (row[19]) r.exit = static_cast<int>(ToCount(row[19], where, "exit"));
    r.pid = ToCount(row[20], where, "pid");
    r.process_start = text(21);
    return r;
}

std::string UpsertSql(const SqlDialect& d) {
    const auto& columns = RecordColumns();
    std::string names, values, updates;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        names += (i ? ", " : "") + columns[i];
        values += (i ? ", " : "") + d.Param(i + 1);
        if (i) updates += (i > 1 ? ", " : "") + columns[i] + " = excluded." + columns[i];
    }
    return "INSERT INTO records (" + names + ") VALUES (" + values +
           ") ON CONFLICT (id) DO UPDATE SET " + updates + " WHERE " + RankSql("excluded") +
           " > " + RankSql("records");
}

std::string FindSql(const SqlDialect& d, const RecordFilter& f, std::vector<std::string>& params) {
    std::string select;
    for (const std::string& column : RecordColumns()) {
        select += select.empty() ? "" : ", ";
        if (d.postgres && (column == "started_at" || column == "ended_at")) {
            // Times come back in the form records write them, whatever the session's zone.
            select += "to_char(" + column +
                      " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')";
        } else {
            select += column;
        }
    }
    std::string where;
    const auto add = [&](const char* condition, const std::optional<std::string>& value) {
        if (!value) return;
        params.push_back(*value);
        where += (where.empty() ? " WHERE " : " AND ") + std::string(condition) +
                 d.Param(params.size());
    };
    add("serial = ", f.serial);
    add("unit = ", f.unit);
    add("station = ", f.station);
    add("outcome = ", f.outcome);
    add("host = ", f.host);
    add("started_at >= ", f.since);
    std::string sql = "SELECT " + select + " FROM records" + where +
                      " ORDER BY started_at DESC, id";
    if (f.limit) sql += " LIMIT " + std::to_string(f.limit);
    return sql;
}

std::string UrlWithoutPassword(const std::string& url) {
    const auto scheme = url.find("://");
    if (scheme == std::string::npos) return url;
    const auto at = url.find('@', scheme + 3);
    const auto slash = url.find('/', scheme + 3);
    if (at == std::string::npos || (slash != std::string::npos && slash < at)) {
        // No user part; a password may still come as a parameter.
        const auto password = url.find("password=");
        if (password == std::string::npos) return url;
        const auto end = url.find('&', password);
        return url.substr(0, password) + "password=***" +
               (end == std::string::npos ? "" : url.substr(end));
    }
    const auto colon = url.find(':', scheme + 3);
    if (colon == std::string::npos || colon > at) return url;
    return url.substr(0, colon) + ":***" + url.substr(at);
}

std::string NewerSchemaError(const std::string& where, long long version) {
    return where + ": its records schema is version " + std::to_string(version) +
           ", newer than this lumo-flash knows (" + std::to_string(kSchemaVersion) +
           "); use a newer lumo-flash";
}

}  // namespace lumo::cli::records
