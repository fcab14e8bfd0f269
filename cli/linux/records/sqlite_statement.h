// A prepared SQLite statement, finalized when it goes out of scope.
#pragma once

#include <sqlite3.h>

#include <optional>
#include <string>

namespace lumo::cli::records {

class SqliteStatement {
  public:
    SqliteStatement(sqlite3* db, const std::string& sql) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK)
            statement_ = nullptr;
    }
    ~SqliteStatement() { sqlite3_finalize(statement_); }
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    bool ok() const { return statement_ != nullptr; }
    sqlite3_stmt* get() const { return statement_; }

    // 1-based, as SQLite counts parameters; a null binds NULL.
    bool Bind(int index, const std::optional<std::string>& value) {
        if (!value) return sqlite3_bind_null(statement_, index) == SQLITE_OK;
        return sqlite3_bind_text(statement_, index, value->data(), static_cast<int>(value->size()),
                                 SQLITE_TRANSIENT) == SQLITE_OK;
    }
    int Step() { return sqlite3_step(statement_); }
    std::optional<std::string> Text(int column) const {
        if (sqlite3_column_type(statement_, column) == SQLITE_NULL) return std::nullopt;
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
        return std::string(text ? text : "",
                           static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
    }

  private:
    sqlite3_stmt* statement_ = nullptr;
};

}  // namespace lumo::cli::records
