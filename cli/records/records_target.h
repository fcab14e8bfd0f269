// Opening where records go: --records TARGET (or LUMO_RECORDS), else the platform's default.
// The portable part: journals and "none"; the Linux build adds SQLite and PostgreSQL.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "cli/records/record_sink.h"
#include "cli/records/record_store.h"

namespace lumo::cli::records {

enum class TargetKind { kNone, kJournal, kSqlite, kPostgres };
// "none"; a postgresql:// or postgres:// URL; a path ending in .jsonl; any other path.
TargetKind KindOf(std::string_view target);

struct OpenedRecords {
    // Null when records are off, or when the default store could not be opened.
    std::unique_ptr<RecordStore> store;
    // A target given explicitly that cannot be opened at all: one line, and the caller ends
    // with exit status 3 before it writes to any device.
    std::string error;
    // The default store failing, or a database server out of reach (records queued): one
    // line for stderr, and the caller goes on.
    std::string warning;
};

// The journal on every platform: "none", a .jsonl path, or, with no target, the default
// journal (records.jsonl in DefaultDataFolder(), the folder made when missing). Any other
// target is refused here. Rows of writers that are gone are settled as interrupted.
OpenedRecords OpenJournalTarget(const std::optional<std::string>& target);

// A sink for what was opened: the async writer over the store, or one that keeps nothing.
std::unique_ptr<RecordSink> SinkFor(std::unique_ptr<RecordStore> store,
                                    RecordNotice notice = NoticeOnStderr());

// Makes `folder` and its parents, as the default store needs. An empty string on success,
// else why not.
std::string MakeFolders(const std::string& folder);

}  // namespace lumo::cli::records
