#include "cli/records/records_command.h"

#include <ostream>

#include "cli/exit_codes.h"
#include "cli/records/journal_store.h"
#include "cli/records/records_output.h"
#include "cli/records/summary.h"

namespace lumo::cli::records {

namespace {

int Import(const std::string& file, RecordStore& store, std::ostream& out, std::ostream& err) {
    std::size_t bad = 0;
    std::string first_bad;
    std::vector<Record> records;
    try {
        records = ReadJournal(file, bad, first_bad);
        // Each ID once, in its furthest state; the store's rule makes a second import a no-op.
        for (const Record& r : records) store.Put(r);
    } catch (const StoreError& e) {
        err << "lumo-flash: " << e.what() << '\n';
        return kExitFailed;
    }
    out << "Imported " << records.size() << " record" << (records.size() == 1 ? "" : "s")
        << " from " << file << " into " << store.Where() << ".\n";
    if (bad) {
        err << "lumo-flash: " << bad << " line" << (bad == 1 ? " is" : "s are")
            << " not a record and " << (bad == 1 ? "was" : "were") << " left out (" << first_bad
            << ")\n";
        return kExitFailed;
    }
    return kExitSuccess;
}

}  // namespace

RecordsPlatform JournalRecordsPlatform() { return {OpenJournalTarget, nullptr}; }

int RunRecordsCommand(const RecordsCommandOptions& options,
                      const std::optional<std::string>& target, const RecordsPlatform& platform,
                      std::ostream& out, std::ostream& err) {
    if (options.sync) {
        if (!target || KindOf(*target) != TargetKind::kPostgres) {
            err << "lumo-flash: records --sync delivers the queue of a database: give it with "
                   "--records postgresql://...\n";
            return kExitUsage;
        }
        if (!platform.sync) {
            err << "lumo-flash: records --sync is available on Linux only.\n";
            return kExitUsage;
        }
        return platform.sync(*target, out, err);
    }
    OpenedRecords opened = platform.open(target);
    if (!opened.error.empty()) {
        err << opened.error << '\n';
        return kExitUsage;
    }
    if (!opened.store) {
        err << (opened.warning.empty() ? "lumo-flash: records are off (--records none)."
                                       : opened.warning)
            << '\n';
        return kExitUsage;
    }
    if (options.import_file) return Import(*options.import_file, *opened.store, out, err);

    RecordFilter filter;
    filter.serial = options.serial;
    filter.unit = options.unit;
    filter.station = options.station;
    filter.outcome = options.outcome;
    filter.since = options.since;
    filter.limit = options.summary ? 0 : options.limit;
    const OutputForm form = options.json  ? OutputForm::kJson
                            : options.csv ? OutputForm::kCsv
                                          : OutputForm::kTable;
    try {
        const std::vector<Record> found = opened.store->Find(filter);
        if (options.summary) {
            PrintSummary(out, Summarize(found), form);
        } else {
            PrintRecords(out, found, form);
        }
    } catch (const StoreError& e) {
        err << "lumo-flash: " << e.what() << '\n';
        return kExitFailed;
    }
    return kExitSuccess;
}

}  // namespace lumo::cli::records
