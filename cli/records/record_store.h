// Where records are kept, behind one small interface: a SQLite file, a PostgreSQL database
// (both Linux), a JSON-lines journal, or nothing.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/records/record.h"

namespace lumo::cli::records {

// A store that cannot do what was asked; what() is one line for the person, naming the store.
class StoreError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A database server that cannot be reached now; it may be back later.
class StoreUnreachable : public StoreError {
  public:
    using StoreError::StoreError;
};

struct RecordFilter {
    std::optional<std::string> serial, unit, station, outcome, host;
    std::optional<std::string> since;  // a UTC time as records write it; started at or after
    std::size_t limit = 20;            // the newest so many; 0: all
};

bool Matches(const RecordFilter& filter, const Record& record);

class RecordStore {
  public:
    virtual ~RecordStore() = default;

    // The store in a message: its path or its URL without a password.
    virtual std::string Where() const = 0;

    // Writes the row of record.id, or moves it on to `record`: a row only moves up in
    // OutcomeRank, so a repeated or late write never undoes an end, and one attempt's row is
    // never another's. Throws StoreError.
    virtual void Put(const Record& record) = 0;

    // The rows that match, newest start first. Throws StoreError.
    virtual std::vector<Record> Find(const RecordFilter& filter) = 0;

    // Called by a sink's writer thread when it has nothing to write: background work (a
    // queue to deliver). Returns when to call again, or none when there is nothing to do.
    virtual std::optional<std::chrono::milliseconds> Idle() { return std::nullopt; }

    // A line to say when the store is closed with work left (records still queued), or empty.
    virtual std::string Closing() { return {}; }
};

// Rows of `host` still running whose writer is gone (`still_running` says no) become
// interrupted, as of `now`. A row a live process is writing is left alone. How many moved.
std::size_t SettleInterrupted(RecordStore& store, const std::string& host,
                              const std::function<bool(const Record&)>& still_running,
                              const std::string& now);

// The same with this host's processes and the time now.
std::size_t SettleInterrupted(RecordStore& store);

// A store that keeps nothing: --records none.
class NoStore : public RecordStore {
  public:
    std::string Where() const override { return "none"; }
    void Put(const Record&) override {}
    std::vector<Record> Find(const RecordFilter&) override { return {}; }
};

}  // namespace lumo::cli::records
