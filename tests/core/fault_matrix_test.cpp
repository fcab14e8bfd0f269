// Every fault at every report of both images: the whole tool over the fake bus, one run per
// image, report and fault, alone and with a second unit of the same product plugged in beside
// ours (which must never receive a report), each judged by the devices that received them. A failure
// names the image, the report and the fault. LUMO_MATRIX_STRIDE=N keeps every Nth block (and
// the first, last and finish reports) for slow builds such as the sanitizer's.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/fakes/fault_rig.h"

namespace lumo {
namespace {

using testing::FaultRig;

enum class Kind {
    WriteFails,         // the write returns failure
    WriteGivesUp,       // the write waits out its time limit and gives up
    PulledOut,          // pulled out just before the write; the notice comes after it failed
    Away0,              // removed before the tick, back after 0, 1, 50 ticks
    Away1,
    Away50,
    Away0Other,         // ... and what comes back is a device of the other product
    Away1Other,
    Away50Other,
    AwayForGood,        // removed before the tick and never back
    UnrelatedRemoved,   // another interface removed before the tick
    RepeatedNotices,    // unplugged and plugged in again, three notices each way
    ReplyFails,         // the start's reply read fails
    ReplyGivesUp,       // ... waits out its time limit and gives up
};

enum class Expect { Success, Failure, Suspended };

struct KindCase {
    Kind kind;
    const char* name;
    bool at_start;   // applies to the start report and its reply
    bool at_blocks;  // applies to each data report and the finish report
    int away_ticks;  // for the removals that come back
    bool other_product;
};

constexpr KindCase kKinds[] = {
    {Kind::WriteFails, "write fails", true, true, 0, false},
    {Kind::WriteGivesUp, "write gives up", true, true, 0, false},
    {Kind::PulledOut, "pulled out during the write", false, true, 0, false},
    {Kind::Away0, "removed, back after 0 ticks", false, true, 0, false},
    {Kind::Away1, "removed, back after 1 tick", false, true, 1, false},
    {Kind::Away50, "removed, back after 50 ticks", false, true, 50, false},
    {Kind::Away0Other, "removed, other product after 0 ticks", false, true, 0, true},
    {Kind::Away1Other, "removed, other product after 1 tick", false, true, 1, true},
    {Kind::Away50Other, "removed, other product after 50 ticks", false, true, 50, true},
    {Kind::AwayForGood, "removed for good", false, true, 0, false},
    {Kind::UnrelatedRemoved, "unrelated interface removed", false, true, 0, false},
    {Kind::RepeatedNotices, "replugged with three notices each way", false, true, 0, false},
    {Kind::ReplyFails, "reply read fails", true, false, 0, false},
    {Kind::ReplyGivesUp, "reply read gives up", true, false, 0, false},
};

bool ComesBack(Kind k) {
    return k == Kind::Away0 || k == Kind::Away1 || k == Kind::Away50 || k == Kind::Away0Other ||
           k == Kind::Away1Other || k == Kind::Away50Other;
}

constexpr std::int64_t kStart = -1;  // the position of the start report and its reply

std::string PositionName(std::int64_t pos, std::uint32_t blocks) {
    if (pos == kStart) return "start report";
    if (pos == blocks) return "finish report";
    return "block " + std::to_string(pos);
}

Expect Expected(const KindCase& k, std::int64_t pos, std::uint32_t blocks) {
    const bool finish = pos == blocks;
    switch (k.kind) {
    case Kind::UnrelatedRemoved: return Expect::Success;
    case Kind::RepeatedNotices: return finish ? Expect::Failure : Expect::Success;
    case Kind::AwayForGood: return finish ? Expect::Failure : Expect::Suspended;
    case Kind::Away0:
    case Kind::Away1:
    case Kind::Away50: return finish ? Expect::Failure : Expect::Success;
    default: return Expect::Failure;
    }
}

// One run: an update of the image of `variant`, with the fault `k` at position `pos`. Empty
// when every rule and the promise held and the outcome is the expected one.
std::string RunOne(bool variant, const KindCase& k, std::int64_t pos, std::uint32_t blocks,
                   bool twin) {
    FaultRig rig;
    const std::size_t device = rig.AddDevice(variant);
    const std::size_t other = rig.AddDevice(!variant);
    // Listed after ours at the start, and before ours once ours has been plugged in again.
    const std::size_t second = rig.AddDevice(variant);
    rig.PlugUnrelated();
    rig.Plug(device);
    if (twin) rig.Plug(second);
    rig.Start();

    const bool finish = pos == blocks;
    const std::size_t ahead = finish ? 1 : 0;  // the finish report follows the last data report
    if (pos == kStart) {
        if (k.kind == Kind::WriteFails) rig.FailWrite();
        if (k.kind == Kind::WriteGivesUp) rig.StallWrite();
        if (k.kind == Kind::ReplyFails) rig.FailReply();
        if (k.kind == Kind::ReplyGivesUp) rig.StallReply();
        rig.Click();
    } else {
        rig.Click();
        const std::uint32_t until = finish ? blocks - 1 : static_cast<std::uint32_t>(pos);
        while (rig.update().bUpdating && rig.update().nBlockIndex < until) rig.Tick();
        if (!rig.update().bUpdating || rig.update().nBlockIndex != until)
            return "the update never reached its block " + std::to_string(until);

        // What happens before the tick; for the finish report, while the tool pauses before it
        // (no notice is handled then, so they come afterwards).
        auto before = [&](auto&& physical, unsigned event, int notices) {
            if (finish) {
                rig.during_finish_pause = [&rig, physical, event, notices] {
                    physical();
                    rig.NotifyLater(event, notices);
                };
            } else {
                physical();
                rig.Notify(event, notices);
            }
        };
        switch (k.kind) {
        case Kind::WriteFails: rig.FailWrite(ahead); break;
        case Kind::WriteGivesUp: rig.StallWrite(ahead); break;
        case Kind::PulledOut:
            if (finish) {
                before([&] { rig.Unplug(device); }, kDeviceRemoveComplete, 1);
            } else {
                rig.Unplug(device);
                rig.NotifyLater(kDeviceRemoveComplete);
            }
            break;
        case Kind::UnrelatedRemoved:
            before([&] { rig.UnplugUnrelated(); }, kDeviceRemoveComplete, 1);
            break;
        case Kind::RepeatedNotices:
            before(
                [&] {
                    rig.Unplug(device);
                    rig.Plug(device);
                },
                kDeviceRemoveComplete, 3);
            if (finish) {
                rig.NotifyLater(kDeviceArrival, 3);
            } else {
                rig.Notify(kDeviceArrival, 3);
            }
            break;
        default:  // the removals
            before([&] { rig.Unplug(device); }, kDeviceRemoveComplete, 1);
            break;
        }
        if (finish) rig.Tick();  // the tick of the last data report and the finish report
        if (ComesBack(k.kind)) {
            for (int i = 0; i < k.away_ticks; ++i) rig.Tick();
            rig.Plug(k.other_product ? other : device);
            rig.Notify(kDeviceArrival);
        }
    }
    rig.RunToEnd(static_cast<int>(blocks) + 100);
    for (int i = 0; i < 5; ++i) rig.Tick();  // nothing more may be written

    const Expect expect = Expected(k, pos, blocks);
    const bool suspended = rig.tool().IsUpdating();
    const auto& view = rig.view();
    if (!rig.WriteFaultsMet()) return "the write fault was never reached";
    const bool stalled = k.kind == Kind::WriteGivesUp || k.kind == Kind::ReplyGivesUp;
    if (rig.bus().stalled_calls != (stalled ? 1u : 0u))
        return std::to_string(rig.bus().stalled_calls) + " calls gave up at their time limit";
    if (rig.device(second).reports() != 0) return "the second unit received reports; " + rig.Describe();
    const std::string broken = rig.Finish();
    if (!broken.empty()) return broken + "; " + rig.Describe();
    const bool ok = expect == Expect::Success     ? view.successes == 1 && view.failures == 0
                    : expect == Expect::Failure   ? view.successes == 0 && view.failures == 1
                                                  : suspended && view.successes == 0 &&
                                                      view.failures == 0 && !view.update_enabled;
    if (!ok)
        return std::string("expected ") +
               (expect == Expect::Success   ? "success"
                : expect == Expect::Failure ? "one failure box"
                                            : "the update suspended") +
               "; " + rig.Describe();
    return {};
}

std::uint32_t StrideFromEnvironment() {
    const char* s = std::getenv("LUMO_MATRIX_STRIDE");
    const long v = s ? std::strtol(s, nullptr, 10) : 1;
    return v > 1 ? static_cast<std::uint32_t>(v) : 1;
}

TEST(FaultMatrix, PromiseHoldsForEveryFaultAtEveryReport) {
    const std::uint32_t stride = StrideFromEnvironment();
    const auto began = std::chrono::steady_clock::now();
    std::size_t runs = 0;
    std::size_t failed = 0;
    for (const bool variant : {true, false}) {
        const FirmwareImage& image = SelectFirmwareImage(variant);
        const auto blocks =
            static_cast<std::uint32_t>((image.length + UPDATE_BLOCK_SIZE - 1) / UPDATE_BLOCK_SIZE);
        std::vector<std::int64_t> positions{kStart};
        for (std::uint32_t b = 0; b <= blocks; ++b)
            if (b % stride == 0 || b < 2 || b + 2 > blocks) positions.push_back(b);
        for (const bool twin : {false, true}) {
            for (const KindCase& k : kKinds) {
                for (const std::int64_t pos : positions) {
                    if (pos == kStart ? !k.at_start : !k.at_blocks) continue;
                    ++runs;
                    const std::string broken = RunOne(variant, k, pos, blocks, twin);
                    if (broken.empty()) continue;
                    if (++failed <= 20)
                        ADD_FAILURE() << (variant ? "variant" : "primary") << " image"
                                      << (twin ? " beside a second unit" : "") << ", "
                                      << PositionName(pos, blocks) << ", " << k.name << ": "
                                      << broken;
                }
            }
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("fault matrix: %zu runs (2 images, one and two units, %zu fault kinds, every %u block%s), %zu "
                "failed, %.1f s\n",
                runs, std::size(kKinds), stride, stride == 1 ? "" : "s", failed, seconds);
    EXPECT_EQ(failed, 0u);
}

}  // namespace
}  // namespace lumo
