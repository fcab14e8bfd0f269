#include "cli/linux/records/outbox.h"

#include <sqlite3.h>

#include "cli/linux/records/sqlite_statement.h"
#include "cli/records/record_json.h"
#include "cli/records/record_store.h"

namespace lumo::cli::records {

namespace {

constexpr int kOutboxVersion = 1;  // PRAGMA user_version of the queue file

}  // namespace

Outbox::Outbox(std::string path) : path_(std::move(path)) {
    const auto fail = [&](const std::string& why) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError("cannot open the records outbox " + path_ + ": " + why);
    };
    if (sqlite3_open_v2(path_.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        fail(db_ ? sqlite3_errmsg(db_) : "out of memory");
    }
    sqlite3_busy_timeout(db_, 10000);
    if (sqlite3_exec(db_,
                     "PRAGMA journal_mode=WAL;"
                     "CREATE TABLE IF NOT EXISTS outbox (seq INTEGER PRIMARY KEY AUTOINCREMENT,"
                     " target TEXT NOT NULL, id TEXT NOT NULL, record TEXT NOT NULL);"
                     "CREATE INDEX IF NOT EXISTS outbox_target ON outbox (target, seq);",
                     nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail(sqlite3_errmsg(db_));
    }
    SqliteStatement version(db_, "PRAGMA user_version");
    if (!version.ok() || version.Step() != SQLITE_ROW) fail(sqlite3_errmsg(db_));
    const auto found = sqlite3_column_int(version.get(), 0);
    if (found > kOutboxVersion) fail("made by a newer lumo-flash");
    if (found < kOutboxVersion &&
        sqlite3_exec(db_, ("PRAGMA user_version=" + std::to_string(kOutboxVersion)).c_str(),
                     nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail(sqlite3_errmsg(db_));
    }
}

Outbox::~Outbox() { sqlite3_close(db_); }

void Outbox::Push(const std::string& target, const Record& record) {
    SqliteStatement push(db_, "INSERT INTO outbox (target, id, record) VALUES (?1, ?2, ?3)");
    if (!push.ok() || !push.Bind(1, target) || !push.Bind(2, record.id) ||
        !push.Bind(3, RecordJson(record, true)) || push.Step() != SQLITE_DONE) {
        throw StoreError("cannot queue a record in " + path_ + ": " + sqlite3_errmsg(db_));
    }
}

std::vector<Outbox::Entry> Outbox::Oldest(const std::string& target, std::size_t count) {
    SqliteStatement read(db_,
                         "SELECT seq, record FROM outbox WHERE target = ?1 ORDER BY seq LIMIT " +
                             std::to_string(count));
    if (!read.ok() || !read.Bind(1, target))
        throw StoreError("cannot read the records outbox " + path_ + ": " + sqlite3_errmsg(db_));
    std::vector<Entry> entries;
    int step;
    while ((step = read.Step()) == SQLITE_ROW) {
        std::string error;
        auto record = RecordFromJson(read.Text(1).value_or(""), error);
        const std::int64_t seq = sqlite3_column_int64(read.get(), 0);
        if (!record) {
            // Cannot be delivered, ever: dropped rather than blocking the queue behind it.
            Remove(seq);
            continue;
        }
        entries.push_back({seq, std::move(*record)});
    }
    if (step != SQLITE_DONE)
        throw StoreError("cannot read the records outbox " + path_ + ": " + sqlite3_errmsg(db_));
    return entries;
}

void Outbox::Remove(std::int64_t seq) {
    SqliteStatement remove(db_, "DELETE FROM outbox WHERE seq = ?1");
    if (!remove.ok() || !remove.Bind(1, std::to_string(seq)) || remove.Step() != SQLITE_DONE)
        throw StoreError("cannot update the records outbox " + path_ + ": " + sqlite3_errmsg(db_));
}

std::size_t Outbox::Queued(const std::string& target) {
    SqliteStatement count(db_, "SELECT count(DISTINCT id) FROM outbox WHERE target = ?1");
    if (!count.ok() || !count.Bind(1, target) || count.Step() != SQLITE_ROW)
        throw StoreError("cannot read the records outbox " + path_ + ": " + sqlite3_errmsg(db_));
    return static_cast<std::size_t>(sqlite3_column_int64(count.get(), 0));
}

}  // namespace lumo::cli::records
