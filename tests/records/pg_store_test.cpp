// The PostgreSQL store against a real server: a throwaway cluster of the test's own (see
// pg_cluster.sh), stopped hard and started again to show the outbox at work. The program
// exits 77 (skipped) with the reason when no server can be started here.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "cli/linux/records/open_records.h"
#include "cli/linux/records/pg_store.h"
#include "cli/records/record_sink.h"
#include "tests/records/record_fixture.h"

namespace lumo::cli::records {
namespace {

using namespace std::chrono_literals;
using testing::Running;
using testing::Sample;
using testing::TempFolder;

std::string g_script;   // pg_cluster.sh
std::string g_cluster;  // its folder

int Cluster(const std::string& command) {
    const std::string line = g_script + " " + command + " " + g_cluster + " >&2";
    const int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

std::string UrlOf(const std::string& database) {
    return "postgresql://lumo@/" + database + "?host=" + g_cluster;
}

void Sql(const std::string& database, const std::string& sql) {
    PGconn* conn = PQconnectdb(UrlOf(database).c_str());
    ASSERT_EQ(PQstatus(conn), CONNECTION_OK) << PQerrorMessage(conn);
    PGresult* result = PQexec(conn, sql.c_str());
    EXPECT_EQ(PQresultStatus(result), PGRES_COMMAND_OK) << PQerrorMessage(conn);
    PQclear(result);
    PQfinish(conn);
}

// A database of the test's own in the cluster (new for each run of the suite): its name.
std::string FreshName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("t_") + info->name();
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    Sql("postgres", "CREATE DATABASE " + name);
    return name;
}

std::string FreshDatabase() { return UrlOf(FreshName()); }

RecordFilter All() {
    RecordFilter f;
    f.limit = 0;
    return f;
}

// Lines the stores say, kept for the test to read.
struct Said {
    std::mutex mutex;
    std::vector<std::string> lines;
    RecordNotice Notice() {
        return [this](const std::string& line) {
            const std::lock_guard lock(mutex);
            lines.push_back(line);
        };
    }
    std::string All() {
        const std::lock_guard lock(mutex);
        std::string all;
        for (const auto& l : lines) all += l + "\n";
        return all;
    }
};

OpenSettings ForRun(const TempFolder& dir, Said& said) {
    OpenSettings s;
    s.purpose = OpenFor::kRun;
    s.notice = said.Notice();
    s.data_folder = dir.path();
    s.pacing = {50ms, 200ms};
    return s;
}

// Waits up to 20 s for the database to hold `count` rows that have ended.
std::vector<Record> WaitForEnded(const std::string& url, std::size_t count) {
    std::vector<Record> rows;
    for (int i = 0; i < 200; ++i) {
        try {
            PgStore store(url);
            RecordFilter ended = All();
            rows = store.Find(ended);
            std::size_t done = 0;
            for (const Record& r : rows) done += r.outcome != "running";
            if (done >= count) return rows;
        } catch (const StoreError&) {
        }
        std::this_thread::sleep_for(100ms);
    }
    return rows;
}

TEST(PgStore, RoundTripAndOneRowPerAttemptMovingOnlyForward) {
    const std::string url = FreshDatabase();
    PgStore store(url);
    Record a = Sample("A");
    a.image = "/images/it's, \"new\" é.bin";
    Record b = Running(Sample("B"));
    b.serial.reset();
    b.port.reset();
    store.Put(Running(a));
    store.Put(a);
    store.Put(Running(a));  // a late start never undoes the end
    store.Put(b);
    store.Put(b);
    const auto found = store.Find(All());
    ASSERT_EQ(found.size(), 2u);
    for (const Record& r : found) EXPECT_EQ(r, r.id == a.id ? a : b);
    RecordFilter since = All();
    since.since = "2026-12-11T07:01:02.346Z";
    EXPECT_TRUE(store.Find(since).empty());  // compared as times, to the millisecond
}

TEST(PgStore, ANewerSchemaIsRefusedWithOneLine) {
    const std::string name = FreshName(), url = UrlOf(name);
    { PgStore store(url); }
    Sql(name, "UPDATE lumo_schema SET version = 9");
    const OpenedRecords opened = OpenRecords(url, {OpenFor::kRead, nullptr, "/nonexistent"});
    EXPECT_FALSE(opened.store);
    EXPECT_NE(opened.error.find("schema is version 9, newer than this lumo-flash knows"),
              std::string::npos) << opened.error;
}

TEST(PgStore, ATargetTheServerRefusesIsAnErrorNotAQueue) {
    TempFolder dir;
    Said said;
    const OpenedRecords opened =
        OpenRecords(UrlOf("no_such_database"), ForRun(dir, said));
    EXPECT_FALSE(opened.store);
    EXPECT_NE(opened.error.find("no_such_database"), std::string::npos) << opened.error;
}

TEST(PgStore, OpeningSettlesRowsOfGoneWriters) {
    const std::string url = FreshDatabase();
    Record dead = Running(Sample("dead"));
    dead.pid = 0;
    Record alive = Running(Sample("alive"));
    const ProcessMark me = ThisProcess();
    alive.pid = me.pid;
    alive.process_start = me.start;
    {
        PgStore store(url);
        store.Put(dead);
        store.Put(alive);
    }
    const OpenedRecords opened = OpenRecords(url, {OpenFor::kRead, nullptr, "/nonexistent"});
    ASSERT_TRUE(opened.store) << opened.error;
    for (const Record& r : opened.store->Find(All()))
        EXPECT_EQ(r.outcome, r.unit == "dead" ? "interrupted" : "running") << r.unit;
}

TEST(PgOutbox, ServerStoppedHardMidRunThenBackEveryRecordArrivesOnce) {
    const std::string url = FreshDatabase();
    TempFolder dir;
    Said said;
    OpenedRecords opened = OpenRecords(url, ForRun(dir, said));
    ASSERT_TRUE(opened.store) << opened.error;
    std::vector<Record> records;
    for (int i = 0; i < 12; ++i) records.push_back(Sample("U" + std::to_string(i)));
    {
        AsyncRecordSink sink(std::move(opened.store), said.Notice());
        for (int i = 0; i < 4; ++i) {
            sink.Started(Running(records[i]));
            sink.Ended(records[i]);
        }
        ASSERT_TRUE(sink.Flush(5s));
        ASSERT_EQ(Cluster("crash"), 0);
        // The server is gone: the calls still return at once and the records are kept.
        const auto start = std::chrono::steady_clock::now();
        for (int i = 4; i < 12; ++i) {
            sink.Started(Running(records[i]));
            sink.Ended(records[i]);
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, 50ms);
        EXPECT_TRUE(sink.Flush(5s));  // into the outbox
        EXPECT_NE(said.All().find("cannot be reached"), std::string::npos) << said.All();
        EXPECT_NE(said.All().find("queued in " + dir.path() + "/outbox.db"), std::string::npos)
            << said.All();
        std::this_thread::sleep_for(300ms);
        ASSERT_EQ(Cluster("start"), 0);
        // Delivered in the background, with no new record to push it.
        const auto rows = WaitForEnded(url, records.size());
        ASSERT_EQ(rows.size(), records.size());
        for (const Record& r : records) {
            EXPECT_EQ(std::count_if(rows.begin(), rows.end(),
                                    [&](const Record& row) { return row == r; }),
                      1)
                << r.unit;
        }
    }
    EXPECT_NE(said.All().find("is back"), std::string::npos) << said.All();
    EXPECT_EQ(said.All().find("still queued"), std::string::npos) << said.All();
}

TEST(PgOutbox, DownAtStartWarnsAndSyncDeliversByHandExactlyOnce) {
    const std::string url = FreshDatabase();
    { PgStore schema(url); }
    TempFolder dir;
    Said said;
    ASSERT_EQ(Cluster("crash"), 0);
    OpenSettings settings = ForRun(dir, said);
    settings.pacing = {10s, 10s};  // no background delivery during this test
    OpenedRecords opened = OpenRecords(url, settings);
    ASSERT_TRUE(opened.store) << opened.error;
    EXPECT_TRUE(opened.error.empty());
    EXPECT_NE(opened.warning.find("cannot be reached"), std::string::npos) << opened.warning;
    const Record a = Sample("A"), b = Sample("B", "failed");
    {
        AsyncRecordSink sink(std::move(opened.store), said.Notice());
        for (const Record& r : {a, b}) {
            sink.Started(Running(r));
            sink.Ended(r);
        }
    }
    EXPECT_NE(said.All().find("2 records still queued"), std::string::npos) << said.All();
    std::ostringstream out, err;
    EXPECT_EQ(SyncOutbox(url, out, err, dir.path()), 1);  // still down
    ASSERT_EQ(Cluster("start"), 0);
    EXPECT_EQ(SyncOutbox(url, out, err, dir.path()), 0) << err.str();
    EXPECT_NE(out.str().find("Delivered 2 queued records"), std::string::npos) << out.str();
    out.str("");
    EXPECT_EQ(SyncOutbox(url, out, err, dir.path()), 0);
    EXPECT_NE(out.str().find("Delivered 0 queued records"), std::string::npos) << out.str();
    PgStore store(url);
    const auto rows = store.Find(All());
    ASSERT_EQ(rows.size(), 2u);
    for (const Record& r : rows) EXPECT_EQ(r, r.id == a.id ? a : b);
}

}  // namespace
}  // namespace lumo::cli::records

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        std::cerr << "usage: " << argv[0] << " PG_CLUSTER_SCRIPT\n";
        return 2;
    }
    using lumo::cli::records::Cluster;
    using lumo::cli::records::g_cluster;
    using lumo::cli::records::g_script;
    g_script = argv[1];
    std::string pattern = (std::filesystem::temp_directory_path() / "lumo-pg-XXXXXX").string();
    g_cluster = mkdtemp(pattern.data());
    int status = Cluster("init");
    if (status == 0) status = Cluster("start");
    if (status != 0) {
        std::cout << "SKIPPED: no PostgreSQL server could be started (see above)\n";
        std::filesystem::remove_all(g_cluster);
        return 77;
    }
    const int result = RUN_ALL_TESTS();
    Cluster("stop");
    std::filesystem::remove_all(g_cluster);
    return result;
}
