#include "platform/web/webhid_path.h"

#include <gtest/gtest.h>

#include <string>

#include "core/device_link.h"

namespace lumo::web {
namespace {

TEST(WebHidPath, NamesBothProductsAsTheDiscoveryMatchesThem) {
    const std::string primary = ComposeWebHidPath(0x5A7E, 0xC3D1, 1);
    const std::string variant = ComposeWebHidPath(0x5A7E, 0x7B16, 2);
    EXPECT_EQ(primary, "hid#vid_5a7e&pid_c3d1#webhid-1");
    EXPECT_NE(primary.find("vid_5a7e&pid_c3d1"), std::string::npos);
    EXPECT_NE(variant.find(kVariantMatch), std::string::npos);
    EXPECT_EQ(ComposeWebHidPath(0x046D, 0xC31C, 3).find("vid_5a7e"), std::string::npos);
}

TEST(WebHidPath, GivesBackTheNumberItWasMadeWith) {
    EXPECT_EQ(WebHidIdFromPath(ComposeWebHidPath(0x5A7E, 0xC3D1, 4294967295u)), 4294967295u);
    struct Case {
        const char* path;
    };
    for (const Case c : {Case{"hid#vid_5a7e&pid_c3d1#webhid-"}, Case{"hid#vid_5a7e&pid_c3d1"},
                         Case{"hid#vid_5a7e&pid_c3d1#webhid-12x"},
                         Case{"hid#vid_5a7e&pid_c3d1#webhid-99999999999"},
                         Case{"hid#vid_5a7e&pid_c3d1&mi_00#0003:5a7e:c3d1.0001#/dev/hidraw0"}})
        EXPECT_FALSE(WebHidIdFromPath(c.path).has_value()) << c.path;
}

}  // namespace
}  // namespace lumo::web
