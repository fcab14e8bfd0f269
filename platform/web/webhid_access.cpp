#include "platform/web/webhid_access.h"

#include <emscripten.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "platform/path_list_interface_set.h"
#include "platform/web/webhid_path.h"

// The JavaScript side lives in webhid.js (Module.webhid) and the page's event loop
// (Module.lumoLoop); these only hand values across.

// clang-format off
EM_JS(int, lumo_webhid_snapshot, (std::uint32_t* out, int max_entries), {
    return Module.webhid.snapshot(out, max_entries);
});
EM_JS(std::uint32_t, lumo_webhid_open, (std::uint32_t id), {
    return Module.webhid.open(id);
});
EM_JS(int, lumo_webhid_probe, (std::uint32_t handle), {
    return Module.webhid.probe(handle) ? 1 : 0;
});
EM_JS(int, lumo_webhid_set_buffers, (std::uint32_t handle, unsigned count), {
    return Module.webhid.setInputBuffers(handle, count) ? 1 : 0;
});
EM_JS(void, lumo_webhid_close, (std::uint32_t handle), {
    Module.webhid.close(handle);
});
EM_JS(int, lumo_may_await, (), {
    return Module.lumoLoop.mayAwait() ? 1 : 0;
});
EM_ASYNC_JS(int, lumo_webhid_write, (std::uint32_t handle, const std::uint8_t* bytes, int size,
                                     unsigned timeout_ms), {
    const report = HEAPU8.slice(bytes, bytes + size);
    return await Module.webhid.write(handle, report, timeout_ms) ? 1 : 0;
});
EM_ASYNC_JS(int, lumo_webhid_read, (std::uint32_t handle, unsigned timeout_ms), {
    return await Module.webhid.read(handle, timeout_ms) ? 1 : 0;
});
// clang-format on

namespace lumo::web {

namespace {

// Handles as the page numbers them: 0 means the open failed.
std::uint32_t PageHandle(HidHandle h) { return IsOpenHandle(h) ? static_cast<std::uint32_t>(h) : 0; }

// Up to this many devices are listed; far more than a page is ever granted.
constexpr int kMaxDevices = 64;

// The paths of the devices this page may use, in the form the discovery matches.
std::vector<std::string> GrantedPaths() {
    std::array<std::uint32_t, 3 * kMaxDevices> entries{};
    const int count = lumo_webhid_snapshot(entries.data(), kMaxDevices);
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) {
        const std::uint32_t* e = &entries[static_cast<std::size_t>(3 * i)];
        paths.push_back(ComposeWebHidPath(static_cast<std::uint16_t>(e[1]),
                                          static_cast<std::uint16_t>(e[2]), e[0]));
    }
    return paths;
}

}  // namespace

std::unique_ptr<HidInterfaceSet> WebHidAccess::ListInterfaces() {
    return std::make_unique<PathListInterfaceSet>(GrantedPaths());
}

HidHandle WebHidAccess::Open(std::string_view path) {
    const auto id = WebHidIdFromPath(path);
    if (!id) return kInvalidHandle;
    const std::uint32_t handle = lumo_webhid_open(*id);
    return handle == 0 ? kInvalidHandle : HidHandle{handle};
}

bool WebHidAccess::SetNumInputBuffers(HidHandle h, unsigned count) {
    return lumo_webhid_set_buffers(PageHandle(h), count) != 0;
}

bool WebHidAccess::Probe(HidHandle h) { return lumo_webhid_probe(PageHandle(h)) != 0; }

bool WebHidAccess::WriteReport(HidHandle h, const UpdateReport& report) {
    if (!lumo_may_await()) return false;
    return lumo_webhid_write(PageHandle(h), report.bytes.data(),
                             static_cast<int>(report.bytes.size()), HID_WRITE_TIMEOUT_MS) != 0;
}

bool WebHidAccess::ReadReply(HidHandle h) {
    if (!lumo_may_await()) return false;
    return lumo_webhid_read(PageHandle(h), HID_REPLY_TIMEOUT_MS) != 0;
}

void WebHidAccess::Close(HidHandle h) { lumo_webhid_close(PageHandle(h)); }

}  // namespace lumo::web
