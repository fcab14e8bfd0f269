// The bootloader model against streams built with the project's report builders: a correct
// stream is delivered byte for byte for both images, and each kind of flaw is named exactly.
#include "emulator/bootloader_model.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <vector>

#include "firmware/firmware_image.h"
#include "protocol/update_report.h"

namespace lumo::emulator {
namespace {

using Reports = std::vector<std::vector<std::uint8_t>>;

std::vector<std::uint8_t> Bytes(const UpdateReport& r) { return {r.bytes.begin(), r.bytes.end()}; }

// The reports a correct host writes for `image`.
Reports GoodStream(const FirmwareImage& image) {
    Reports out{Bytes(BuildStartReport())};
    const auto bytes = image.bytes();
    UpdateReport last;
    std::uint32_t index = 0;
    for (std::size_t off = 0; off < bytes.size(); off += UPDATE_BLOCK_SIZE, ++index) {
        last = BuildDataReport(index, bytes.subspan(off, std::min(UPDATE_BLOCK_SIZE, bytes.size() - off)));
        out.push_back(Bytes(last));
    }
    out.push_back(Bytes(BuildFinishReport(last)));
    return out;
}

Verdict Judge(const FirmwareImage& image, const Reports& reports) {
    BootloaderModel model(image.bytes(), "primary");
    for (const auto& r : reports) model.Take(r);
    return model.Conclude();
}

TEST(BootloaderModel, CorrectStreamIsDeliveredForBothImages) {
    for (const FirmwareImage* image : {&g_firmwarePrimary, &g_firmwareVariant}) {
        const Verdict v = Judge(*image, GoodStream(*image));
        EXPECT_EQ(v.outcome, Outcome::Delivered) << v.text;
        EXPECT_EQ(v.text.rfind("delivered byte for byte", 0), 0u) << v.text;
    }
}

TEST(BootloaderModel, StartAnswersAndOnlyStart) {
    BootloaderModel model(g_firmwarePrimary.bytes(), "primary");
    EXPECT_TRUE(model.Take(Bytes(BuildStartReport())).answer);
    const std::uint8_t block[56] = {};
    EXPECT_FALSE(model.Take(Bytes(BuildDataReport(0, block))).answer);
}

struct FlawCase {
    const char* name;
    std::function<void(Reports&)> spoil;
    Outcome outcome;
    const char* text;  // the verdict's exact text
};

void PrintTo(const FlawCase& c, std::ostream* os) { *os << c.name; }

class Flaws : public ::testing::TestWithParam<FlawCase> {};

TEST_P(Flaws, AreNamedPrecisely) {
    Reports reports = GoodStream(g_firmwarePrimary);
    GetParam().spoil(reports);
    const Verdict v = Judge(g_firmwarePrimary, reports);
    EXPECT_EQ(v.outcome, GetParam().outcome) << v.text;
    if (*GetParam().text) {
        EXPECT_EQ(v.text, GetParam().text);
    }
}

// reports[0] is the start report, reports[1 + k] the data report of block k, back() the finish.
INSTANTIATE_TEST_SUITE_P(
    Stream, Flaws,
    ::testing::Values(
        FlawCase{"corrupt_payload_byte", [](Reports& r) { r[1 + 5][20] ^= 0x01; },
                 Outcome::Failed, ""},
        FlawCase{"skipped_block", [](Reports& r) { r.erase(r.begin() + 1 + 7); },
                 Outcome::Failed, "failed: block 7 missing (got block 8)"},
        FlawCase{"repeated_block", [](Reports& r) { r.insert(r.begin() + 1 + 10, r[1 + 9]); },
                 Outcome::Failed, "failed: block 9 repeated or out of order (expected block 10)"},
        FlawCase{"swapped_blocks", [](Reports& r) { std::swap(r[1 + 3], r[1 + 4]); },
                 Outcome::Failed, "failed: block 3 missing (got block 4)"},
        FlawCase{"wrong_finish", [](Reports& r) { r.back()[30] ^= 0xFF; }, Outcome::Failed, ""},
        FlawCase{"finish_with_index", [](Reports& r) { r.back()[3] = 0xA1; }, Outcome::Failed,
                 "failed: finish report byte 3 is 0xA1, expected 0x00"},
        FlawCase{"no_finish", [](Reports& r) { r.pop_back(); }, Outcome::Interrupted,
                 "interrupted after block 1953 of 1954 (no finish report)"},
        FlawCase{"early_finish",
                 [](Reports& r) {
                     r.resize(1 + 100);
                     r.push_back(r.back());
                     r.back()[1] = 0x83, r.back()[2] = r.back()[3] = r.back()[4] = 0;
                 },
                 Outcome::Failed,
                 "failed: finish report after block 99; blocks 100 to 1953 of the primary image never came"},
        FlawCase{"short_report", [](Reports& r) { r[1 + 3].pop_back(); }, Outcome::Failed,
                 "failed: report of 62 bytes, expected 63"},
        FlawCase{"wrong_report_id", [](Reports& r) { r[1 + 3][0] = 0x02; }, Outcome::Failed,
                 "failed: report ID 0x02, expected 0x01"},
        FlawCase{"wrong_command", [](Reports& r) { r[1 + 3][1] = 0x82; }, Outcome::Failed,
                 "failed: unknown command 0x82"},
        FlawCase{"wrong_length_byte", [](Reports& r) { r[1 + 3][2] = 0x37; }, Outcome::Failed,
                 "failed: block 3 length byte is 0x37, expected 0x38"},
        FlawCase{"no_start", [](Reports& r) { r.erase(r.begin()); }, Outcome::Failed,
                 "failed: data report before the start report"},
        FlawCase{"data_after_finish", [](Reports& r) { r.push_back(r[1]); }, Outcome::Failed,
                 "failed: data report after the finish report"},
        FlawCase{"fill_not_ff", [](Reports& r) { r[r.size() - 2][59] = 0x00; }, Outcome::Failed,
                 "failed: block 1953 byte 59 is 0x00, expected 0xFF (fill after the image's end)"},
        FlawCase{"only_start", [](Reports& r) { r.resize(1); }, Outcome::NoUpdate,
                 "no update (start report only, no data report)"},
        FlawCase{"nothing", [](Reports& r) { r.clear(); }, Outcome::NoUpdate,
                 "no update (no report reached the device)"},
        FlawCase{"restart_after_interruption",
                 [](Reports& r) {
                     Reports again(r.begin(), r.begin() + 1 + 50);
                     again.insert(again.end(), r.begin(), r.end());
                     r = again;
                 },
                 Outcome::Delivered, "delivered byte for byte (primary image, 1954 blocks)"}),
    [](const auto& info) { return std::string(info.param.name); });

// The texts that depend on the image's bytes are checked against the image itself.
TEST(BootloaderModel, CorruptByteNamesBlockByteAndImageOffset) {
    Reports r = GoodStream(g_firmwarePrimary);
    r[1 + 5][20] ^= 0x01;
    const std::size_t offset = 5 * 56 + 15;
    char want[160];
    std::snprintf(want, sizeof want, "failed: block 5 byte 20 is 0x%02X, expected 0x%02X (image offset %zu)",
                  g_firmwarePrimary.data[offset] ^ 0x01, g_firmwarePrimary.data[offset], offset);
    EXPECT_EQ(Judge(g_firmwarePrimary, r).text, want);
}

TEST(BootloaderModel, WrongFinishNamesTheByte) {
    Reports r = GoodStream(g_firmwarePrimary);
    const std::uint8_t was = r.back()[30];
    r.back()[30] ^= 0xFF;
    char want[120];
    std::snprintf(want, sizeof want, "failed: finish report byte 30 is 0x%02X, the last data report had 0x%02X",
                  static_cast<unsigned>(was ^ 0xFF), static_cast<unsigned>(was));
    EXPECT_EQ(Judge(g_firmwarePrimary, r).text, want);
}

TEST(BootloaderModel, WrongImageForTheProductFailsAtTheFirstDifference) {
    const Verdict v = Judge(g_firmwarePrimary, GoodStream(g_firmwareVariant));
    EXPECT_EQ(v.outcome, Outcome::Failed);
    EXPECT_NE(v.text.find("failed: block "), std::string::npos) << v.text;
}

// A malformed report is not taken as its block: the next one is judged as coming too early,
// and the stream is followed from there instead of being "repaired".
TEST(BootloaderModel, FirstProblemWinsAndTheStreamIsNotRepaired) {
    BootloaderModel model(g_firmwarePrimary.bytes(), "primary");
    Reports r = GoodStream(g_firmwarePrimary);
    r[1 + 2][0] = 0x05;
    std::vector<std::string> problems;
    for (const auto& rep : r) {
        const Judgement j = model.Take(rep);
        if (!j.problem.empty()) problems.push_back(j.kind + ": " + j.problem);
    }
    EXPECT_EQ(problems, (std::vector<std::string>{"malformed: report ID 0x05, expected 0x01",
                                                  "data: block 2 missing (got block 3)",
                                                  "finish: finish report, but block 2 never arrived"}));
    EXPECT_EQ(model.Conclude().text, "failed: report ID 0x05, expected 0x01");
}

}  // namespace
}  // namespace lumo::emulator
