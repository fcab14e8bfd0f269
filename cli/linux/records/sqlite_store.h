// Records in a SQLite file: the default store of a PC, or any path given with --records. WAL
// mode, so that readers never hold up the writer, and a busy timeout, so that several
// lumo-flash processes can share one file.
#pragma once

#include <string>
#include <vector>

#include "cli/records/record_store.h"

struct sqlite3;

namespace lumo::cli::records {

class SqliteStore : public RecordStore {
  public:
    // Opens the file (creating it, not its folder) and creates or migrates its schema. Throws
    // StoreError: a missing folder, no permission, a file that is not a database, or a
    // schema newer than this build's.
    explicit SqliteStore(std::string path);
    ~SqliteStore() override;
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    std::string Where() const override { return path_; }
    void Put(const Record& record) override;
    std::vector<Record> Find(const RecordFilter& filter) override;

  private:
    void Prepare();
    void Exec(const std::string& sql);
    [[noreturn]] void Fail(const std::string& doing);

    std::string path_;
    sqlite3* db_ = nullptr;
};

}  // namespace lumo::cli::records
