// A HID bus for tests: interfaces come and go, any call can be made to fail, every report
// written is recorded, and everything taken (interface sets, handles) is counted so that a
// test can prove nothing leaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ports/hid_access.h"

namespace lumo::testing {

struct FakeInterface {
    std::string path;
    UnitIdentity unit{};          // the unit it belongs to; unknown by default
    bool refuse_open = false;     // e.g. another program holds it exclusively
    bool refuse_probe = false;    // its HID description cannot be read
    bool hide_path_size = false;  // the size request reports nothing
    bool fail_path_read = false;  // the detail request fails
    std::size_t reported_size = 0;  // when not 0, the size request reports this instead
};

struct WrittenReport {
    HidHandle handle;
    UpdateReport report;
};

class FakeHidBus : public HidAccess {
  public:
    // --- the bus ---
    FakeInterface& Plug(std::string path);
    void Unplug(const std::string& path);  // open handles on it stay open but stop working
    std::vector<FakeInterface> interfaces;

    // --- failures to inject ---
    bool fail_list = false;                   // no interface set can be created
    std::uint32_t fail_enum_at = UINT32_MAX;  // enumeration fails at this index
    std::set<std::size_t> failing_writes;     // ordinal of the write call, from 0
    std::set<std::size_t> stalling_writes;    // these give up after the bounded wait
    bool fail_reply = false;                  // the reply read fails
    bool stall_reply = false;                 // the reply read gives up after the bounded wait

    // --- what happened ---
    std::vector<WrittenReport> writes;  // successful writes, in order (unless !keep_writes)
    bool keep_writes = true;            // long runs judge reports as they come instead
    // Called for every report the device takes, with the path of the interface it went to.
    std::function<void(HidHandle, const std::string& path, const UpdateReport&)> on_write;
    std::size_t write_calls = 0;
    std::size_t stalled_calls = 0;  // calls that waited out their time limit and gave up
    std::size_t reply_reads = 0;
    std::vector<std::string> paths_read;          // every path the caller asked for
    std::vector<std::string> opened;              // every path opened, in order
    std::map<HidHandle, unsigned> input_buffers;  // as set per handle
    int sets_live = 0;                            // interface sets not yet released
    int sets_created = 0;
    std::set<HidHandle> open_handles;
    int bad_closes = 0;        // closing a handle that is not open
    int io_on_bad_handle = 0;  // I/O on a handle that is not open

    // The reports written to the device, without their handles.
    std::vector<UpdateReport> Reports() const;

    // HidAccess
    std::unique_ptr<HidInterfaceSet> ListInterfaces() override;
    HidHandle Open(std::string_view path) override;
    bool SetNumInputBuffers(HidHandle h, unsigned count) override;
    bool Probe(HidHandle h) override;
    bool WriteReport(HidHandle h, const UpdateReport& report) override;
    bool ReadReply(HidHandle h) override;
    void Close(HidHandle h) override;

  private:
    friend class FakeInterfaceSet;
    const FakeInterface* Find(const std::string& path) const;
    bool Usable(HidHandle h);

    std::map<HidHandle, std::string> handle_paths_;
    HidHandle next_handle_ = 0x100;
};

}  // namespace lumo::testing
