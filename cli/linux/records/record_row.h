// What the SQLite and PostgreSQL stores share: the records table's columns, a record as a row
// of texts (both libraries bind and read text), and the SQL of the write and of a search.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/records/record.h"
#include "cli/records/record_store.h"

namespace lumo::cli::records {

// The schema this build writes. A database with a higher one came from a newer lumo-flash.
inline constexpr int kSchemaVersion = 1;

using Row = std::vector<std::optional<std::string>>;

// In the order of RecordColumns().
Row RecordRow(const Record& record);
// Throws StoreError naming `where` when a row cannot be a record.
Record RecordFromRow(const Row& row, const std::string& where);

struct SqlDialect {
    bool postgres = false;
    std::string Param(std::size_t n) const {  // 1-based
        return (postgres ? "$" : "?") + std::to_string(n);
    }
};

const std::vector<std::string>& RecordColumns();

// Inserts the row, or moves an existing row of that ID on when the new state is further
// along (running < interrupted < an end); never back.
std::string UpsertSql(const SqlDialect& dialect);

// The matching rows, newest first, with the parameters to bind.
std::string FindSql(const SqlDialect& dialect, const RecordFilter& filter,
                    std::vector<std::string>& params);

// A message's name for a database: its path, or its URL without a password.
std::string UrlWithoutPassword(const std::string& url);

// "<where>: schema version N is newer than this lumo-flash knows (M); use a newer lumo-flash"
std::string NewerSchemaError(const std::string& where, long long version);

}  // namespace lumo::cli::records
