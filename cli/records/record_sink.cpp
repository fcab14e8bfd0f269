#include "cli/records/record_sink.h"

#include <condition_variable>
#include <deque>
#include <iostream>
#include <mutex>

namespace lumo::cli::records {

namespace {

// A failing write is tried again after this, doubling up to the longest.
constexpr std::chrono::milliseconds kFirstRetry{100};
constexpr std::chrono::milliseconds kLongestRetry{5000};

}  // namespace

RecordNotice NoticeOnStderr() {
    return [](const std::string& line) { std::cerr << line + "\n" << std::flush; };
}

struct AsyncRecordSink::Shared {
    std::unique_ptr<RecordStore> store;
    RecordNotice notice;
    std::mutex mutex;
    std::condition_variable wake;     // the writer: work, or stop
    std::condition_variable written;  // Flush and the destructor: progress
    std::deque<Record> queue;
    bool busy = false;  // the writer holds the queue's front in the store
    bool stop = false;
    bool finished = false;
    std::string last_error;

    void Say(const std::string& line) {
        if (notice && !line.empty()) notice(line);
    }

    // Writes the front record; on a failure says why once per distinct reason.
    bool Write(const Record& record) {
        try {
            store->Put(record);
            last_error.clear();
            return true;
        } catch (const StoreError& e) {
            if (last_error != e.what()) {
                last_error = e.what();
                Say(std::string("lumo-flash: ") + e.what() + " (trying again)");
            }
            return false;
        }
    }

    void Run() {
        std::unique_lock lock(mutex);
        auto retry = kFirstRetry;
        for (;;) {
            if (queue.empty()) {
                if (stop) break;
                lock.unlock();
                const auto again = store->Idle();
                lock.lock();
                const auto ready = [&] { return stop || !queue.empty(); };
                if (again) {
                    wake.wait_for(lock, *again, ready);
                } else {
                    wake.wait(lock, ready);
                }
                continue;
            }
            const Record record = queue.front();
            busy = true;
            lock.unlock();
            const bool ok = Write(record);
            lock.lock();
            busy = false;
            if (ok) {
                queue.pop_front();
                retry = kFirstRetry;
                written.notify_all();
                continue;
            }
            if (stop) break;  // closing: what is left is said below
            wake.wait_for(lock, retry, [&] { return stop; });
            retry = std::min(retry * 2, kLongestRetry);
        }
        const std::size_t lost = queue.size();
        lock.unlock();
        if (lost) {
            Say("lumo-flash: " + std::to_string(lost) + " record" + (lost == 1 ? "" : "s") +
                " could not be written to " + store->Where());
        }
        Say(store->Closing());
        lock.lock();
        finished = true;
        written.notify_all();
    }
};

AsyncRecordSink::AsyncRecordSink(std::unique_ptr<RecordStore> store, RecordNotice notice,
                                 std::chrono::milliseconds close_wait)
    : shared_(std::make_shared<Shared>()), close_wait_(close_wait) {
    shared_->store = std::move(store);
    shared_->notice = std::move(notice);
    writer_ = std::thread([shared = shared_] { shared->Run(); });
}

AsyncRecordSink::~AsyncRecordSink() {
    Flush(close_wait_);
    std::unique_lock lock(shared_->mutex);
    shared_->stop = true;
    shared_->wake.notify_all();
    // The writer says what is left and ends; one stuck in its store is not waited for past
    // a second more. It holds its own share of the state, so leaving it is safe.
    const bool finished =
        shared_->written.wait_for(lock, std::chrono::seconds(1), [&] { return shared_->finished; });
    lock.unlock();
    finished ? writer_.join() : writer_.detach();
}

void AsyncRecordSink::Enqueue(const Record& record) {
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->queue.push_back(record);
    }
    shared_->wake.notify_one();
}

bool AsyncRecordSink::Flush(std::chrono::milliseconds wait) {
    std::unique_lock lock(shared_->mutex);
    return shared_->written.wait_for(lock, wait, [&] {
        return (shared_->queue.empty() && !shared_->busy) || shared_->finished;
    }) && shared_->queue.empty();
}

}  // namespace lumo::cli::records
