#include "firmware/firmware_image.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace lumo
