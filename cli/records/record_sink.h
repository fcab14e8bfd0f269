// The seam an update run hands its records to. The calls come from the run's 10 ms tick and
// never wait on a store: they only queue the record, and one writer thread of the sink's own
// writes the queue to the store in order.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "cli/records/record.h"
#include "cli/records/record_store.h"

namespace lumo::cli::records {

class RecordSink {
  public:
    virtual ~RecordSink() = default;
    // The attempt's row, outcome running: when the start report goes out.
    virtual void Started(const Record& record) = 0;
    // The same ID's row completed: when the attempt ends.
    virtual void Ended(const Record& record) = 0;
};

// A line for the person (on stderr by default), said from the writer thread.
using RecordNotice = std::function<void(const std::string& line)>;
RecordNotice NoticeOnStderr();

class AsyncRecordSink : public RecordSink {
  public:
    // `close_wait` bounds how long the destructor waits for the queue to be written.
    AsyncRecordSink(std::unique_ptr<RecordStore> store, RecordNotice notice = NoticeOnStderr(),
                    std::chrono::milliseconds close_wait = std::chrono::seconds(10));
    // Writes what is queued, waiting at most close_wait; records still unwritten then are
    // said in one line. A writer stuck in its store past that is left to end with the process.
    ~AsyncRecordSink() override;

    AsyncRecordSink(const AsyncRecordSink&) = delete;
    AsyncRecordSink& operator=(const AsyncRecordSink&) = delete;

    void Started(const Record& record) override { Enqueue(record); }
    void Ended(const Record& record) override { Enqueue(record); }

    // Waits at most `wait` for every record handed in so far to be written. Whether they were.
    bool Flush(std::chrono::milliseconds wait);

  private:
    struct Shared;
    void Enqueue(const Record& record);

    std::shared_ptr<Shared> shared_;  // also held by the writer thread
    std::thread writer_;
    std::chrono::milliseconds close_wait_;
};

}  // namespace lumo::cli::records
