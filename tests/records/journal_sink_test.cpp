// The journal, the async sink in front of a store, and settling rows of writers that are gone.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include "cli/records/journal_store.h"
#include "cli/records/record_json.h"
#include "cli/records/record_sink.h"
#include "cli/records/records_target.h"
#include "cli/records/utc_time.h"
#include "tests/records/record_fixture.h"

namespace lumo::cli::records {
namespace {

using namespace std::chrono_literals;
using testing::Running;
using testing::Sample;
using testing::TempFolder;

// A store held in memory whose writes can be made slow or failing.
class SlowStore : public RecordStore {
  public:
    std::string Where() const override { return "slow store"; }
    void Put(const Record& r) override {
        std::this_thread::sleep_for(delay);
        if (failures > 0) {
            --failures;
            throw StoreError("slow store: disk full");
        }
        const std::lock_guard lock(mutex);
        written.push_back(r);
    }
    std::vector<Record> Find(const RecordFilter&) override {
        const std::lock_guard lock(mutex);
        return written;
    }
    std::chrono::milliseconds delay{0};
    std::atomic<int> failures{0};
    std::mutex mutex;
    std::vector<Record> written;
};

TEST(Journal, KeepsEveryStateAndReadsEachAttemptOnceAtItsEnd) {
    TempFolder dir;
    const Record a = Sample("A"), b = Sample("B", "failed", "2026-12-11T08:00:00.000Z");
    {
        JournalStore journal(dir / "records.jsonl");
        journal.Put(Running(a));
        journal.Put(Running(b));
        journal.Put(a);
        journal.Put(b);
        journal.Put(Running(a));  // a late duplicate never undoes the end
    }
    std::ifstream in(dir / "records.jsonl");
    std::size_t lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    EXPECT_EQ(lines, 5u);  // append-only
    JournalStore journal(dir / "records.jsonl");
    RecordFilter all;
    all.limit = 0;
    const auto found = journal.Find(all);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0], b);  // newest first
    EXPECT_EQ(found[1], a);
}

TEST(Journal, RefusesAFileThatIsNotOne) {
    TempFolder dir;
    std::ofstream(dir / "x.jsonl") << "SQLite format 3";
    EXPECT_THROW(JournalStore(dir / "x.jsonl"), StoreError);
    EXPECT_THROW(JournalStore(dir / "missing/x.jsonl"), StoreError);
    EXPECT_THROW(JournalStore(dir.path()), StoreError);
}

TEST(Journal, BadLinesAreCountedNotFatal) {
    TempFolder dir;
    {
        std::ofstream out(dir / "j.jsonl");
        out << RecordJson(Sample()) << "\n{\"id\":\n\n" << RecordJson(Sample("B")) << "\r\n";
    }
    std::size_t bad = 0;
    std::string first;
    EXPECT_EQ(ReadJournal(dir / "j.jsonl", bad, first).size(), 2u);
    EXPECT_EQ(bad, 1u);
    EXPECT_EQ(first.rfind("line 2: ", 0), 0u) << first;
}

TEST(Settle, RowsOfGoneWritersBecomeInterruptedLiveOnesStay) {
    TempFolder dir;
    JournalStore journal(dir / "records.jsonl");
    // A writer that has ended: a child that exited and was reaped.
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    const ProcessMark me = ThisProcess();
    ASSERT_FALSE(me.start.empty());
    struct Case {
        const char* what;
        std::uint64_t pid;
        std::string start;
        std::string host;
        bool interrupted;
    } cases[] = {
        {"a process that has ended", static_cast<std::uint64_t>(child), "x", HostName(), true},
        {"this process", me.pid, me.start, HostName(), false},
        {"this pid, another start", me.pid, me.start + "0", HostName(), true},
        {"another host's row", static_cast<std::uint64_t>(child), "x", "elsewhere", false},
    };
    std::vector<Record> rows;
    for (const Case& c : cases) {
        Record r = Running(Sample(c.what));
        r.pid = c.pid;
        r.process_start = c.start;
        r.host = c.host;
        journal.Put(r);
        rows.push_back(r);
    }
    EXPECT_EQ(SettleInterrupted(journal), 2u);
    RecordFilter all;
    all.limit = 0;
    for (const Record& r : journal.Find(all)) {
        const auto& c = *std::find_if(std::begin(cases), std::end(cases),
                                      [&](const Case& k) { return r.unit == k.what; });
        EXPECT_EQ(r.outcome, c.interrupted ? "interrupted" : "running") << c.what;
        if (c.interrupted) {
            EXPECT_EQ(r.reason, "interrupted");
            EXPECT_TRUE(r.ended_at && ParseUtcMs(*r.ended_at));
        }
    }
    EXPECT_EQ(SettleInterrupted(journal), 0u);  // once
}

TEST(AsyncSink, CallsReturnAtOnceWhileTheStoreIsSlow) {
    auto store = std::make_unique<SlowStore>();
    SlowStore& slow = *store;
    slow.delay = 50ms;
    AsyncRecordSink sink(std::move(store), nullptr);
    const Record r = Sample();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) {
        sink.Started(Running(r));
        sink.Ended(r);
    }
    // 20 writes of 50 ms each take a second; handing them over does not.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms);
    EXPECT_FALSE(sink.Flush(10ms));
    EXPECT_TRUE(sink.Flush(5s));
    EXPECT_EQ(slow.Find({}).size(), 20u);
}

TEST(AsyncSink, WritesInOrderAndRetriesAFailingStore) {
    auto store = std::make_unique<SlowStore>();
    SlowStore& slow = *store;
    slow.failures = 2;
    std::vector<std::string> said;
    std::mutex said_mutex;
    {
        AsyncRecordSink sink(std::move(store), [&](const std::string& line) {
            const std::lock_guard lock(said_mutex);
            said.push_back(line);
        });
        const Record a = Sample("A"), b = Sample("B");
        sink.Started(Running(a));
        sink.Started(Running(b));
        sink.Ended(a);
        ASSERT_TRUE(sink.Flush(5s));
        const auto written = slow.Find({});
        ASSERT_EQ(written.size(), 3u);
        EXPECT_EQ(written[0], Running(a));
        EXPECT_EQ(written[1], Running(b));
        EXPECT_EQ(written[2], a);
    }
    ASSERT_EQ(said.size(), 1u);  // the same failure said once
    EXPECT_NE(said[0].find("disk full"), std::string::npos);
}

TEST(AsyncSink, ClosingWaitsOnlySoLongAndSaysWhatIsLeft) {
    auto store = std::make_unique<SlowStore>();
    store->failures = 1000000;
    std::vector<std::string> said;
    const auto start = std::chrono::steady_clock::now();
    {
        AsyncRecordSink sink(std::move(store), [&](const std::string& l) { said.push_back(l); },
                             200ms);
        sink.Started(Running(Sample()));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    ASSERT_FALSE(said.empty());
    EXPECT_NE(said.back().find("1 record could not be written to slow store"), std::string::npos)
        << said.back();
}

TEST(JournalTarget, NoneTurnsRecordsOffAndOtherTargetsAreRefused) {
    auto none = OpenJournalTarget(std::string("none"));
    EXPECT_FALSE(none.store);
    EXPECT_TRUE(none.error.empty());
    auto sql = OpenJournalTarget(std::string("records.db"));
    EXPECT_FALSE(sql.store);
    EXPECT_NE(sql.error.find("records.db"), std::string::npos);
}

}  // namespace
}  // namespace lumo::cli::records
