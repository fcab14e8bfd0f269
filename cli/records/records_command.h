// `lumo-flash records`: reads, exports, imports and delivers records. The same on every
// platform over what the platform can open.
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

#include "cli/records/records_options.h"
#include "cli/records/records_target.h"

namespace lumo::cli::records {

struct RecordsPlatform {
    // Opens the target (none: the default store) for reading and importing: a database out of
    // reach is an error here, not a queue.
    std::function<OpenedRecords(const std::optional<std::string>& target)> open;
    // Delivers the outbox queued for a database URL; null where there is none. Returns the
    // exit status.
    std::function<int(const std::string& target, std::ostream& out, std::ostream& err)> sync;
};

// A platform whose only store is the journal (the Windows build): no --sync.
RecordsPlatform JournalRecordsPlatform();

// Returns the exit status: 0, 1 when an import met lines that are not records or a delivery
// left records queued, 3 when the target cannot be opened or the options do not fit.
int RunRecordsCommand(const RecordsCommandOptions& options,
                      const std::optional<std::string>& target, const RecordsPlatform& platform,
                      std::ostream& out, std::ostream& err);

}  // namespace lumo::cli::records
