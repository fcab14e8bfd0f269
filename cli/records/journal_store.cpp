#include "cli/records/journal_store.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <unordered_map>

#include "cli/records/record_json.h"

namespace lumo::cli::records {

namespace {

std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Why() { return errno ? std::strerror(errno) : "unknown error"; }

}  // namespace

std::vector<Record> ReadJournal(const std::string& path, std::size_t& bad_lines,
                                std::string& first_bad) {
    std::ifstream in(PathOf(path), std::ios::binary);
    if (!in) throw StoreError("cannot read the records journal " + path + ": " + Why());
    std::vector<Record> records;
    std::unordered_map<std::string, std::size_t> index;  // ID to its place in `records`
    std::string line;
    std::size_t number = 0;
    bad_lines = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::string error;
        auto record = RecordFromJson(line, error);
        if (!record) {
            if (bad_lines++ == 0) first_bad = "line " + std::to_string(number) + ": " + error;
            continue;
        }
        const auto found = index.find(record->id);
        if (found == index.end()) {
            index.emplace(record->id, records.size());
            records.push_back(std::move(*record));
        } else if (OutcomeRank(record->outcome) > OutcomeRank(records[found->second].outcome)) {
            records[found->second] = std::move(*record);
        }
    }
    return records;
}

JournalStore::JournalStore(std::string path) : path_(std::move(path)) {
    const auto file = PathOf(path_);
    std::error_code ec;
    if (std::filesystem::is_directory(file, ec))
        throw StoreError("cannot open the records journal " + path_ + ": it is a folder");
    {
        // An existing file must read as a journal: its first line an object.
        std::ifstream in(file, std::ios::binary);
        char first = 0;
        if (in && in.get(first) && first != '{') {
            throw StoreError("cannot open the records journal " + path_ +
                             ": the file is not a records journal");
        }
    }
    errno = 0;
    out_.open(file, std::ios::binary | std::ios::app);
    if (!out_) throw StoreError("cannot open the records journal " + path_ + ": " + Why());
}

void JournalStore::Put(const Record& record) {
    out_ << RecordJson(record, true) << '\n';
    out_.flush();
    if (!out_) {
        out_.clear();
        throw StoreError("cannot write to the records journal " + path_);
    }
}

std::vector<Record> JournalStore::Find(const RecordFilter& filter) {
    std::size_t bad = 0;
    std::string first_bad;
    std::vector<Record> all = ReadJournal(path_, bad, first_bad);
    std::vector<Record> found;
    for (Record& r : all)
        if (Matches(filter, r)) found.push_back(std::move(r));
    std::stable_sort(found.begin(), found.end(), [](const Record& a, const Record& b) {
        return a.started_at > b.started_at;
    });
    if (filter.limit && found.size() > filter.limit) found.resize(filter.limit);
    return found;
}

}  // namespace lumo::cli::records
