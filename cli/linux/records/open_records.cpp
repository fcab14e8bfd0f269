#include "cli/linux/records/open_records.h"

#include <ostream>

#include "cli/exit_codes.h"
#include "cli/linux/records/record_row.h"
#include "cli/linux/records/sqlite_store.h"

namespace lumo::cli::records {

namespace {

std::string Say(const std::string& line) { return "lumo-flash: " + line; }

std::unique_ptr<Outbox> OpenOutbox(const std::string& folder, std::string& why) {
    if (folder.empty()) {
        why = "no home folder";
        return nullptr;
    }
    why = MakeFolders(folder);
    if (!why.empty()) return nullptr;
    try {
        return std::make_unique<Outbox>(folder + "/outbox.db");
    } catch (const StoreError& e) {
        why = e.what();
        return nullptr;
    }
}

OpenedRecords OpenPostgres(const std::string& url, const OpenSettings& settings) {
    OpenedRecords opened;
    std::string malformed;
    if (!WellFormedPostgresUrl(url, malformed)) {
        opened.error = Say("records database URL " + UrlWithoutPassword(url) +
                           " is malformed: " + malformed);
        return opened;
    }
    if (settings.purpose == OpenFor::kRead) {
        try {
            auto store = std::make_unique<PgStore>(url);
            SettleInterrupted(*store);
            opened.store = std::move(store);
        } catch (const StoreError& e) {
            opened.error = Say(e.what());
        }
        return opened;
    }
    std::unique_ptr<PgStore> database;
    std::string unreachable;
    try {
        database = std::make_unique<PgStore>(url);
    } catch (const StoreUnreachable& e) {
        unreachable = e.what();
    } catch (const StoreError& e) {
        opened.error = Say(e.what());
        return opened;
    }
    std::string why;
    auto outbox = OpenOutbox(settings.data_folder, why);
    if (!outbox) {
        if (!database) {
            opened.error = Say(unreachable + ", and there is no outbox to queue records in: " + why);
            return opened;
        }
        opened.error = Say("records need a local outbox for when " + UrlWithoutPassword(url) +
                           " is out of reach, and it cannot be opened: " + why);
        return opened;
    }
    const bool reachable = database != nullptr;
    auto store = std::make_unique<DeliveringStore>(url, std::move(database), std::move(outbox),
                                                   settings.notice, settings.pacing);
    if (reachable) {
        // What earlier runs queued goes first; then rows of runs that died are settled.
        store->DeliverNow();
        try {
            SettleInterrupted(*store);
        } catch (const StoreError&) {
            // Out of reach since: settled by a later run.
        }
    } else {
        // Said here, before the run, with what earlier runs left queued.
        store->StartedQueueing();
        std::size_t queued = 0;
        try {
            queued = store->Queued();
        } catch (const StoreError&) {
        }
        opened.warning = Say(unreachable + "; records are queued in " + settings.data_folder +
                             "/outbox.db (" + std::to_string(queued) +
                             " so far) and delivered when it is back");
    }
    opened.store = std::move(store);
    return opened;
}

OpenedRecords OpenSqlite(const std::string& path, bool given) {
    OpenedRecords opened;
    try {
        auto store = std::make_unique<SqliteStore>(path);
        SettleInterrupted(*store);
        opened.store = std::move(store);
    } catch (const StoreError& e) {
        if (given) {
            opened.error = Say(e.what());
        } else {
            opened.warning = Say("warning: records are not kept: ") + e.what();
        }
    }
    return opened;
}

}  // namespace

OpenedRecords OpenRecords(const std::optional<std::string>& target, const OpenSettings& settings) {
    if (!target) {
        const std::string& folder = settings.data_folder;
        const std::string why = folder.empty() ? "no home folder" : MakeFolders(folder);
        if (!why.empty()) {
            OpenedRecords opened;
            opened.warning = Say("warning: records are not kept: cannot make " +
                                 (folder.empty() ? std::string("their folder") : folder) + ": " +
                                 why);
            return opened;
        }
        return OpenSqlite(folder + "/records.db", false);
    }
    switch (KindOf(*target)) {
        case TargetKind::kNone:
        case TargetKind::kJournal: return OpenJournalTarget(target);
        case TargetKind::kPostgres: return OpenPostgres(*target, settings);
        case TargetKind::kSqlite: break;
    }
    return OpenSqlite(*target, true);
}

int SyncOutbox(const std::string& url, std::ostream& out, std::ostream& err,
               const std::string& data_folder) {
    std::string malformed;
    if (!WellFormedPostgresUrl(url, malformed)) {
        err << Say("records database URL " + UrlWithoutPassword(url) + " is malformed: " +
                   malformed)
            << '\n';
        return kExitUsage;
    }
    std::string why;
    auto outbox = OpenOutbox(data_folder, why);
    if (!outbox) {
        err << Say("no records outbox to deliver: " + why) << '\n';
        return kExitFailed;
    }
    std::string said;
    DeliveringStore store(url, nullptr, std::move(outbox),
                          [&](const std::string& line) { said = line; });
    const std::string target = UrlWithoutPassword(url);
    const std::size_t before = [&] {
        try {
            return Outbox(data_folder + "/outbox.db").Queued(target);
        } catch (const StoreError&) {
            return std::size_t{0};
        }
    }();
    std::size_t left = 0;
    try {
        left = store.DeliverNow();
    } catch (const StoreError& e) {
        err << Say(e.what()) << '\n';
        return kExitFailed;
    }
    if (left) {
        err << (said.empty() ? Say("records database " + target + " cannot be reached") : said)
            << '\n';
        return kExitFailed;
    }
    out << "Delivered " << before << " queued record" << (before == 1 ? "" : "s") << " to "
        << target << ".\n";
    return kExitSuccess;
}

RecordsPlatform LinuxRecordsPlatform() {
    RecordsPlatform platform;
    platform.open = [](const std::optional<std::string>& target) {
        OpenSettings settings;
        settings.purpose = OpenFor::kRead;
        return OpenRecords(target, settings);
    };
    platform.sync = [](const std::string& url, std::ostream& out, std::ostream& err) {
        return SyncOutbox(url, out, err);
    };
    return platform;
}

}  // namespace lumo::cli::records
