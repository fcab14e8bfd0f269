#include "cli/linux/records/sqlite_store.h"

#include <sqlite3.h>

#include "cli/linux/records/record_row.h"
#include "cli/linux/records/sqlite_statement.h"

namespace lumo::cli::records {

namespace {

// Each schema version's step from the one before; index 0 makes version 1.
constexpr const char* kMigrations[] = {
    "CREATE TABLE records ("
    " id TEXT PRIMARY KEY NOT NULL,"
    " station TEXT NOT NULL, host TEXT NOT NULL, tool_version TEXT NOT NULL,"
    " unit TEXT NOT NULL, serial TEXT, port TEXT, product TEXT NOT NULL,"
    " image TEXT NOT NULL, image_bytes INTEGER NOT NULL, image_sha256 TEXT NOT NULL,"
    " stand_in INTEGER NOT NULL,"
    " started_at TEXT NOT NULL, ended_at TEXT,"
    " blocks_written INTEGER NOT NULL, blocks INTEGER NOT NULL, resumes INTEGER NOT NULL,"
    " outcome TEXT NOT NULL, reason TEXT, \"exit\" INTEGER,"
    " pid INTEGER NOT NULL, process_start TEXT NOT NULL);"
    "CREATE INDEX records_started_at ON records (started_at);"
    "CREATE INDEX records_serial ON records (serial);"
    "CREATE INDEX records_unit ON records (unit);"
    "CREATE INDEX records_running ON records (host, outcome);",
};
static_assert(std::size(kMigrations) == kSchemaVersion);

// How long a write waits for another process's transaction on the same file.
constexpr int kBusyTimeoutMs = 10000;

}  // namespace

SqliteStore::SqliteStore(std::string path) : path_(std::move(path)) {
    if (sqlite3_open_v2(path_.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError("cannot open the records database " + path_ + ": " + why);
    }
    try {
        Prepare();
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

SqliteStore::~SqliteStore() { sqlite3_close(db_); }

void SqliteStore::Fail(const std::string& doing) {
    throw StoreError("records database " + path_ + ": " + doing + ": " + sqlite3_errmsg(db_));
}

void SqliteStore::Exec(const std::string& sql) {
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail("failed");
}

void SqliteStore::Prepare() {
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    // The first statement reads the file: a file that is not a database fails here.
    if (sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr) != SQLITE_OK)
        throw StoreError("cannot open the records database " + path_ + ": " + sqlite3_errmsg(db_));
    Exec("BEGIN IMMEDIATE");
    try {
        long long version = 0;
        {
            SqliteStatement exists(db_,
                                   "SELECT 1 FROM sqlite_master WHERE type = 'table' AND "
                                   "name = 'lumo_schema'");
            if (!exists.ok()) Fail("cannot read its schema");
            if (exists.Step() == SQLITE_ROW) {
                SqliteStatement read(db_, "SELECT max(version) FROM lumo_schema");
                if (!read.ok() || read.Step() != SQLITE_ROW) Fail("cannot read its schema version");
                version = sqlite3_column_int64(read.get(), 0);
            } else {
                Exec("CREATE TABLE lumo_schema (version INTEGER NOT NULL)");
            }
        }
        if (version > kSchemaVersion) throw StoreError(NewerSchemaError(path_, version));
        for (long long v = version; v < kSchemaVersion; ++v) Exec(kMigrations[v]);
        if (version < kSchemaVersion) {
            Exec("DELETE FROM lumo_schema");
            Exec("INSERT INTO lumo_schema (version) VALUES (" + std::to_string(kSchemaVersion) +
                 ")");
        }
        Exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void SqliteStore::Put(const Record& record) {
    SqliteStatement upsert(db_, UpsertSql(SqlDialect{false}));
    if (!upsert.ok()) Fail("cannot write a record");
    const Row row = RecordRow(record);
    for (std::size_t i = 0; i < row.size(); ++i) upsert.Bind(static_cast<int>(i + 1), row[i]);
    if (upsert.Step() != SQLITE_DONE) Fail("cannot write a record");
}

std::vector<Record> SqliteStore::Find(const RecordFilter& filter) {
    std::vector<std::string> params;
    SqliteStatement find(db_, FindSql(SqlDialect{false}, filter, params));
    if (!find.ok()) Fail("cannot read records");
    for (std::size_t i = 0; i < params.size(); ++i) find.Bind(static_cast<int>(i + 1), params[i]);
    std::vector<Record> records;
    const int width = static_cast<int>(RecordColumns().size());
    int step;
    while ((step = find.Step()) == SQLITE_ROW) {
        Row row;
        for (int c = 0; c < width; ++c) row.push_back(find.Text(c));
        records.push_back(RecordFromRow(row, path_));
    }
    if (step != SQLITE_DONE) Fail("cannot read records");
    return records;
}

}  // namespace lumo::cli::records
