#include "cli/linux/records/pg_store.h"

#include <libpq-fe.h>

#include <memory>

#include "cli/linux/records/record_row.h"

namespace lumo::cli::records {

namespace {

constexpr const char* kMigrations[] = {
    "CREATE TABLE records ("
    " id uuid PRIMARY KEY,"
    " station text NOT NULL, host text NOT NULL, tool_version text NOT NULL,"
    " unit text NOT NULL, serial text, port text, product text NOT NULL,"
    " image text NOT NULL, image_bytes bigint NOT NULL, image_sha256 text NOT NULL,"
    " stand_in boolean NOT NULL,"
    " started_at timestamptz NOT NULL, ended_at timestamptz,"
    " blocks_written bigint NOT NULL, blocks bigint NOT NULL, resumes bigint NOT NULL,"
    " outcome text NOT NULL, reason text, \"exit\" integer,"
    " pid bigint NOT NULL, process_start text NOT NULL);"
    "CREATE INDEX records_started_at ON records (started_at);"
    "CREATE INDEX records_serial ON records (serial);"
    "CREATE INDEX records_unit ON records (unit);"
    "CREATE INDEX records_running ON records (host, outcome);",
};
static_assert(std::size(kMigrations) == kSchemaVersion);

// Any number, the same in every build: stations that meet an empty database at once take
// turns creating the schema.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7316021)";

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

std::string FirstLine(const char* message) {
    std::string text = message ? message : "";
    const auto end = text.find('\n');
    if (end != std::string::npos) text.resize(end);
    return text.empty() ? "unknown error" : text;
}

}  // namespace

bool WellFormedPostgresUrl(const std::string& url, std::string& error) {
    char* message = nullptr;
    PQconninfoOption* options = PQconninfoParse(url.c_str(), &message);
    if (!options) {
        error = FirstLine(message);
        PQfreemem(message);
        // libpq quotes the URL, password and all.
        const std::string shown = UrlWithoutPassword(url);
        for (auto at = error.find(url); at != std::string::npos;
             at = error.find(url, at + shown.size())) {
            error.replace(at, url.size(), shown);
        }
        return false;
    }
    PQconninfoFree(options);
    return true;
}

PgStore::PgStore(const std::string& url) : where_(UrlWithoutPassword(url)) {
    std::string error;
    if (!WellFormedPostgresUrl(url, error))
        throw StoreError("records database URL " + where_ + " is malformed: " + error);
    // Defaults first: the URL's own settings override them.
    const char* keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char* values[] = {"5", "lumo-flash", url.c_str(), nullptr};
    conn_ = PQconnectdbParams(keys, values, 1);
    if (!conn_) throw StoreError("records database " + where_ + ": out of memory");
    if (PQstatus(conn_) != CONNECTION_OK) {
        const std::string why = FirstLine(PQerrorMessage(conn_));
        PQfinish(conn_);
        conn_ = nullptr;
        // A server that answers but will not have us is a wrong target; one that does not
        // answer may be back later.
        const PGPing ping = PQpingParams(keys, values, 1);
        if (ping == PQPING_NO_RESPONSE || ping == PQPING_REJECT)
            throw StoreUnreachable("records database " + where_ + " cannot be reached: " + why);
        throw StoreError("cannot open the records database " + where_ + ": " + why);
    }
    try {
        Prepare();
    } catch (...) {
        PQfinish(conn_);
        conn_ = nullptr;
        throw;
    }
}

PgStore::~PgStore() { PQfinish(conn_); }

void PgStore::Fail(const std::string& doing, const PGresult* result) {
    const std::string why = FirstLine(PQerrorMessage(conn_));
    // No SQLSTATE: libpq's own failure (the connection broke). Class 08: a connection
    // exception; 57P: the server shutting down or starting up.
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    const std::string code = state ? state : "";
    if (PQstatus(conn_) != CONNECTION_OK || code.empty() || code.starts_with("08") ||
        code.starts_with("57P")) {
        throw StoreUnreachable("records database " + where_ + " cannot be reached: " + why);
    }
    throw StoreError("records database " + where_ + ": " + doing + ": " + why);
}

void PgStore::Exec(const std::string& sql) {
    const Result result(PQexec(conn_, sql.c_str()), &PQclear);
    const auto status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) Fail("failed", result.get());
}

void PgStore::Prepare() {
    // Times are written and compared as UTC, whatever the server's zone.
    Exec("SET TIME ZONE 'UTC'");
    Exec("SET client_min_messages TO warning");
    Exec("BEGIN");
    try {
        Exec(kSchemaLock);
        Exec("CREATE TABLE IF NOT EXISTS lumo_schema (version integer NOT NULL)");
        const Result read(PQexec(conn_, "SELECT coalesce(max(version), 0) FROM lumo_schema"),
                          &PQclear);
        if (PQresultStatus(read.get()) != PGRES_TUPLES_OK)
            Fail("cannot read its schema version", read.get());
        const long long version = std::stoll(PQgetvalue(read.get(), 0, 0));
        if (version > kSchemaVersion) throw StoreError(NewerSchemaError(where_, version));
        for (long long v = version; v < kSchemaVersion; ++v) Exec(kMigrations[v]);
        if (version < kSchemaVersion) {
            Exec("DELETE FROM lumo_schema");
            Exec("INSERT INTO lumo_schema (version) VALUES (" + std::to_string(kSchemaVersion) +
                 ")");
        }
        Exec("COMMIT");
    } catch (...) {
        PQclear(PQexec(conn_, "ROLLBACK"));
        throw;
    }
}

void PgStore::Put(const Record& record) {
    const Row row = RecordRow(record);
    std::vector<const char*> values;
    for (const auto& field : row) values.push_back(field ? field->c_str() : nullptr);
    const Result result(PQexecParams(conn_, UpsertSql(SqlDialect{true}).c_str(),
                                     static_cast<int>(values.size()), nullptr, values.data(),
                                     nullptr, nullptr, 0),
                        &PQclear);
    if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) Fail("cannot write a record", result.get());
}

std::vector<Record> PgStore::Find(const RecordFilter& filter) {
    std::vector<std::string> params;
    const std::string sql = FindSql(SqlDialect{true}, filter, params);
    std::vector<const char*> values;
    for (const auto& p : params) values.push_back(p.c_str());
    const Result result(PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                     values.data(), nullptr, nullptr, 0),
                        &PQclear);
    if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) Fail("cannot read records", result.get());
    std::vector<Record> records;
    const int rows = PQntuples(result.get());
    const int width = PQnfields(result.get());
    for (int i = 0; i < rows; ++i) {
        Row row;
        for (int c = 0; c < width; ++c) {
            if (PQgetisnull(result.get(), i, c)) {
                row.emplace_back(std::nullopt);
            } else {
                row.emplace_back(std::string(PQgetvalue(result.get(), i, c),
                                             static_cast<std::size_t>(PQgetlength(result.get(), i, c))));
            }
        }
        records.push_back(RecordFromRow(row, where_));
    }
    return records;
}

}  // namespace lumo::cli::records
