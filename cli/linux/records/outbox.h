// Records waiting for a database server that cannot be reached: a local SQLite queue of each
// record's states, per target, kept until delivered. Delivery is by ID and the database moves
// a row only forward, so a state delivered twice (two processes, or a crash between delivery
// and removal) still leaves one row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/records/record.h"

struct sqlite3;

namespace lumo::cli::records {

class Outbox {
  public:
    // Opens (creating) the queue file. Throws StoreError.
    explicit Outbox(std::string path);
    ~Outbox();
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    const std::string& path() const { return path_; }

    struct Entry {
        std::int64_t seq = 0;
        Record record;
    };

    // `target` names the database (its URL without a password). All throw StoreError.
    void Push(const std::string& target, const Record& record);
    std::vector<Entry> Oldest(const std::string& target, std::size_t count);
    void Remove(std::int64_t seq);
    std::size_t Queued(const std::string& target);  // records (IDs), not states

  private:
    std::string path_;
    sqlite3* db_ = nullptr;
};

}  // namespace lumo::cli::records
