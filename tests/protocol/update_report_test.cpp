#include "protocol/update_report.h"

#include <gtest/gtest.h>

#include <numeric>
#include <ostream>
#include <vector>

#include "firmware/firmware_image.h"

namespace lumo {
namespace {

std::vector<std::uint8_t> Payload(const UpdateReport& r) {
    return {r.bytes.begin() + 5, r.bytes.begin() + 61};
}

std::vector<std::uint8_t> Head(const UpdateReport& r) {
    return {r.bytes.begin(), r.bytes.begin() + 5};
}

TEST(UpdateReport, StartReportHeaderAndZeroRest) {
    const UpdateReport r = BuildStartReport();
    EXPECT_EQ(r.bytes.size(), 63u);
    EXPECT_EQ(Head(r), (std::vector<std::uint8_t>{0x01, 0x81, 0x00, 0x00, 0x00}));
    for (std::size_t i = 5; i < 63; ++i) EXPECT_EQ(r.bytes[i], 0) << "byte " << i;
}

struct DataCase {
    const char* name;
    std::uint32_t index;
    std::size_t image_bytes;
    std::uint8_t lo, hi;
};
void PrintTo(const DataCase& c, std::ostream* os) { *os << c.name; }

class DataReportCases : public ::testing::TestWithParam<DataCase> {};

TEST_P(DataReportCases, HeaderPayloadAndFill) {
    const DataCase& c = GetParam();
    std::vector<std::uint8_t> block(c.image_bytes);
    std::iota(block.begin(), block.end(), std::uint8_t{1});

    const UpdateReport r = BuildDataReport(c.index, block);

    EXPECT_EQ(Head(r), (std::vector<std::uint8_t>{0x01, 0x80, 0x38, c.lo, c.hi}));
    const auto payload = Payload(r);
    for (std::size_t i = 0; i < 56; ++i) {
        const std::uint8_t want = i < c.image_bytes ? block[i] : 0xFF;
        EXPECT_EQ(payload[i], want) << "payload position " << i;
    }
    EXPECT_EQ(r.bytes[61], 0);
    EXPECT_EQ(r.bytes[62], 0);
}

INSTANTIATE_TEST_SUITE_P(Blocks, DataReportCases,
                         ::testing::Values(DataCase{"first_full", 0, 56, 0x00, 0x00},
                                           DataCase{"index_256", 256, 56, 0x00, 0x01},
                                           DataCase{"largest_index", 1953, 7, 0xA1, 0x07},
                                           DataCase{"index_above_16_bits", 0x12345, 56, 0x45, 0x23},
                                           DataCase{"one_byte", 5, 1, 0x05, 0x00},
                                           DataCase{"no_bytes", 9, 0, 0x09, 0x00}),
                         [](const auto& info) { return std::string(info.param.name); });

// The last block of each built-in image, as the device must receive it.
struct LastBlockCase {
    const char* name;
    const FirmwareImage* image;
    std::uint32_t index;
    std::size_t tail;
    std::uint8_t lo, hi;
};
void PrintTo(const LastBlockCase& c, std::ostream* os) { *os << c.name; }

class LastBlockCases : public ::testing::TestWithParam<LastBlockCase> {};

TEST_P(LastBlockCases, LastDataAndFinishReport) {
    const LastBlockCase& c = GetParam();
    const auto bytes = c.image->bytes();
    ASSERT_EQ(bytes.size(), c.index * 56u + c.tail);
    const auto tail = bytes.subspan(c.index * 56u);

    const UpdateReport last = BuildDataReport(c.index, tail);
    EXPECT_EQ(Head(last), (std::vector<std::uint8_t>{0x01, 0x80, 0x38, c.lo, c.hi}));
    std::vector<std::uint8_t> want(tail.begin(), tail.end());
    want.resize(56, 0xFF);
    EXPECT_EQ(Payload(last), want);

    const UpdateReport finish = BuildFinishReport(last);
    EXPECT_EQ(Head(finish), (std::vector<std::uint8_t>{0x01, 0x83, 0x00, 0x00, 0x00}));
    EXPECT_TRUE(std::equal(finish.bytes.begin() + 5, finish.bytes.end(), last.bytes.begin() + 5));
}

INSTANTIATE_TEST_SUITE_P(
    Images, LastBlockCases,
    ::testing::Values(LastBlockCase{"variant", &g_firmwareVariant, 987, 20, 0xDB, 0x03},
                      LastBlockCase{"primary", &g_firmwarePrimary, 1953, 7, 0xA1, 0x07}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lumo
