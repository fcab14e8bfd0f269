#include "cli/records/records_target.h"

#include <filesystem>

#include "cli/records/journal_store.h"
#include "cli/records/this_process.h"

namespace lumo::cli::records {

namespace {

bool EndsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

class NullSink : public RecordSink {
  public:
    void Started(const Record&) override {}
    void Ended(const Record&) override {}
};

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

}  // namespace

TargetKind KindOf(std::string_view target) {
    if (target == "none") return TargetKind::kNone;
    if (target.starts_with("postgresql://") || target.starts_with("postgres://"))
        return TargetKind::kPostgres;
    if (EndsWith(target, ".jsonl")) return TargetKind::kJournal;
    return TargetKind::kSqlite;
}

std::string MakeFolders(const std::string& folder) {
    std::error_code ec;
    std::filesystem::create_directories(
        std::filesystem::path(std::u8string(folder.begin(), folder.end())), ec);
    return ec ? ec.message() : std::string();
}

OpenedRecords OpenJournalTarget(const std::optional<std::string>& target) {
    OpenedRecords opened;
    std::string path;
    if (target) {
        switch (KindOf(*target)) {
            case TargetKind::kNone: return opened;
            case TargetKind::kJournal: path = *target; break;
            default:
                opened.error = "lumo-flash: records target " + *target +
                               ": this build keeps records in a .jsonl journal only (SQLite "
                               "and PostgreSQL are in the Linux build)";
                return opened;
        }
    } else {
        const std::string folder = DefaultDataFolder();
        const std::string why = folder.empty() ? "no home folder" : MakeFolders(folder);
        if (!why.empty()) {
            opened.warning = "lumo-flash: warning: records are not kept: cannot make " +
                             (folder.empty() ? std::string("their folder") : folder) + ": " + why;
            return opened;
        }
        path = folder + kSeparator + "records.jsonl";
    }
    try {
        auto store = std::make_unique<JournalStore>(path);
        SettleInterrupted(*store);
        opened.store = std::move(store);
    } catch (const StoreError& e) {
        (target ? opened.error : opened.warning) =
            std::string("lumo-flash: ") + (target ? "" : "warning: records are not kept: ") +
            e.what();
    }
    return opened;
}

std::unique_ptr<RecordSink> SinkFor(std::unique_ptr<RecordStore> store, RecordNotice notice) {
    if (!store) return std::make_unique<NullSink>();
    return std::make_unique<AsyncRecordSink>(std::move(store), std::move(notice));
}

}  // namespace lumo::cli::records
