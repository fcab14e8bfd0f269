// The Linux device path, composed from what sysfs says of a hidraw node: HID_ID, HID_PHYS,
// the HID instance's name and the node. Input: those four, one per line.
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/linux/hid_path.h"

using namespace lumo::linux_hid;
using lumo::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumo::fuzz::Fields in(data, size);
    const std::string hid_id = in.Next();
    const std::string phys = in.Next();
    const std::string instance = in.Next();
    const std::string node = in.Rest();

    const auto intf = InterfaceFromPhys(phys);
    Require(!intf || *intf <= 0xFF, "an interface number above 0xFF");
    NodeFromHidPath(hid_id + phys + instance + node);  // any text at all

    auto id = ParseHidId(hid_id);
    if (!id) return 0;
    if (id->bus == kBusUsb) id->usb_interface = intf;
    const std::string path = ComposeHidPath(*id, instance, node);

    // The identity, between "hid#" and the next '#', names our device exactly when it is one:
    // nothing in the instance or the node can make a path match.
    Require(path.starts_with("hid#"), "a path that does not start with hid#");
    const std::string identity = path.substr(4, path.find('#', 4) - 4);
    const bool usb_ours = id->bus == kBusUsb && id->vendor == 0x5A7E;
    Require((identity.find("vid_5a7e&pid_c3d1") != std::string::npos) ==
                (usb_ours && id->product == 0xC3D1),
            "the primary match string in the identity of another device, or not in ours");
    Require((identity.find("vid_5a7e&pid_7b16") != std::string::npos) ==
                (usb_ours && id->product == 0x7B16),
            "the variant match string in the identity of another device, or not in ours");
    // The node comes back as it went in.
    if (node.starts_with('/') && node.find('#') == std::string::npos)
        Require(NodeFromHidPath(path) == node, "the node did not come back from the path");
    return 0;
}
