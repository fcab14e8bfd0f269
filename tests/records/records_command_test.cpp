// `lumo-flash records` over a small SQLite fixture: the filters, the forms, the summary, and
// importing a journal. And its command line.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "cli/linux/records/open_records.h"
#include "cli/linux/records/sqlite_store.h"
#include "cli/options.h"
#include "cli/records/record_json.h"
#include "cli/records/records_command.h"
#include "cli/records/summary.h"
#include "tests/records/record_fixture.h"

namespace lumo::cli::records {
namespace {

using testing::Running;
using testing::RunningHere;
using testing::Sample;
using testing::TempFolder;

Record At(std::string unit, std::string outcome, std::string started, std::string station,
          std::optional<std::string> reason = std::nullopt) {
    Record r = Sample(std::move(unit), std::move(outcome), std::move(started));
    r.station = std::move(station);
    if (reason) r.reason = reason;
    return r;
}

// Two days at two stations: A fails once then passes, B passes, C fails twice (two reasons),
// D is still running (in this process, so that opening the store leaves it so).
std::vector<Record> Fixture() {
    return {
        At("A", "failed", "2026-12-10T08:00:00.000Z", "line-1", "timeout"),
        At("A", "updated", "2026-12-10T08:05:00.000Z", "line-1"),
        At("B", "updated", "2026-12-10T09:00:00.000Z", "line-1"),
        At("C", "failed", "2026-12-10T10:00:00.000Z", "line-2", "unplugged"),
        At("C", "busy", "2026-12-11T07:00:00.000Z", "line-2", "busy"),
        RunningHere(At("D", "updated", "2026-12-11T07:30:00.000Z", "line-2")),
    };
}

class RecordsCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        SqliteStore store(db_);
        for (const Record& r : Fixture()) store.Put(r);
    }

    int Run(RecordsCommandOptions options, std::optional<std::string> target = std::nullopt) {
        out_.str("");
        err_.str("");
        RecordsPlatform platform;
        const std::string folder = dir_.path();
        platform.open = [folder](const std::optional<std::string>& t) {
            return OpenRecords(t, {OpenFor::kRead, nullptr, folder});
        };
        return RunRecordsCommand(options, target ? target : db_, platform, out_, err_);
    }

    std::vector<std::string> Units(RecordsCommandOptions options) {
        options.json = true;
        EXPECT_EQ(Run(options), 0) << err_.str();
        std::vector<std::string> units;
        std::istringstream lines(out_.str());
        for (std::string line; std::getline(lines, line);) {
            std::string error;
            const auto r = RecordFromJson(line, error);
            EXPECT_TRUE(r) << error;
            if (r) units.push_back(r->unit + "/" + r->outcome);
        }
        return units;
    }

    TempFolder dir_;
    std::string db_ = dir_ / "records.db";
    std::ostringstream out_, err_;
};

TEST_F(RecordsCommand, FiltersNewestFirst) {
    using V = std::vector<std::string>;
    const auto with = [](auto set) {
        RecordsCommandOptions o;
        set(o);
        return o;
    };
    EXPECT_EQ(Units({}), (V{"D/running", "C/busy", "C/failed", "B/updated", "A/updated",
                            "A/failed"}));
    EXPECT_EQ(Units(with([](auto& o) { o.limit = 2; })), (V{"D/running", "C/busy"}));
    EXPECT_EQ(Units(with([](auto& o) { o.unit = "A"; })), (V{"A/updated", "A/failed"}));
    EXPECT_EQ(Units(with([](auto& o) { o.serial = "C"; })), (V{"C/busy", "C/failed"}));
    EXPECT_EQ(Units(with([](auto& o) { o.station = "line-1"; o.outcome = "updated"; })),
              (V{"B/updated", "A/updated"}));
    EXPECT_EQ(Units(with([](auto& o) { o.since = "2026-12-11T00:00:00.000Z"; })),
              (V{"D/running", "C/busy"}));
    EXPECT_EQ(Units(with([](auto& o) { o.outcome = "refused"; })), V{});
}

TEST_F(RecordsCommand, TableAndCsv) {
    EXPECT_EQ(Run({}), 0);
    const std::string table = out_.str();
    EXPECT_EQ(table.rfind("STARTED (UTC)", 0), 0u) << table;
    EXPECT_NE(table.find("2026-12-11 07:30:00  line-2"), std::string::npos) << table;
    EXPECT_NE(table.find("42.5 s"), std::string::npos) << table;
    RecordsCommandOptions csv;
    csv.csv = true;
    csv.unit = "A";
    EXPECT_EQ(Run(csv), 0);
    std::istringstream lines(out_.str());
    std::string header, first;
    std::getline(lines, header);
    std::getline(lines, first);
    EXPECT_EQ(header.rfind("id,station,host,", 0), 0u);
    EXPECT_NE(first.find(",updated,,0\r"), std::string::npos) << first;
}

TEST(Summary, PerDayStationAndImage) {
    const auto rows = Summarize(Fixture());
    ASSERT_EQ(rows.size(), 3u);
    const SummaryRow& line1 = rows[0];
    EXPECT_EQ(line1.day, "2026-12-10");
    EXPECT_EQ(line1.station, "line-1");
    EXPECT_EQ(line1.attempts, 3u);
    EXPECT_EQ(line1.units, 2u);
    EXPECT_EQ(line1.units_updated, 2u);
    EXPECT_EQ(line1.first_pass, 1u);  // B; A needed a second attempt
    EXPECT_DOUBLE_EQ(line1.FirstPassYield(), 0.5);
    EXPECT_EQ(line1.FailedText(), "timeout 1");
    EXPECT_DOUBLE_EQ(*line1.mean_duration_s, 42.5);
    const SummaryRow& line2_day2 = rows[2];
    EXPECT_EQ(line2_day2.day, "2026-12-11");
    EXPECT_EQ(line2_day2.attempts, 2u);  // the running one counts as an attempt
    EXPECT_EQ(line2_day2.units_updated, 0u);
    EXPECT_EQ(line2_day2.FailedText(), "busy 1");
    EXPECT_DOUBLE_EQ(*line2_day2.mean_duration_s, 42.5);  // only attempts that ended
}

