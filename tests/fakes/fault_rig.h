// A whole tool over the fake bus with devices that judge what they receive, for tests that
// drive many runs with faults and check after each one what the tool promises: the success
// box shows if and only if a device received every report of its image byte for byte, no
// device ever receives a mix of two images or a broken stream, nothing waits without end and
// nothing leaks. It keeps no log, so a run of thousands of updates stays cheap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/lumo_tool.h"
#include "tests/fakes/bootloader_check.h"
#include "tests/fakes/fake_hid_bus.h"

namespace lumo::testing {

class FaultRig;

// The ports of the tool, checking as the calls come: the percentage never above 100 and never
// backwards while one stretch of streaming lasts, nothing written while a box is open, the
// lifetime told in pairs. It counts boxes instead of logging them.
class WatchingView : public StatusView, public Pause, public Question, public UpdateLifetime {
  public:
    explicit WatchingView(FaultRig& rig) : rig_(rig) {}

    void SetStatusCaption(std::string_view t) override;
    void SetNote(std::string_view t) override;
    void SetPercentText(std::string_view t) override;
    void SetProgress(int p) override;
    void EnableUpdate(bool e) override;
    void ShowWarningBox(std::string_view t) override;
    void ShowPlainBox(std::string_view t) override;
    void Wait(std::uint32_t ms) override;
    // The user goes on whatever is asked (such as whether to write stand-in images).
    bool AskYesNo(std::string_view) override { return true; }
    void UpdateStarted() override;
    void UpdateEnded() override;

    std::string fault;  // the first thing seen that breaks a rule; empty while all is well
    int successes = 0;
    int failures = 0;        // "Error，Please try again!"
    int not_connected = 0;   // "The device is not connected!"
    bool update_enabled = true;
    bool after_failure = false;     // a failure box was shown and Update not pressed since
    std::size_t writes_at_failure = 0;
    int started = 0;
    int ended = 0;
    std::uint64_t waited_ms = 0;  // pauses and calls that waited out their time limit
    bool updating_note = false;   // the note reads "NOTE：Updating…"

  private:
    void Fault(std::string text);
    void Box();

    FaultRig& rig_;
    int last_percent_ = -1;  // in this stretch of streaming
    int last_bar_ = -1;
    bool in_box_ = false;
};

class FaultRig {
  public:
    FaultRig();
    ~FaultRig();

    // --- the world: devices plugged and unplugged on the bus, without notices ---
    // A physical Orvel-M8 of one product; it judges every report it receives. Returns its number.
    std::size_t AddDevice(bool variant, UnitIdentity unit = {});
    // The port the device is plugged into next (its identity's port).
    void MovePort(std::size_t device, std::string port) { devices_[device].unit.port = port; }
    void Plug(std::size_t device);  // each plug-in gets a new path, as a new instance
    void Unplug(std::size_t device);
    bool Plugged(std::size_t device) const { return devices_[device].plugged; }
    void PlugUnrelated();  // another HID interface (a keyboard), listed before the devices
    void UnplugUnrelated();
    bool UnrelatedPlugged() const { return unrelated_plugged_; }

    // --- notices, now or once the next tick has run (or a box's loop, if one opens first) ---
    void Notify(unsigned event, int times = 1);
    void NotifyLater(unsigned event, int times = 1);

    // --- the user and the timer ---
    void Start();  // the dialog opens
    void Click();  // Update, when it is enabled
    void Tick();   // then the notices that were waiting
    // Ticks until no update is under way, at most `limit`; the ticks run.
    int RunToEnd(int limit);

    // --- faults of the next calls ---
    void FailWrite(std::size_t ahead = 0);   // the write `ahead` calls from now fails
    void StallWrite(std::size_t ahead = 0);  // ... waits out its time limit and gives up
    void FailReply() { bus_.fail_reply = true; }
    void StallReply() { bus_.stall_reply = true; }

    // Runs while the pause before the finish report lasts (the thread sleeps; the device may
    // be pulled out meanwhile, but no notice is handled).
    std::function<void()> during_finish_pause;

    LumoTool& tool() { return *tool_; }
    const UpdateState& update() const { return tool_->update_state(); }
    FakeHidBus& bus() { return bus_; }
    const WatchingView& view() const { return view_; }
    const DeliveryCheck& device(std::size_t n) const { return devices_[n].check; }

    // Ends the tool, as closing the window does, and checks every rule and the promise.
    // Empty when all hold, otherwise what broke first.
    std::string Finish();
    // The devices' verdicts and what the user saw, for a failure message.
    std::string Describe() const;
    std::size_t Deliveries() const;  // whole images received, over all devices
    // Whether every write fault armed was reached by a write call (so that a run that passes
    // really met its fault).
    bool WriteFaultsMet() const;

  private:
    friend class WatchingView;
    struct Device {
        bool variant;
        UnitIdentity unit;
        DeliveryCheck check;
        std::string path;
        bool plugged = false;
        unsigned plugs = 0;
    };
    void Take(HidHandle h, const std::string& path, const UpdateReport& report);
    void DeliverPending();
    void InBox();
    std::string CheckBus() const;

    FakeHidBus bus_;
    WatchingView view_{*this};
    std::unique_ptr<LumoTool> tool_;
    std::vector<Device> devices_;
    bool unrelated_plugged_ = false;
    std::deque<unsigned> pending_;
    HidHandle last_handle_ = kNullHandle;
    std::size_t last_device_ = 0;
    std::string fault_;
};

}  // namespace lumo::testing
