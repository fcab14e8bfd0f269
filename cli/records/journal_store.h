// Records as a journal: one JSON object per line, appended and flushed per write, never
// rewritten. A record's later states are later lines with its ID; reading folds them. This is
// the store of the Windows build, and of any target that ends in ".jsonl".
#pragma once

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "cli/records/record_store.h"

namespace lumo::cli::records {

class JournalStore : public RecordStore {
  public:
    // Opens (creating) the journal at `path` (UTF-8). Throws StoreError when the file cannot
    // be opened for appending or does not read as a journal.
    explicit JournalStore(std::string path);

    std::string Where() const override { return path_; }
    void Put(const Record& record) override;
    std::vector<Record> Find(const RecordFilter& filter) override;

  private:
    std::string path_;
    std::ofstream out_;
};

// Every record of a journal file, each ID once in its furthest state, in the order first
// seen. Lines that are not records are counted in `bad_lines` (with the first one's number and
// reason in `first_bad`). Throws StoreError when the file cannot be read.
std::vector<Record> ReadJournal(const std::string& path, std::size_t& bad_lines,
                                std::string& first_bad);

}  // namespace lumo::cli::records
