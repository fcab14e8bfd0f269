// Records in a PostgreSQL database that the stations of a line share, reached by a libpq
// connection URI (postgresql://...; libpq's PG* variables and password file apply).
#pragma once

#include <string>
#include <vector>

#include "cli/records/record_store.h"

struct pg_conn;
struct pg_result;

namespace lumo::cli::records {

class PgStore : public RecordStore {
  public:
    // Connects and creates or migrates the schema. Throws StoreUnreachable when the server
    // does not answer (it may later), and StoreError when the URL is malformed, the server
    // refuses the login or the database, or the schema is newer than this build's.
    explicit PgStore(const std::string& url);
    ~PgStore() override;
    PgStore(const PgStore&) = delete;
    PgStore& operator=(const PgStore&) = delete;

    std::string Where() const override { return where_; }
    // Both throw StoreUnreachable when the connection is lost: the store is then done with.
    void Put(const Record& record) override;
    std::vector<Record> Find(const RecordFilter& filter) override;

  private:
    void Prepare();
    void Exec(const std::string& sql);
    [[noreturn]] void Fail(const std::string& doing, const pg_result* result);

    std::string where_;
    pg_conn* conn_ = nullptr;
};

// Whether libpq can read `url` at all; the reason in `error` when not.
bool WellFormedPostgresUrl(const std::string& url, std::string& error);

}  // namespace lumo::cli::records
