// A PostgreSQL target as the update runs use it: each record goes first into the local outbox
// and is then delivered to the database, at once while it can be reached, else in the
// background with backoff once it is back. Nothing is lost when the server is down, and the
// writer never waits on a server for longer than a connection attempt.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "cli/linux/records/outbox.h"
#include "cli/linux/records/pg_store.h"
#include "cli/records/record_sink.h"

namespace lumo::cli::records {

struct DeliveryPacing {
    std::chrono::milliseconds first_retry{1000};  // doubled after each failed try
    std::chrono::milliseconds longest_retry{30000};
};

class DeliveringStore : public RecordStore {
  public:
    // `database` may be null (out of reach at start): it is connected on the next try.
    DeliveringStore(std::string url, std::unique_ptr<PgStore> database,
                    std::unique_ptr<Outbox> outbox, RecordNotice notice,
                    DeliveryPacing pacing = {});

    std::string Where() const override;
    void Put(const Record& record) override;
    std::vector<Record> Find(const RecordFilter& filter) override;
    std::optional<std::chrono::milliseconds> Idle() override;
    std::string Closing() override;

    // The database was out of reach when the store was opened, and the caller said so: the
    // next try waits out the first backoff.
    void StartedQueueing();

    // Tries now, whatever the backoff. How many records are still queued.
    std::size_t DeliverNow();
    std::size_t Queued() { return outbox_->Queued(target_); }

  private:
    using Clock = std::chrono::steady_clock;
    // Delivers the queue for this target; on a failure, waits out the backoff.
    void Deliver();
    void Failed(const StoreError& error);

    std::string url_, target_;
    std::unique_ptr<PgStore> database_;
    std::unique_ptr<Outbox> outbox_;
    RecordNotice notice_;
    DeliveryPacing pacing_;
    std::chrono::milliseconds retry_;
    Clock::time_point next_try_{};
    bool queued_said_ = false;  // the "records are queued" line of this outage was said
    std::string last_error_;
};

}  // namespace lumo::cli::records
