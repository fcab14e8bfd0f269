// One run of lumo-flash that updates a device: wait for it, press Update once it is connected,
// follow the update through unplugs and replugs, and end with an exit status. The platform's
// event loop owns a FlashRun and feeds it the same events the dialogs get (the first search,
// 10 ms ticks, device arrival and removal) plus Ctrl-C, until exit_code() has a value.
//
// It hosts the same LumoTool the dialogs embed and is its StatusView: the message boxes
// become lines (ConsoleReport), and the dialog's progress becomes the progress line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cli/clock.h"
#include "cli/console_report.h"
#include "cli/interrupt_policy.h"
#include "cli/observed_hid.h"
#include "cli/run_events.h"
#include "cli/unit_recorder.h"
#include "cli/unit_result.h"
#include "core/lumo_tool.h"
#include "core/update_sequence.h"
#include "ports/question.h"
#include "ports/status_view.h"

namespace lumo::cli {

// While waiting for the device, a search this often besides the arrival notifications: a
// notification that was missed (or a backend still starting) cannot keep the device unseen.
inline constexpr std::uint64_t kWaitSearchMs = 500;

struct RunSettings {
    double wait_s = 0;
    double resume_timeout_s = 60;
    // With --image: whether the file is for product 0x7B16. A device of the other product is
    // refused before the start report.
    std::optional<bool> image_for_variant;
    bool allow_stand_in = false;  // how the stand-in question is answered
    // No unit was chosen (no --device), and none was present at the start: when the first unit
    // the run waited for is chosen, the run refuses (exit status 2, nothing written) if two or
    // more are present by then.
    bool refuse_several_units = false;
    // A station's run: what to do after a failure is said as a line operator does it (unplug
    // the unit and plug it in again), not as running lumo-flash again.
    bool at_station = false;
    // One of several units' runs: a reopen of the same node (another unit's removal makes every
    // link close and reopen) is not worth a line.
    bool several_units = false;
    // With strands, each unit's reply to its start report is awaited off the loop
    // (OneUnitHid::AwaitRepliesOn): for the platforms' HID access, whose calls on different
    // devices may run at once.
    bool replies_apart = false;
    UpdateOptions update;         // images, stand_ins, lifetime; the question is the run's
    // Where each attempt is kept; null: nowhere.
    UnitRecorder* recorder = nullptr;
    // The image file's path; empty: the built-in images.
    std::string image_file;
    std::string variant_sha256;   // of the image each product would get
    std::string primary_sha256;
};

class FlashRun : public RunEvents, private StatusView, private Question {
  public:
    FlashRun(HidAccess& hid, Pause& pause, Clock& clock, ConsoleReport& report,
             RunSettings settings);
    // Closes the device it holds: a station updates units for hours, and every handle left
    // open keeps its node (and on Linux a hidraw minor number) taken.
    ~FlashRun() override;
    FlashRun(const FlashRun&) = delete;
    FlashRun& operator=(const FlashRun&) = delete;

    // The unit as it was listed, when the run is one of several.
    void SetUnit(const UnitEntry& unit);

    // The first search (with the dialog's pause when it finds the device); Update is pressed
    // as soon as a device is connected.
    void Begin() override;
    // The same for a device that has just been plugged in: searched as an arrival is, with
    // the dialog's shorter pause after an arrival.
    void BeginOnArrival();
    void OnTick() override;
    void OnDeviceChange(unsigned event) override;
    void OnInterrupt() override;
    // Ends the run with kExitAborted.
    void OnTerminating(std::string_view cause) override;
    // A stop that leaves a unit whose start report has not gone out untouched: the run ends
    // (kExitAborted, reason kNotStartedReason) at its next step instead of writing it, also
    // when it comes while the run is in a pause. A run already streaming goes on.
    void StopBeforeStart();

    std::optional<int> exit_code() override { return exit_code_; }
    const LumoTool& tool() const { return tool_; }
    const UnitResult& result() const { return result_; }

  private:
    // StatusView: the dialog's controls have no console counterpart except the boxes and the
    // percentage.
    void SetStatusCaption(std::string_view) override {}
    void SetNote(std::string_view) override {}
    void SetPercentText(std::string_view) override {}
    void SetProgress(int position) override { percent_ = static_cast<unsigned>(position); }
    void EnableUpdate(bool) override {}
    void ShowWarningBox(std::string_view text) override;
    void ShowPlainBox(std::string_view text) override;
    // Question: the stand-in guard; Yes only with --allow-stand-in.
    bool AskYesNo(std::string_view text) override;

    void BeginRun(bool arrived);
    // With refuse_several_units and two or more units present: the refusal, and true.
    bool RefusedSeveralUnits();
    void AfterDeviceChange(bool was_connected, unsigned opens_before,
                           const std::string& path_before);
    void PressUpdate();
    void GiveUpWaiting();
    void EndUntouched();
    void Fail(std::string_view reason, std::string_view text, std::string_view next);
    void Finish(int code);
    // What to do to try again: at a station, unplug and replug; else run lumo-flash again.
    std::string Retry() const;
    void Abort(std::string_view cause);
    ProgressFigures Figures();
    std::uint64_t ElapsedMs();

    ObservedHid hid_;
    Clock& clock_;
    ConsoleReport& report_;
    RunSettings settings_;
    LumoTool tool_;

    std::optional<int> exit_code_;
    bool pressed_ = false;  // Update has been pressed (once per run)
    bool started_ = false;  // the device answered the start report
    bool suspended_ = false;
    bool no_start_ = false;  // StopBeforeStart() came
    unsigned percent_ = 0;
    std::uint32_t blocks_ = 0;
    std::uint64_t begin_ms_ = 0;
    std::uint64_t update_begin_ms_ = 0;
    std::uint64_t last_search_ms_ = 0;
    std::uint64_t suspended_at_ms_ = 0;
    InterruptPolicy interrupts_;
    UnitResult result_;
};

}  // namespace lumo::cli
