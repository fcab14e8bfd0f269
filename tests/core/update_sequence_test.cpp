#include "core/update_sequence.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "ports/status_texts.h"
#include "tests/fakes/bootloader_check.h"
#include "tests/fakes/fake_hid_bus.h"
#include "tests/fakes/recording_view.h"

namespace lumo {
namespace {

using testing::CheckDelivery;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::FakeHidBus;
using testing::kDelivered;
using testing::RecordingView;

const std::string kPath = "\\\\?\\hid#vid_5a7e&pid_c3d1&mi_00#7&1a2b3c&0&0000#{4d1e55b2}";

std::string Line(const char* kind, std::string_view t) { return std::string(kind) += t; }
const std::string kWarnTryAgain = Line("warning:", text::kTryAgain);
const std::string kNoteUpdating = Line("note:", text::kUpdating);
const std::string kNoteInterrupted = Line("note:", text::kInterrupted);

class UpdateSequenceTest : public ::testing::Test {
  protected:
    void Connect(bool variant) {
        bus.Plug(kPath);
        link = {bus.Open(kPath), variant, true};
    }
    // Ticks until the update ends; bounded so a fault cannot loop for ever.
    int RunToEnd() {
        int ticks = 0;
        while (update.bUpdating && ticks < 5000) {
            sequence.OnTimer(UPDATE_TIMER_ID);
            ++ticks;
        }
        return ticks;
    }
    void Ticks(int n) {
        for (int i = 0; i < n; ++i) sequence.OnTimer(UPDATE_TIMER_ID);
    }
    const FirmwareImage& Image() const { return SelectFirmwareImage(link.bVariantDevice); }

