#include "cli/linux/records/delivering_store.h"

#include "cli/linux/records/record_row.h"

namespace lumo::cli::records {

namespace {

constexpr std::size_t kBatch = 200;

std::string Records(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " record" : " records");
}

}  // namespace

DeliveringStore::DeliveringStore(std::string url, std::unique_ptr<PgStore> database,
                                 std::unique_ptr<Outbox> outbox, RecordNotice notice,
                                 DeliveryPacing pacing)
    : url_(std::move(url)),
      target_(UrlWithoutPassword(url_)),
      database_(std::move(database)),
      outbox_(std::move(outbox)),
      notice_(std::move(notice)),
      pacing_(pacing),
      retry_(pacing.first_retry) {}

std::string DeliveringStore::Where() const { return target_; }

void DeliveringStore::Put(const Record& record) {
    outbox_->Push(target_, record);
    if (Clock::now() >= next_try_) Deliver();
}

std::vector<Record> DeliveringStore::Find(const RecordFilter& filter) {
    if (!database_) database_ = std::make_unique<PgStore>(url_);
    return database_->Find(filter);
}

std::optional<std::chrono::milliseconds> DeliveringStore::Idle() {
    if (outbox_->Queued(target_) == 0) return std::nullopt;
    const auto now = Clock::now();
    if (now >= next_try_) {
        Deliver();
        if (outbox_->Queued(target_) == 0) return std::nullopt;
    }
    return std::max(std::chrono::milliseconds(1),
                    std::chrono::duration_cast<std::chrono::milliseconds>(next_try_ - Clock::now()));
}

void DeliveringStore::StartedQueueing() {
    queued_said_ = true;
    next_try_ = Clock::now() + retry_;
    retry_ = std::min(retry_ * 2, pacing_.longest_retry);
}

std::size_t DeliveringStore::DeliverNow() {
    next_try_ = {};
    Deliver();
    return outbox_->Queued(target_);
}

void DeliveringStore::Deliver() {
    std::size_t delivered = 0;
    try {
        if (!database_) {
            database_ = std::make_unique<PgStore>(url_);
            // Back: rows of runs that died while it was away are settled now.
            SettleInterrupted(*database_);
        }
        for (;;) {
            const auto batch = outbox_->Oldest(target_, kBatch);
            if (batch.empty()) break;
            for (const auto& entry : batch) {
                database_->Put(entry.record);
                outbox_->Remove(entry.seq);
                ++delivered;
            }
        }
    } catch (const StoreError& e) {
        Failed(e);
        return;
    }
    retry_ = pacing_.first_retry;
    last_error_.clear();
    if (queued_said_ && notice_) {
        notice_("lumo-flash: records database " + target_ + " is back: " + Records(delivered) +
                " delivered from the outbox");
    }
    queued_said_ = false;
}

void DeliveringStore::Failed(const StoreError& error) {
    // Connected afresh on the next try, whatever went wrong: a connection that failed once is
    // not trusted again.
    database_.reset();
    next_try_ = Clock::now() + retry_;
    retry_ = std::min(retry_ * 2, pacing_.longest_retry);
    if (!notice_) return;
    if (!queued_said_) {
        queued_said_ = true;
        last_error_ = error.what();
        notice_("lumo-flash: " + last_error_ + "; " + Records(outbox_->Queued(target_)) +
                " queued in " + outbox_->path() + ", delivered when it is back");
    } else if (last_error_ != error.what()) {
        last_error_ = error.what();
        notice_("lumo-flash: " + last_error_);
    }
}

std::string DeliveringStore::Closing() {
    std::size_t queued = 0;
    try {
        queued = outbox_->Queued(target_);
    } catch (const StoreError& e) {
        return std::string("lumo-flash: ") + e.what();
    }
    if (!queued) return {};
    return "lumo-flash: " + Records(queued) + " still queued in " + outbox_->path() + " for " +
           target_ + "; the next lumo-flash with that database, or lumo-flash records --sync "
           "--records URL, delivers them";
}

}  // namespace lumo::cli::records
