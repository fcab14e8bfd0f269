// Opening where lumo-flash keeps records on Linux: --records TARGET (or LUMO_RECORDS) or the
// default SQLite file, $XDG_DATA_HOME/lumo-tool/records.db (~/.local/share/lumo-tool/).
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "cli/linux/records/delivering_store.h"
#include "cli/records/records_command.h"
#include "cli/records/records_target.h"
#include "cli/records/this_process.h"

namespace lumo::cli::records {

enum class OpenFor {
    kRun,   // an update run's sink: a database out of reach queues records in the outbox
    kRead,  // the records command: a database out of reach is an error
};

struct OpenSettings {
    OpenFor purpose = OpenFor::kRun;
    RecordNotice notice = NoticeOnStderr();  // the outbox's lines, from the writer thread
    std::string data_folder = DefaultDataFolder();  // the default store's and the outbox's
    DeliveryPacing pacing{};
};

// None given: the default store, its folder made when missing; it failing is a warning.
// "none": records off. A .jsonl path: a journal. postgresql:// or postgres://: that database,
// through the outbox (outbox.db in the data folder) for a run. Any other path: a SQLite file.
// A target given that cannot be opened is an error. Rows of this host's writers that are gone
// are settled as interrupted.
OpenedRecords OpenRecords(const std::optional<std::string>& target,
                          const OpenSettings& settings = {});

// records --sync: delivers what the outbox holds for `url`. The exit status: 0 when nothing
// is left queued, 1 when the database cannot be reached, 3 when the URL is not one.
int SyncOutbox(const std::string& url, std::ostream& out, std::ostream& err,
               const std::string& data_folder = DefaultDataFolder());

// What `lumo-flash records` needs of this platform.
RecordsPlatform LinuxRecordsPlatform();

}  // namespace lumo::cli::records
