#include "tests/fakes/fake_hid_bus.h"

#include <algorithm>
#include <cstring>

namespace lumo::testing {

// A snapshot of the bus, as the platform takes one.
class FakeInterfaceSet : public HidInterfaceSet {
  public:
    explicit FakeInterfaceSet(FakeHidBus& bus) : bus_(bus), items_(bus.interfaces) {
        ++bus_.sets_live;
        ++bus_.sets_created;
    }
    ~FakeInterfaceSet() override { --bus_.sets_live; }

    bool EnumInterface(std::uint32_t index) override {
        return index != bus_.fail_enum_at && index < items_.size();
    }
    std::size_t PathSize(std::uint32_t index) override {
        if (index >= items_.size() || items_[index].hide_path_size) return 0;
        if (items_[index].reported_size != 0) return items_[index].reported_size;
        return items_[index].path.size() + 1;
    }
    bool ReadPath(std::uint32_t index, std::span<char> buffer) override {
        if (index >= items_.size() || items_[index].fail_path_read) return false;
        const std::string& path = items_[index].path;
        if (buffer.size() < path.size() + 1) return false;
        std::memcpy(buffer.data(), path.c_str(), path.size() + 1);
        bus_.paths_read.push_back(path);
        return true;
    }
    UnitIdentity Identity(std::uint32_t index) override {
        return index < items_.size() ? items_[index].unit : UnitIdentity{};
    }

  private:
    FakeHidBus& bus_;
    std::vector<FakeInterface> items_;
};

FakeInterface& FakeHidBus::Plug(std::string path) {
    interfaces.push_back(FakeInterface{std::move(path)});
    return interfaces.back();
}

void FakeHidBus::Unplug(const std::string& path) {
    std::erase_if(interfaces, [&](const FakeInterface& i) { return i.path == path; });
}

std::vector<UpdateReport> FakeHidBus::Reports() const {
    std::vector<UpdateReport> out;
    for (const auto& w : writes) out.push_back(w.report);
    return out;
}

const FakeInterface* FakeHidBus::Find(const std::string& path) const {
    for (const auto& i : interfaces)
        if (i.path == path) return &i;
    return nullptr;
}

bool FakeHidBus::Usable(HidHandle h) {
    if (!open_handles.contains(h)) {
        ++io_on_bad_handle;
        return false;
    }
    return Find(handle_paths_[h]) != nullptr;  // the device is still plugged in
}

std::unique_ptr<HidInterfaceSet> FakeHidBus::ListInterfaces() {
    if (fail_list) return nullptr;
    return std::make_unique<FakeInterfaceSet>(*this);
}

HidHandle FakeHidBus::Open(std::string_view path) {
    const std::string p(path);
    opened.push_back(p);
    const FakeInterface* i = Find(p);
    if (i == nullptr || i->refuse_open) return kInvalidHandle;
    const HidHandle h = next_handle_++;
    open_handles.insert(h);
    handle_paths_[h] = p;
    return h;
}

bool FakeHidBus::SetNumInputBuffers(HidHandle h, unsigned count) {
    input_buffers[h] = count;
    return open_handles.contains(h);
}

bool FakeHidBus::Probe(HidHandle h) {
    if (!Usable(h)) return false;
    return !Find(handle_paths_[h])->refuse_probe;
}

bool FakeHidBus::WriteReport(HidHandle h, const UpdateReport& report) {
    const std::size_t ordinal = write_calls++;
    if (!Usable(h) || failing_writes.contains(ordinal)) return false;
    if (stalling_writes.contains(ordinal)) {
        ++stalled_calls;  // the device never took it; the call gave up at its time limit
        return false;
    }
    if (keep_writes) writes.push_back({h, report});
    if (on_write) on_write(h, handle_paths_[h], report);
    return true;
}

bool FakeHidBus::ReadReply(HidHandle h) {
    ++reply_reads;
    if (!Usable(h) || fail_reply) return false;
    if (stall_reply) {
        ++stalled_calls;
        return false;
    }
    return true;
}

void FakeHidBus::Close(HidHandle h) {
    if (open_handles.erase(h) == 0) ++bad_closes;
}

}  // namespace lumo::testing
