// A record as JSON and CSV, and back from a journal line.
#include <gtest/gtest.h>

#include <string>

#include "cli/records/flat_json.h"
#include "cli/records/record_csv.h"
#include "cli/records/record_json.h"
#include "cli/records/utc_time.h"
#include "tests/records/record_fixture.h"

namespace lumo::cli::records {
namespace {

using testing::Running;
using testing::Sample;

TEST(RecordJson, HasEveryFieldByItsNameInOrder) {
    Record r = Sample();
    r.id = "0b9b1c2e-4a4f-4d7e-9b8a-1f2e3d4c5b6a";
    r.host = "bench-pc";
    EXPECT_EQ(RecordJson(r),
              "{\"id\":\"0b9b1c2e-4a4f-4d7e-9b8a-1f2e3d4c5b6a\",\"station\":\"line-3\","
              "\"host\":\"bench-pc\",\"tool_version\":\"1.2.3\",\"unit\":\"M8V-000101\","
              "\"serial\":\"M8V-000101\",\"port\":\"1-2\",\"product\":\"7b16\","
              "\"image\":\"built-in variant\",\"image_bytes\":229376,\"image_sha256\":\"" +
                  std::string(64, 'a') +
                  "\",\"stand_in\":true,\"started_at\":\"2026-12-11T07:01:02.345Z\","
                  "\"ended_at\":\"2026-12-11T07:01:44.845Z\",\"blocks_written\":3584,"
                  "\"blocks\":3584,\"resumes\":0,\"outcome\":\"updated\",\"reason\":null,"
                  "\"exit\":0}");
}

TEST(RecordJson, RunningRowHasNullsWhereNothingIsKnownYet) {
    Record r = Running(Sample());
    r.serial.reset();
    r.port.reset();
    const std::string json = RecordJson(r);
    for (const char* field : {"\"serial\":null", "\"port\":null", "\"ended_at\":null",
                              "\"reason\":null", "\"exit\":null", "\"outcome\":\"running\""}) {
        EXPECT_NE(json.find(field), std::string::npos) << field << " in " << json;
    }
    EXPECT_EQ(json.find("pid"), std::string::npos);  // only the journal keeps the writer
}

TEST(RecordJson, JournalLineReadsBackAsTheSameRecord) {
    for (Record r : {Sample(), Running(Sample("M8V-0002", "failed"))}) {
        r.image = "/images/new \"fw\"\tv2\\é.bin";  // quotes, escapes and UTF-8 survive
        r.serial.reset();
        std::string error;
        const auto back = RecordFromJson(RecordJson(r, true), error);
        ASSERT_TRUE(back) << error;
        EXPECT_EQ(*back, r);
    }
}

TEST(RecordJson, LinesThatAreNotRecordsAreRefusedWithWhy) {
    Record good = Sample();
    good.id = "0b9b1c2e-4a4f-4d7e-9b8a-1f2e3d4c5b6a";
    const std::string line = RecordJson(good);
    const auto with = [&](const std::string& from, const std::string& to) {
        std::string changed = line;
        changed.replace(changed.find(from), from.size(), to);
        return changed;
    };
    const struct {
        std::string line, why;
    } cases[] = {
        {"", "expected '{'"},
        {line + "x", "text after the object"},
        {with("\"unit\":\"M8V-000101\",", ""), "no \"unit\""},
        {with("\"blocks\":3584", "\"blocks\":\"3584\""), "\"blocks\" is not a whole number"},
        {with("\"blocks\":3584", "\"blocks\":-1"), "\"blocks\" is not a whole number"},
        {with("\"outcome\":\"updated\"", "\"outcome\":\"fine\""), "unknown outcome"},
        {with("0b9b1c2e-4a4f-4d7e-9b8a-1f2e3d4c5b6a", "42"), "\"id\" is not a UUID"},
        {with("\"stand_in\":true", "\"stand_in\":1"), "\"stand_in\" is not true or false"},
        {with("\"image_bytes\":229376", "\"image_bytes\":2.5"), "not a whole one"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(RecordFromJson(c.line, error)) << c.line;
        EXPECT_NE(error.find(c.why), std::string::npos) << error << " for " << c.line;
    }
}

TEST(FlatJson, ReadsEscapesAndSurrogatePairs) {
    std::string error;
    const auto object = ParseFlatJson(R"( {"a":"x\"\\\/\n\u00e9\ud83d\ude00", "b" : null} )", error);
    ASSERT_TRUE(object) << error;
    EXPECT_EQ(std::get<std::string>(object->at("a")), "x\"\\/\n\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_TRUE(std::holds_alternative<JsonNull>(object->at("b")));
    EXPECT_FALSE(ParseFlatJson(R"({"a":"\ud83d"})", error));  // a lone surrogate
    EXPECT_FALSE(ParseFlatJson(R"({"a":{"b":1}})", error));   // nesting: not a record
}

TEST(RecordCsv, QuotesOnlyFieldsThatNeedIt) {
    const struct {
        const char* value;
        const char* field;
    } cases[] = {
        {"plain", "plain"},
        {"", ""},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\r\nlines", "\"two\r\nlines\""},
        {"lf\nonly", "\"lf\nonly\""},
        {"semi;colon 'quote'", "semi;colon 'quote'"},
    };
    for (const auto& c : cases) EXPECT_EQ(CsvField(c.value), c.field) << c.value;
}

TEST(RecordCsv, HeaderAndLineHaveTheSameColumns) {
    Record r = Running(Sample());
    r.image = "C:\\fw\\new, final.bin";
    r.serial.reset();
    EXPECT_EQ(RecordsCsvHeader(),
              "id,station,host,tool_version,unit,serial,port,product,image,image_bytes,"
              "image_sha256,stand_in,started_at,ended_at,blocks_written,blocks,resumes,outcome,"
              "reason,exit\r\n");
    EXPECT_EQ(RecordCsvLine(r), r.id + ",line-3," + r.host + ",1.2.3,M8V-000101,,1-2,7b16," +
                                    "\"C:\\fw\\new, final.bin\",229376," + std::string(64, 'a') +
                                    ",true,2026-12-11T07:01:02.345Z,,3584,3584,0,running,,\r\n");
}

TEST(UtcTime, FormatsAndParsesMilliseconds) {
    using namespace std::chrono;
    const auto t = sys_days{year{2026} / 12 / 11} + hours{7} + minutes{1} + seconds{2} +
                   milliseconds{345};
    EXPECT_EQ(FormatUtc(time_point_cast<system_clock::duration>(t)), "2026-12-11T07:01:02.345Z");
    EXPECT_EQ(ParseUtcMs("2026-12-11T07:01:02.345Z"),
              duration_cast<milliseconds>(t.time_since_epoch()).count());
    EXPECT_FALSE(ParseUtcMs("2026-12-11T07:01:02Z"));
    EXPECT_FALSE(ParseUtcMs("2026-02-30T07:01:02.345Z"));
    EXPECT_EQ(SinceBound("2026-12-11"), "2026-12-11T00:00:00.000Z");
    EXPECT_FALSE(SinceBound("11/12/2026"));
}

TEST(Uuid, VersionFourAndDistinct) {
    const std::string a = NewUuid(), b = NewUuid();
    EXPECT_TRUE(IsUuid(a));
    EXPECT_NE(a, b);
    EXPECT_EQ(a[14], '4');
    EXPECT_NE(std::string("89ab").find(a[19]), std::string::npos);
}

}  // namespace
}  // namespace lumo::cli::records