TEST_F(RecordsCommand, SummaryForms) {
    RecordsCommandOptions o;
    o.summary = true;
    o.limit = 1;  // the summary sums every match
    EXPECT_EQ(Run(o), 0);
    EXPECT_NE(out_.str().find("50.0% (1/2)"), std::string::npos) << out_.str();
    o.json = true;
    EXPECT_EQ(Run(o), 0);
    EXPECT_NE(out_.str().find("\"first_pass_yield\":0.5000,\"failed\":{\"timeout\":1},"
                              "\"mean_duration_s\":42.500}"),
              std::string::npos)
        << out_.str();
}

TEST_F(RecordsCommand, ImportingAJournalTwiceKeepsEachRecordOnce) {
    const Record a = Sample("W1"), b = Sample("W2", "failed");
    {
        std::ofstream journal(dir_ / "windows.jsonl");
        journal << RecordJson(Running(a), true) << '\n'
                << RecordJson(Running(b), true) << '\n'
                << RecordJson(a, true) << '\n'
                << RecordJson(b, true) << '\n';
    }
    RecordsCommandOptions import;
    import.import_file = dir_ / "windows.jsonl";
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Run(import), 0) << err_.str();
        EXPECT_NE(out_.str().find("Imported 2 records"), std::string::npos) << out_.str();
    }
    SqliteStore store(db_);
    RecordFilter f;
    f.limit = 0;
    std::size_t w1 = 0, w2 = 0;
    for (const Record& r : store.Find(f)) {
        if (r.id == a.id) {
            ++w1;
            EXPECT_EQ(r, a);
        }
        if (r.id == b.id) {
            ++w2;
            EXPECT_EQ(r, b);
        }
    }
    EXPECT_EQ(w1, 1u);
    EXPECT_EQ(w2, 1u);
    // A line that is not a record: the rest goes in, and the status says so.
    std::ofstream(dir_ / "windows.jsonl", std::ios::app) << "garbage\n";
    EXPECT_EQ(Run(import), 1);
    EXPECT_NE(err_.str().find("1 line is not a record"), std::string::npos) << err_.str();
}

TEST_F(RecordsCommand, BadTargetExitsThreeAndSyncNeedsADatabase) {
    EXPECT_EQ(Run({}, dir_ / "missing/x.db"), 3);
    EXPECT_NE(err_.str().find("cannot open the records database"), std::string::npos);
    RecordsCommandOptions sync;
    sync.sync = true;
    EXPECT_EQ(Run(sync), 3);
    EXPECT_NE(err_.str().find("--records postgresql://"), std::string::npos) << err_.str();
}

std::variant<Options, int> Parse(std::vector<const char*> args, std::string& err) {
    args.insert(args.begin(), "lumo-flash");
    std::ostringstream o, e;
    auto parsed = ParseOptions(static_cast<int>(args.size()), args.data(), o, e);
    err = e.str();
    return parsed;
}

TEST(RecordsOptions, CommandLine) {
    std::string err;
    auto parsed = Parse({"records", "--records", "r.db", "--serial", "S1", "--since",
                         "2026-12-11", "--limit", "5", "--csv"}, err);
    ASSERT_TRUE(std::holds_alternative<Options>(parsed)) << err;
    const Options& o = std::get<Options>(parsed);
    ASSERT_TRUE(o.records);
    EXPECT_EQ(o.records_target, "r.db");
    EXPECT_EQ(o.records->serial, "S1");
    EXPECT_EQ(o.records->since, "2026-12-11T00:00:00.000Z");
    EXPECT_EQ(o.records->limit, 5u);
    EXPECT_TRUE(o.records->csv);

    parsed = Parse({"--station", "--records", "postgresql://db/line", "--station-name", "L3"}, err);
    ASSERT_TRUE(std::holds_alternative<Options>(parsed)) << err;
    EXPECT_FALSE(std::get<Options>(parsed).records);
    EXPECT_EQ(std::get<Options>(parsed).records_target, "postgresql://db/line");
    EXPECT_EQ(std::get<Options>(parsed).station_name, "L3");

    for (const auto& bad : std::vector<std::vector<const char*>>{
             {"records", "--since", "yesterday"},
             {"records", "--outcome", "fine"},
             {"records", "--json", "--csv"},
             {"records", "--import", "j.jsonl", "--sync"},
             {"--all", "records"}}) {
        EXPECT_EQ(std::get<int>(Parse(bad, err)), 3) << bad.back();
    }
}

TEST(RecordsOptions, EnvironmentGivesTheTargetUnlessTheCommandLineDoes) {
    std::string err;
    setenv("LUMO_RECORDS", "/srv/line.db", 1);
    EXPECT_EQ(std::get<Options>(Parse({"records"}, err)).records_target, "/srv/line.db");
    EXPECT_EQ(std::get<Options>(Parse({"--records", "none"}, err)).records_target, "none");
    unsetenv("LUMO_RECORDS");
    EXPECT_FALSE(std::get<Options>(Parse({"records"}, err)).records_target);
}

}  // namespace
}  // namespace lumo::cli::records
