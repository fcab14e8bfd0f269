#include "tests/fakes/fault_rig.h"

#include <charconv>

#include "ports/status_texts.h"

namespace lumo::testing {

namespace {

const std::string kUnrelated = "\\\\?\\hid#vid_04f2&pid_0112&mi_00#7&5e6f70&0&0000#{4d1e55b2}";

std::string DevicePath(bool variant, std::size_t device, unsigned plug) {
    return std::string("\\\\?\\hid#vid_5a7e&pid_") + (variant ? "7b16" : "c3d1") + "&mi_00#7&" +
           std::to_string(device) + "a&" + std::to_string(plug) + "&0000#{4d1e55b2}";
}

// Ticks the tool's box loop runs while a box is open.
constexpr int kTicksInBox = 3;

}  // namespace

// --- WatchingView -----------------------------------------------------------------------

void WatchingView::Fault(std::string text) {
    if (fault.empty()) fault = std::move(text);
}

void WatchingView::SetStatusCaption(std::string_view t) {
    // A device opened anew: the link shows "0%" and the next tick the saved share again.
    if (t == text::kDeviceConnected) last_percent_ = last_bar_ = -1;
}

void WatchingView::SetNote(std::string_view t) { updating_note = t == text::kUpdating; }

void WatchingView::SetPercentText(std::string_view t) {
    int value = -1;
    const bool number = t.size() >= 2 && t.back() == '%' &&
                        std::from_chars(t.data(), t.data() + t.size() - 1, value).ec == std::errc{};
    if (!number || value < 0 || value > 100) return Fault("percentage shown as \"" + std::string(t) + "\"");
    if (value < last_percent_)
        return Fault("percentage went back from " + std::to_string(last_percent_) + " to " +
                     std::to_string(value));
    last_percent_ = value;
}

void WatchingView::SetProgress(int p) {
    if (p < 0 || p > 100) return Fault("progress bar at " + std::to_string(p));
    if (p < last_bar_)
        return Fault("progress bar went back from " + std::to_string(last_bar_) + " to " +
                     std::to_string(p));
    last_bar_ = p;
}

void WatchingView::EnableUpdate(bool e) {
    if (!e) {  // a press of Update begins a new attempt
        after_failure = false;
        last_percent_ = last_bar_ = -1;
    }
    update_enabled = e;
}

void WatchingView::Box() {
    if (in_box_) return Fault("a box opened while another was open");
    in_box_ = true;
    const std::size_t writes = rig_.bus_.write_calls;
    rig_.InBox();
    if (rig_.bus_.write_calls != writes) Fault("a report was written while a box was open");
    in_box_ = false;
}

void WatchingView::ShowWarningBox(std::string_view t) {
    if (t == text::kTryAgain) {
        ++failures;
        after_failure = true;
        writes_at_failure = rig_.bus_.write_calls;
        if (rig_.tool_->IsUpdating()) Fault("failure box while the update is still under way");
    } else if (t == text::kNotConnected) {
        ++not_connected;
    } else {
        Fault("unexpected warning \"" + std::string(t) + "\"");
    }
    Box();
}

void WatchingView::ShowPlainBox(std::string_view t) {
    if (t != text::kSuccess) Fault("unexpected box \"" + std::string(t) + "\"");
    ++successes;
    if (rig_.tool_->IsUpdating()) Fault("success box while the update is still under way");
    if (rig_.Deliveries() != static_cast<std::size_t>(successes))
        Fault("success shown, but no device received the whole image");
    Box();
}

void WatchingView::Wait(std::uint32_t ms) {
    waited_ms += ms;
    if (ms == UPDATE_FINISH_PAUSE_MS && rig_.during_finish_pause) rig_.during_finish_pause();
}

void WatchingView::UpdateStarted() {
    if (started != ended) Fault("update started twice without an end");
    ++started;
}

void WatchingView::UpdateEnded() {
    if (ended >= started) Fault("update ended without a start");
    ++ended;
}

// --- FaultRig ---------------------------------------------------------------------------

FaultRig::FaultRig() {
    bus_.keep_writes = false;
    bus_.on_write = [this](HidHandle h, const std::string& path, const UpdateReport& r) {
        Take(h, path, r);
    };
    tool_ = std::make_unique<LumoTool>(
        bus_, view_, view_, UpdateOptions{.question = &view_, .lifetime = &view_});
}

FaultRig::~FaultRig() = default;

std::size_t FaultRig::AddDevice(bool variant, UnitIdentity unit) {
    devices_.push_back(Device{variant, std::move(unit),
                              DeliveryCheck(SelectFirmwareImage(variant).bytes()), {}, false, 0});
    return devices_.size() - 1;
}

void FaultRig::Plug(std::size_t n) {
    Device& d = devices_[n];
    if (d.plugged) return;
    d.path = DevicePath(d.variant, n, ++d.plugs);
    d.plugged = true;
    bus_.Plug(d.path).unit = d.unit;
}

void FaultRig::Unplug(std::size_t n) {
    Device& d = devices_[n];
    if (!d.plugged) return;
    d.plugged = false;
    bus_.Unplug(d.path);
}

void FaultRig::PlugUnrelated() {
    if (unrelated_plugged_) return;
    unrelated_plugged_ = true;
    bus_.interfaces.insert(bus_.interfaces.begin(), FakeInterface{kUnrelated});
}

void FaultRig::UnplugUnrelated() {
    if (!unrelated_plugged_) return;
    unrelated_plugged_ = false;
    bus_.Unplug(kUnrelated);
}

void FaultRig::Notify(unsigned event, int times) {
    for (int i = 0; i < times; ++i) tool_->OnDeviceChange(event, 0);
}

void FaultRig::NotifyLater(unsigned event, int times) {
    for (int i = 0; i < times; ++i) pending_.push_back(event);
}

void FaultRig::DeliverPending() {
    while (!pending_.empty()) {
        const unsigned event = pending_.front();
        pending_.pop_front();
        tool_->OnDeviceChange(event, 0);
    }
}

void FaultRig::InBox() {
    // The box's own message loop: notices waiting and a few timer ticks.
    DeliverPending();
    for (int i = 0; i < kTicksInBox; ++i) tool_->OnTimer(UPDATE_TIMER_ID);
}

void FaultRig::Start() { tool_->Start(); }
void FaultRig::Click() {
    DeliverPending();
    // Both dialogs deliver no click from a disabled button.
    if (view_.update_enabled) tool_->OnBnClickedUpdate();
}

void FaultRig::Tick() {
    tool_->OnTimer(UPDATE_TIMER_ID);
    DeliverPending();
}

int FaultRig::RunToEnd(int limit) {
    int ticks = 0;
    for (; ticks < limit && (tool_->IsUpdating() || !pending_.empty()); ++ticks) Tick();
    return ticks;
}

void FaultRig::FailWrite(std::size_t ahead) { bus_.failing_writes.insert(bus_.write_calls + ahead); }

void FaultRig::StallWrite(std::size_t ahead) {
    bus_.stalling_writes.insert(bus_.write_calls + ahead);
}

void FaultRig::Take(HidHandle h, const std::string& path, const UpdateReport& report) {
    if (h != last_handle_) {
        last_handle_ = kNullHandle;
        for (std::size_t n = 0; n < devices_.size(); ++n) {
            if (devices_[n].plugged && devices_[n].path == path) {
                last_handle_ = h;
                last_device_ = n;
            }
        }
        if (last_handle_ == kNullHandle) {
            if (fault_.empty()) fault_ = "a report went to " + path + ", which is no Orvel-M8";
            return;
        }
    }
    devices_[last_device_].check.Take(report);
}

std::string FaultRig::CheckBus() const {
    if (bus_.sets_live != 0) return std::to_string(bus_.sets_live) + " interface sets not released";
    if (bus_.bad_closes != 0) return "a handle closed that was not open";
    if (bus_.io_on_bad_handle != 0) return "I/O on a handle that was not open";
    const auto& link = tool_->link_state();
    if (bus_.open_handles.size() > 1)
        return std::to_string(bus_.open_handles.size()) + " handles open";
    if (bus_.open_handles.size() == 1 &&
        (!link.bConnected || !bus_.open_handles.contains(link.hDevice)))
        return "a handle open that is not the device's";
    if (link.bConnected && bus_.open_handles.empty()) return "connected without an open handle";
    return {};
}

std::string FaultRig::Finish() {
    if (!fault_.empty()) return fault_;
    if (!view_.fault.empty()) return view_.fault;
    if (std::string bus = CheckBus(); !bus.empty()) return bus;

    const bool stuck = tool_->IsUpdating() && tool_->IsConnected();
    const bool idle_but_disabled = !tool_->IsUpdating() && !view_.update_enabled;
    const std::size_t writes = bus_.write_calls;
    // The window closes, also in the middle of an update.
    tool_.reset();
    if (view_.started != view_.ended)
        return "lifetime: " + std::to_string(view_.started) + " started, " +
               std::to_string(view_.ended) + " ended";
    if (bus_.write_calls != writes) return "a report was written as the tool closed";
    if (idle_but_disabled) return "no update under way, but Update stays disabled";

    // The promise: one success box for each whole image a device received, each shown right
    // after it (checked as the box opened), and no broken stream anywhere.
    for (const auto& d : devices_)
        if (d.check.Broken()) return "a device received a broken stream: " + d.check.Verdict();
    if (stuck) return "the update is neither going on nor ended with the device open";
    if (Deliveries() != static_cast<std::size_t>(view_.successes))
        return std::to_string(Deliveries()) + " whole images received, success shown " +
               std::to_string(view_.successes) + " times";
    if (view_.after_failure) {
        if (bus_.write_calls != view_.writes_at_failure)
            return "a report was written after the failure box";
        if (!view_.update_enabled) return "Update not enabled after a failure";
    }

    return {};
}

bool FaultRig::WriteFaultsMet() const {
    for (const auto* armed : {&bus_.failing_writes, &bus_.stalling_writes})
        if (!armed->empty() && *armed->rbegin() >= bus_.write_calls) return false;
    return true;
}

std::size_t FaultRig::Deliveries() const {
    std::size_t n = 0;
    for (const auto& d : devices_) n += d.check.deliveries();
    return n;
}

std::string FaultRig::Describe() const {
    std::string out = "boxes: " + std::to_string(view_.successes) + " success, " +
                      std::to_string(view_.failures) + " failure; devices:";
    for (std::size_t n = 0; n < devices_.size(); ++n)
        out += " [" + std::to_string(n) + (devices_[n].variant ? " 7b16: " : " c3d1: ") +
               devices_[n].check.Verdict() + "]";
    return out;
}

}  // namespace lumo::testing
