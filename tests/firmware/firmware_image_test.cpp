#include "firmware/firmware_image.h"

#include <gtest/gtest.h>

#include "firmware/firmware_provenance.h"

namespace lumo {
namespace {

TEST(FirmwareImage, EmbeddedLengths) {
    EXPECT_EQ(g_firmwareVariant.length, 55292u);
    EXPECT_EQ(g_firmwarePrimary.length, 109375u);
}

TEST(FirmwareImage, SelectionFollowsTheVariantFlag) {
    EXPECT_EQ(&SelectFirmwareImage(true), &g_firmwareVariant);
    EXPECT_EQ(&SelectFirmwareImage(false), &g_firmwarePrimary);
}

// The record made at configure time describes the bytes that were embedded.
TEST(FirmwareImage, ProvenanceDescribesTheEmbeddedImages) {
    const auto& p = g_firmwareProvenance;
    EXPECT_EQ(p.variant.length, g_firmwareVariant.length);
    EXPECT_EQ(p.primary.length, g_firmwarePrimary.length);
    EXPECT_EQ(p.variant.product, 0x7B16);
    EXPECT_EQ(p.primary.product, 0xC3D1);
    for (const auto* image : {&p.variant, &p.primary}) {
        EXPECT_EQ(image->sha256.size(), 64u);
        EXPECT_EQ(image->sha256.find_first_not_of("0123456789abcdef"), std::string_view::npos);
    }
}

}  // namespace
}  // namespace lumo