    FakeHidBus bus;
    RecordingView view;
    DeviceLinkState link;
    UpdateState update;
    // The stand-in guard has its own tests below; here every press that can start, starts.
    UpdateSequence sequence{link, update, bus, view, view, {.stand_ins = false}};
};

struct WholeImageCase {
    const char* name;
    bool variant;
    std::size_t data_reports;
};
void PrintTo(const WholeImageCase& c, std::ostream* os) { *os << c.name; }

class WholeUpdate : public UpdateSequenceTest,
                    public ::testing::WithParamInterface<WholeImageCase> {};

TEST_P(WholeUpdate, DeviceReceivesTheImageByteForByte) {
    Connect(GetParam().variant);
    sequence.OnBnClickedUpdate();
    const int ticks = RunToEnd();

    EXPECT_EQ(static_cast<std::size_t>(ticks), GetParam().data_reports);
    const auto reports = bus.Reports();
    EXPECT_EQ(reports.size(), GetParam().data_reports + 2);
    EXPECT_EQ(CheckDelivery(reports, Image().bytes()), kDelivered);
    EXPECT_EQ(bus.reply_reads, 1u);
}

TEST_P(WholeUpdate, UserSeesProgressThenSuccess) {
    Connect(GetParam().variant);
    sequence.OnBnClickedUpdate();
    RunToEnd();

    const std::size_t n = GetParam().data_reports;
    const auto& log = view.log;
    ASSERT_EQ(log.size(), 5 + 2 * n + 4);
    EXPECT_THAT(std::vector(log.begin(), log.begin() + 5),
                ElementsAre("enable:0", "percent:0%", "progress:0", "pause:300", kNoteUpdating));
    EXPECT_THAT(std::vector(log.end() - 4, log.end()),
                ElementsAre("pause:500", "plain:Update is successful!", "note: ", "enable:1"));

    // After each data report: the share sent before it, text then bar.
    const auto percents = view.Only("percent:");
    const auto bars = view.Only("progress:");
    ASSERT_EQ(percents.size(), n + 1);  // the start's "0%" and one per data report
    EXPECT_EQ(percents[1], "percent:0%");
    EXPECT_EQ(percents[n - 1], "percent:99%");
    EXPECT_EQ(percents[n], "percent:100%");
    for (std::size_t i = 1; i <= n; ++i) {
        const std::string value = percents[i].substr(8, percents[i].size() - 9);
        EXPECT_EQ(log[5 + 2 * (i - 1)], percents[i]);
        EXPECT_EQ(log[6 + 2 * (i - 1)], "progress:" + value);
        EXPECT_EQ(bars[i], "progress:" + value);
    }
    EXPECT_FALSE(update.bUpdating);
}

INSTANTIATE_TEST_SUITE_P(Images, WholeUpdate,
                         ::testing::Values(WholeImageCase{"variant", true, 988},
                                           WholeImageCase{"primary", false, 1954}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateSequenceTest, UpdateWithoutDeviceOnlyWarns) {
    sequence.OnBnClickedUpdate();
    EXPECT_THAT(view.log, ElementsAre("warning:The device is not connected!"));
    EXPECT_EQ(bus.write_calls, 0u);
    EXPECT_FALSE(update.bUpdating);
}

// A start that fails: the box, then Update enabled again; "0%" and 0 stay, the note is not
// touched and no update is under way.
struct FailedStartCase {
    const char* name;
    bool fail_write;
    bool fail_reply;
    std::vector<std::string> log;
    std::size_t reply_reads;
};
void PrintTo(const FailedStartCase& c, std::ostream* os) { *os << c.name; }

class FailedStart : public UpdateSequenceTest,
                    public ::testing::WithParamInterface<FailedStartCase> {};

TEST_P(FailedStart, WarnsAndEnablesUpdateAgain) {
    const auto& c = GetParam();
    Connect(false);
    if (c.fail_write) bus.failing_writes = {0};
    bus.fail_reply = c.fail_reply;

    sequence.OnBnClickedUpdate();
    Ticks(3);

    EXPECT_THAT(view.log, ElementsAreArray(c.log));
    EXPECT_EQ(bus.reply_reads, c.reply_reads);
    EXPECT_FALSE(update.bUpdating);
    EXPECT_EQ(bus.writes.size(), c.fail_write ? 0u : 1u);  // nothing after the start report
}

INSTANTIATE_TEST_SUITE_P(Cases, FailedStart,
                         ::testing::Values(FailedStartCase{"start_write_fails",
                                                           true,
                                                           false,
                                                           {"enable:0", "percent:0%", "progress:0",
                                                            kWarnTryAgain, "enable:1"},
                                                           0},
                                           FailedStartCase{"reply_read_fails",
                                                           false,
                                                           true,
                                                           {"enable:0", "percent:0%", "progress:0",
                                                            "pause:300", kWarnTryAgain, "enable:1"},
                                                           1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateSequenceTest, FailedDataWriteEndsTheUpdateAndKeepsItsPlace) {
    Connect(false);
    sequence.OnBnClickedUpdate();
    bus.failing_writes = {1 + 500};  // the start report is write 0
    std::size_t writes_while_box_open = 0;
    view.while_box_open = [&] {
        const std::size_t before = bus.write_calls;
        Ticks(5);
        writes_while_box_open = bus.write_calls - before;
    };

    RunToEnd();

    EXPECT_EQ(writes_while_box_open, 0u);
    EXPECT_EQ(bus.writes.size(), 1u + 500u);
    EXPECT_EQ(update.nBlockIndex, 500u);
    EXPECT_EQ(update.nOffset, 500u * 56u);
    EXPECT_THAT(std::vector(view.log.end() - 3, view.log.end()),
                ElementsAre(kWarnTryAgain, "enable:1", kNoteInterrupted));
    const auto percents = view.Only("percent:");
    EXPECT_EQ(percents.back(), "percent:25%");  // block 499 of 1954 is the last one shown
    EXPECT_TRUE(view.Only("plain:").empty());

    // The next press starts over from block 0 with a new start report.
    bus.failing_writes.clear();
    sequence.OnBnClickedUpdate();
    sequence.OnTimer(UPDATE_TIMER_ID);
    EXPECT_EQ(bus.Reports().back(), BuildDataReport(0, Image().bytes().subspan(0, 56)));
}

// Success is shown only when every report of the update reached the device.
class FailedLastWrite : public UpdateSequenceTest,
                        public ::testing::WithParamInterface<std::size_t> {};

TEST_P(FailedLastWrite, IsAFailure) {
    Connect(true);
    bus.failing_writes = {GetParam()};
    sequence.OnBnClickedUpdate();
    RunToEnd();

    EXPECT_TRUE(view.Only("plain:").empty());
    EXPECT_THAT(std::vector(view.log.end() - 3, view.log.end()),
                ElementsAre(kWarnTryAgain, "enable:1", kNoteInterrupted));
}

// Write 0 is the start report; the variant image has 988 data reports.
INSTANTIATE_TEST_SUITE_P(Reports, FailedLastWrite, ::testing::Values(988u, 989u),
                         [](const auto& info) {
                             return info.param == 988u ? "last_data_report" : "finish_report";
                         });

// A device of the other product opened while the update was suspended must not receive the
// rest of this update's image, nor the rest of its own from a foreign offset.
class OtherProductUnderSuspendedUpdate : public UpdateSequenceTest,
                                         public ::testing::WithParamInterface<bool> {};

TEST_P(OtherProductUnderSuspendedUpdate, EndsItBeforeWriting) {
    const bool started_variant = GetParam();
    Connect(started_variant);
    sequence.OnBnClickedUpdate();
    Ticks(started_variant ? 500 : 1000);  // a primary update goes past the variant's end
    const std::size_t written = bus.writes.size();

    link.bVariantDevice = !started_variant;  // reopened as the other product
    Ticks(2);

    EXPECT_EQ(bus.writes.size(), written);
    EXPECT_FALSE(update.bUpdating);
    EXPECT_TRUE(view.Only("plain:").empty());
    EXPECT_THAT(std::vector(view.log.end() - 3, view.log.end()),
                ElementsAre(kWarnTryAgain, "enable:1", kNoteInterrupted));
}

INSTANTIATE_TEST_SUITE_P(StartedWith, OtherProductUnderSuspendedUpdate, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "variant" : "primary"; });

TEST_F(UpdateSequenceTest, SuspendedUpdateResumesFromTheSavedBlock) {
    Connect(true);
    sequence.OnBnClickedUpdate();
    Ticks(100);
    const std::size_t log_size = view.log.size();

    bus.Close(link.hDevice);  // the removal path closes the handle
    link.hDevice = kInvalidHandle;
    Ticks(20);
    EXPECT_EQ(bus.write_calls, 101u);
    EXPECT_EQ(view.log.size(), log_size);
    EXPECT_TRUE(update.bUpdating);

    link.hDevice = bus.Open(kPath);  // a device opened again on arrival
    sequence.OnTimer(UPDATE_TIMER_ID);
    EXPECT_EQ(bus.writes.back().handle, link.hDevice);
    EXPECT_EQ(bus.writes.back().report,
              BuildDataReport(100, Image().bytes().subspan(100 * 56, 56)));
    RunToEnd();

    EXPECT_EQ(CheckDelivery(bus.Reports(), Image().bytes()), kDelivered);
    EXPECT_EQ(view.Only("plain:").size(), 1u);
}

TEST_F(UpdateSequenceTest, ImageOfWholeBlocksEndsWithoutFill) {
    std::vector<std::uint8_t> data(112);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    const FirmwareImage two_blocks{data.data(), 112};
    Connect(false);
    UpdateSequence seq(link, update, bus, view, view,
                       {.images = {&two_blocks, &two_blocks}, .stand_ins = false});

    seq.OnBnClickedUpdate();
    seq.OnTimer(UPDATE_TIMER_ID);
    seq.OnTimer(UPDATE_TIMER_ID);
    EXPECT_FALSE(update.bUpdating);

    const auto reports = bus.Reports();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[2], BuildDataReport(1, std::span(data).subspan(56)));  // no fill
    EXPECT_EQ(CheckDelivery(reports, data), kDelivered);
    EXPECT_THAT(view.Only("percent:"), ElementsAre("percent:0%", "percent:0%", "percent:100%"));
}

TEST_F(UpdateSequenceTest, OtherTimersAndIdleTicksSendNothing) {
    Connect(false);
    Ticks(3);  // idle
    sequence.OnBnClickedUpdate();
    for (std::uintptr_t id : {0u, 1u, 4u, 6u}) sequence.OnTimer(id);
    EXPECT_EQ(bus.write_calls, 1u);  // the start report only
}

// The update's lifetime, as the platform sees it to hold off sleep: told once at a successful
// start and once when the update ends, however it ends.
struct LifetimeCase {
    const char* name;
    std::vector<std::size_t> failing_writes;  // write 0 is the start report
    bool fail_reply;
    bool other_product_reopened;
    std::vector<std::string> lifetime;
};
void PrintTo(const LifetimeCase& c, std::ostream* os) { *os << c.name; }

class Lifetime : public UpdateSequenceTest, public ::testing::WithParamInterface<LifetimeCase> {
  protected:
    UpdateSequence told{link, update, bus, view, view, {.stand_ins = false, .lifetime = &view}};
};

TEST_P(Lifetime, IsToldOncePerStartAndOnceAtItsEnd) {
    const auto& c = GetParam();
    Connect(true);
    bus.failing_writes = {c.failing_writes.begin(), c.failing_writes.end()};
    bus.fail_reply = c.fail_reply;
    told.OnBnClickedUpdate();
    for (int i = 0; i < 300; ++i) told.OnTimer(UPDATE_TIMER_ID);
    if (c.other_product_reopened) link.bVariantDevice = false;
    for (int i = 0; update.bUpdating && i < 5000; ++i) told.OnTimer(UPDATE_TIMER_ID);

    EXPECT_THAT(view.Only("lifetime:"), ElementsAreArray(c.lifetime));
    if (c.lifetime.size() == 2) {
        // Ended before the box that says how it ended, so sleep is allowed while it is open.
        const auto ended = std::find(view.log.begin(), view.log.end(), "lifetime:ended");
        ASSERT_NE(ended + 1, view.log.end());
        EXPECT_TRUE(ended[1].starts_with("plain:") || ended[1].starts_with("warning:"));
    }
}

const std::vector<std::string> kStartedEnded = {"lifetime:started", "lifetime:ended"};
INSTANTIATE_TEST_SUITE_P(
    Endings, Lifetime,
    ::testing::Values(LifetimeCase{"success", {}, false, false, kStartedEnded},
                      LifetimeCase{"start_write_fails", {0}, false, false, {}},
                      LifetimeCase{"reply_read_fails", {}, true, false, {}},
                      LifetimeCase{"data_write_fails", {1 + 100}, false, false, kStartedEnded},
                      LifetimeCase{"last_data_write_fails", {988}, false, false, kStartedEnded},
                      LifetimeCase{"finish_write_fails", {989}, false, false, kStartedEnded},
                      LifetimeCase{"other_product_reopened", {}, false, true, kStartedEnded}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateSequenceTest, LifetimeHeldWhileSuspendedAndAgainByTheNextUpdate) {
    std::optional<UpdateSequence> told;
    told.emplace(link, update, bus, view, view, UpdateOptions{.stand_ins = false, .lifetime = &view});
    Connect(false);
    told->OnBnClickedUpdate();
    for (int i = 0; i < 10; ++i) told->OnTimer(UPDATE_TIMER_ID);
    link.hDevice = kInvalidHandle;  // unplugged: suspended, still under way
    for (int i = 0; i < 10; ++i) told->OnTimer(UPDATE_TIMER_ID);
    EXPECT_THAT(view.Only("lifetime:"), ElementsAre("lifetime:started"));

    link.hDevice = bus.Open(kPath);
    for (int i = 0; update.bUpdating && i < 5000; ++i) told->OnTimer(UPDATE_TIMER_ID);
    told->OnBnClickedUpdate();
    EXPECT_THAT(view.Only("lifetime:"),
                ElementsAre("lifetime:started", "lifetime:ended", "lifetime:started"));

    told.reset();  // the window closed in the middle of the second update
    EXPECT_THAT(view.Only("lifetime:"), ElementsAre("lifetime:started", "lifetime:ended",
                                                    "lifetime:started", "lifetime:ended"));
}

// The guard of a build whose images are stand-ins: one question before the first start, No
// writes nothing and leaves the window as it was, Yes holds for the life of the sequence.
struct GuardCase {
    const char* name;
    bool stand_ins;
    bool has_question;
    std::vector<bool> answers;  // one per press, each followed by a whole update if it starts
    std::size_t questions;      // asked in all
    std::size_t updates;        // delivered in all
};
void PrintTo(const GuardCase& c, std::ostream* os) { *os << c.name; }

class StandInGuard : public UpdateSequenceTest, public ::testing::WithParamInterface<GuardCase> {};

TEST_P(StandInGuard, AsksBeforeTheFirstStartOnly) {
    const auto& c = GetParam();
    Connect(true);
    UpdateSequence guarded(link, update, bus, view, view,
                           {.stand_ins = c.stand_ins, .question = c.has_question ? &view : nullptr});
    std::size_t delivered = 0;
    for (const bool answer : c.answers) {
        view.answer_yes = answer;
        const std::size_t log_before = view.log.size();
        const std::size_t writes_before = bus.writes.size();
        guarded.OnBnClickedUpdate();
        if (!update.bUpdating) {
            // Refused: no report, and nothing on the window but the question itself.
            EXPECT_EQ(bus.writes.size(), writes_before);
            for (std::size_t i = log_before; i < view.log.size(); ++i)
                EXPECT_TRUE(view.log[i].starts_with("question:")) << view.log[i];
            continue;
        }
        for (int i = 0; update.bUpdating && i < 5000; ++i) guarded.OnTimer(UPDATE_TIMER_ID);
        const std::vector<UpdateReport> all = bus.Reports();
        const std::vector<UpdateReport> these(all.begin() + static_cast<long>(writes_before),
                                              all.end());
        if (CheckDelivery(these, Image().bytes()) == kDelivered) ++delivered;
    }
    EXPECT_THAT(view.Only("question:"),
                ElementsAreArray(std::vector(c.questions, Line("question:", text::kStandInQuestion))));
    EXPECT_EQ(delivered, c.updates);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StandInGuard,
    ::testing::Values(GuardCase{"other_images_never_ask", false, true, {false, false}, 0, 2},
                      GuardCase{"no_sends_nothing", true, true, {false}, 1, 0},
                      GuardCase{"no_asks_again_at_the_next_press", true, true, {false, false}, 2, 0},
                      GuardCase{"yes_streams_and_is_remembered", true, true, {true, false}, 1, 2},
                      GuardCase{"no_then_yes", true, true, {false, true, false}, 2, 2},
                      GuardCase{"without_a_question_nothing_is_written", true, false, {true}, 0, 0},
                      GuardCase{"other_images_need_no_question", false, false, {true}, 0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateSequenceTest, StandInGuardIsNotAskedWithoutADevice) {
    UpdateSequence guarded(link, update, bus, view, view, {.stand_ins = true, .question = &view});
    guarded.OnBnClickedUpdate();
    EXPECT_THAT(view.log, ElementsAre("warning:The device is not connected!"));
}

TEST_F(UpdateSequenceTest, DeviceGoneWhileTheStandInQuestionIsOpenIsNotConnected) {
    Connect(true);
    UpdateSequence guarded(link, update, bus, view, view, {.stand_ins = true, .question = &view});
    view.answer_yes = true;
    view.while_box_open = [&] {  // the removal path runs in the box's loop
        if (!link.bConnected) return;
        bus.Close(link.hDevice);
        link = {kInvalidHandle, false, false};
    };
    guarded.OnBnClickedUpdate();
    EXPECT_THAT(view.log, ElementsAre(Line("question:", text::kStandInQuestion),
                                      "warning:The device is not connected!"));
    EXPECT_EQ(bus.write_calls, 0u);
}

// A failed update, then one that succeeds, then the sequence goes (the window closed while
// idle): each update is ended once, and the sequence's end tells nothing more.
TEST_F(UpdateSequenceTest, LifetimeNotEndedAgainWhenTheSequenceGoesAfterTheEnd) {
    std::optional<UpdateSequence> told;
    told.emplace(link, update, bus, view, view,
                 UpdateOptions{.stand_ins = false, .lifetime = &view});
    Connect(true);
    bus.failing_writes = {1 + 100};
    for (int attempt = 0; attempt < 2; ++attempt) {
        told->OnBnClickedUpdate();
        for (int i = 0; update.bUpdating && i < 5000; ++i) told->OnTimer(UPDATE_TIMER_ID);
    }
    ASSERT_THAT(view.Only("plain:"), ElementsAre(Line("plain:", text::kSuccess)));
    told.reset();
    EXPECT_THAT(view.Only("lifetime:"), ElementsAre("lifetime:started", "lifetime:ended",
                                                    "lifetime:started", "lifetime:ended"));
}

// One writer per unit: the claim is asked for before anything is written and kept until the
// update ends, however it ends.
class RecordingClaims : public UnitClaims {
  public:
    bool TryClaim(std::string_view key) override {
        log.push_back("claim:" + std::string(key));
        return key != held_elsewhere && failure.empty();
    }
    void Release() override { log.push_back("release"); }
    std::string ClaimFailure() const override { return failure; }
    std::string held_elsewhere;
    std::string failure;  // every claim cannot be made, for this reason
    std::vector<std::string> log;
};

// Why a claim is refused, and the box that says so.
enum class Refusal { kNone, kHeldElsewhere, kCannotClaim };

struct ClaimCase {
    const char* name;
    Refusal refusal;
    std::vector<std::size_t> failing_writes;  // write 0 is the start report
    std::vector<std::string> claims;
    std::size_t writes;  // reports written
};
void PrintTo(const ClaimCase& c, std::ostream* os) { *os << c.name; }

class Claims : public UpdateSequenceTest, public ::testing::WithParamInterface<ClaimCase> {
  protected:
    RecordingClaims claims;
};

const std::string kClaimSerial = "claim:serial-A0_2f1";  // "A0/1": the slash written as hex

TEST_P(Claims, HeldFromTheStartToTheEnd) {
    const auto& c = GetParam();
    Connect(true);
    link.openPath = kPath;
    link.openUnit = {"1-2", "A0/1"};
    if (c.refusal == Refusal::kHeldElsewhere) claims.held_elsewhere = kClaimSerial.substr(6);
    if (c.refusal == Refusal::kCannotClaim) claims.failure = "cannot open the claim file";
    bus.failing_writes = {c.failing_writes.begin(), c.failing_writes.end()};
    {
        UpdateSequence claimed{link, update, bus, view, view,
                               {.stand_ins = false, .claims = &claims}};
        claimed.OnBnClickedUpdate();
        for (int i = 0; update.bUpdating && i < 5000; ++i) claimed.OnTimer(UPDATE_TIMER_ID);
    }
    EXPECT_THAT(claims.log, ElementsAreArray(c.claims));
    EXPECT_EQ(bus.writes.size(), c.writes);
    if (c.refusal != Refusal::kNone) {
        // A claim that cannot be made is no other update to wait for: the error box.
        const std::string_view box =
            c.refusal == Refusal::kHeldElsewhere ? text::kUnitBusy : text::kTryAgain;
        EXPECT_THAT(view.Only("warning:"), ElementsAre(Line("warning:", box)));
        EXPECT_THAT(view.Only("enable:"), ElementsAre());  // the window stays as it was
    }
}

INSTANTIATE_TEST_SUITE_P(
    Endings, Claims,
    ::testing::Values(
        ClaimCase{"success", Refusal::kNone, {}, {kClaimSerial, "release"}, 990},
        ClaimCase{"held_by_another_program", Refusal::kHeldElsewhere, {}, {kClaimSerial}, 0},
        ClaimCase{"cannot_be_made", Refusal::kCannotClaim, {}, {kClaimSerial}, 0},
        ClaimCase{"start_fails", Refusal::kNone, {0}, {kClaimSerial, "release"}, 0},
        ClaimCase{"data_write_fails", Refusal::kNone, {1 + 100}, {kClaimSerial, "release"}, 101}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UnitClaimKey, NamesTheUnitBySerialThenPortThenPath) {
    EXPECT_EQ(UnitClaimKey({"1-2.3", "SN 7"}, "/dev/hidraw0"), "serial-SN_207");
    EXPECT_EQ(UnitClaimKey({"1-2.3", ""}, "/dev/hidraw0"), "port-1-2.3");
    EXPECT_EQ(UnitClaimKey({}, "hid#a_b"), "path-hid_23a_5fb");
    // Distinct units, distinct names, even where the bytes differ only outside [A-Za-z0-9.-].
    EXPECT_NE(UnitClaimKey({}, "a/b"), UnitClaimKey({}, "a_b"));
}

}  // namespace
}  // namespace lumo
