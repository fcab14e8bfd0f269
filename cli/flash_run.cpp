#include "cli/flash_run.h"

#include <cstdio>
#include <string>

#include "cli/exit_codes.h"
#include "cli/units.h"
#include "core/device_link.h"
#include "firmware/firmware_image.h"
#include "ports/status_texts.h"

namespace lumo::cli {

namespace {

constexpr const char* kPutIntoUpdateMode =
    "put it into update mode again (hold HOME while plugging it in) and run lumo-flash again.";
constexpr const char* kReplugAtStation =
    "unplug it and plug it in again with HOME held: the station updates it again.";

UpdateOptions WithQuestion(UpdateOptions options, Question* question) {
    options.question = question;
    return options;
}

std::string ProductOf(bool variant) { return variant ? "7b16" : "c3d1"; }

std::uint64_t Ms(double seconds) { return static_cast<std::uint64_t>(seconds * 1000.0 + 0.5); }

}  // namespace

FlashRun::FlashRun(HidAccess& hid, Pause& pause, Clock& clock, ConsoleReport& report,
                   RunSettings settings)
    : hid_(hid),
      clock_(clock),
      report_(report),
      settings_(std::move(settings)),
      tool_(hid_, *this, pause, WithQuestion(settings_.update, this)) {
    result_.begin_ms = clock_.NowMs();
    if (settings_.recorder) {
        result_.record_id = settings_.recorder->NewId();
        report_.SetRecord(result_.record_id);
    }
}

FlashRun::~FlashRun() { tool_.ReleaseDevice(); }

void FlashRun::SetUnit(const UnitEntry& unit) {
    result_.unit = unit;
    result_.product = ProductOf(unit.variant);
}

std::string FlashRun::Retry() const {
    return settings_.at_station ? kReplugAtStation : kPutIntoUpdateMode;
}

void FlashRun::Fail(std::string_view reason, std::string_view text, std::string_view next) {
    result_.reason = reason;
    result_.text = text;
    report_.Failed(reason, text, next);
}

void FlashRun::StopBeforeStart() { no_start_ = true; }

void FlashRun::EndUntouched() {
    Fail(kNotStartedReason, "Stopped before its update began.", "Nothing was written to it.");
    Finish(kExitAborted);
}

std::uint64_t FlashRun::ElapsedMs() { return clock_.NowMs() - update_begin_ms_; }

ProgressFigures FlashRun::Figures() {
    return {tool_.update_state().nBlockIndex, blocks_, percent_, ElapsedMs()};
}

void FlashRun::Finish(int code) {
    if (exit_code_) return;
    exit_code_ = code;
    result_.exit = code;
    result_.end_ms = clock_.NowMs();
    // Every block was written when it succeeded (the last one does not move the index).
    result_.block = code == kExitSuccess ? blocks_ : tool_.update_state().nBlockIndex;
    result_.phase = code == kExitSuccess ? UnitPhase::kDone : UnitPhase::kFailed;
    if (settings_.recorder) settings_.recorder->Ended(result_);
}

void FlashRun::Begin() { BeginRun(false); }

void FlashRun::BeginOnArrival() { BeginRun(true); }

bool FlashRun::RefusedSeveralUnits() {
    if (!settings_.refuse_several_units || !RefuseSeveralUnits(ListUnits(hid_), report_))
        return false;
    result_.reason = "several-units";
    Finish(kExitNoDevice);
    return true;
}

void FlashRun::BeginRun(bool arrived) {
    begin_ms_ = clock_.NowMs();
    result_.begin_ms = begin_ms_;
    result_.phase = UnitPhase::kPausing;
    last_search_ms_ = begin_ms_;
    if (arrived) {
        tool_.OnDeviceChange(kDeviceArrival, 0);
    } else {
        tool_.Start();
    }
    if (tool_.IsConnected()) {
        PressUpdate();
    } else if (settings_.wait_s <= 0) {
        GiveUpWaiting();
    } else {
        report_.Waiting(settings_.wait_s);
    }
}

void FlashRun::OnDeviceChange(unsigned event) {
    if (exit_code_) return;
    const bool was_connected = tool_.IsConnected();
    const unsigned opens_before = hid_.opens();
    const std::string path_before = tool_.link_state().openPath;
    tool_.OnDeviceChange(event, 0);
    AfterDeviceChange(was_connected, opens_before, path_before);
}

void FlashRun::AfterDeviceChange(bool was_connected, unsigned opens_before,
                                 const std::string& path_before) {
    if (exit_code_) return;
    const bool connected = tool_.IsConnected();
    if (!pressed_) {
        // The first unit to appear while the run waits is chosen once the tool's pause after
        // its arrival is over: units plugged in together are all there by then.
        if (connected && !RefusedSeveralUnits()) PressUpdate();
        return;
    }
    if (!tool_.IsUpdating()) return;
    // Each open during the update is where the rest of the stream goes from here: after a
    // replug, or at once when another interface's removal made the link close and reopen.
    const bool quiet = settings_.several_units && was_connected && !suspended_ &&
                       tool_.link_state().openPath == path_before;
    if (connected && hid_.opens() != opens_before && !quiet) {
        report_.DeviceFound(hid_.last_path(), ProductOf(tool_.link_state().bVariantDevice),
                            tool_.link_state().openUnit, tool_.update_state().nBlockIndex);
    }
    if (was_connected && !connected) {
        suspended_ = true;
        suspended_at_ms_ = clock_.NowMs();
        result_.phase = UnitPhase::kSuspended;
        report_.Suspended(Figures(), settings_.resume_timeout_s);
    } else if (!was_connected && connected && suspended_) {
        suspended_ = false;
        ++result_.resumes;
        result_.phase = UnitPhase::kResumed;
        report_.Resumed(Figures());
    }
}

void FlashRun::PressUpdate() {
    pressed_ = true;
    if (no_start_) {
        EndUntouched();
        return;
    }
    const bool variant = tool_.link_state().bVariantDevice;
    result_.product = ProductOf(variant);
    if (result_.unit.id.empty()) {
        const auto& link = tool_.link_state();
        result_.unit = {UnitId(link.openUnit, link.openPath), link.openPath, variant,
                        link.openUnit};
    }
    report_.DeviceFound(hid_.last_path(), ProductOf(variant), tool_.link_state().openUnit);
    if (settings_.image_for_variant && *settings_.image_for_variant != variant) {
        Fail("wrong-product",
                       "The image file is for product " + ProductOf(!variant) +
                           ", but the device found is product " + ProductOf(variant) +
                           ". Nothing was written.",
                       "Plug in the device the image is for, or give the image for this one "
                       "(--image FILE --product " + ProductOf(variant) + ").");
        Finish(kExitUsage);
        return;
    }
    const FirmwareImage& image = SelectFirmwareImage(settings_.update.images, variant);
    blocks_ = (image.length + UPDATE_BLOCK_SIZE - 1) / UPDATE_BLOCK_SIZE;
    result_.blocks = blocks_;
    result_.image = !settings_.image_file.empty() ? settings_.image_file
                    : variant                     ? "built-in variant"
                                                  : "built-in primary";
    result_.image_bytes = image.length;
    result_.image_sha256 = variant ? settings_.variant_sha256 : settings_.primary_sha256;
    result_.stand_in = settings_.update.stand_ins;

    tool_.OnBnClickedUpdate();
    if (exit_code_) return;  // the start failed: its warning has been reported
    if (!tool_.IsUpdating()) {
        // Declined before anything was written (the stand-in question answered No).
        Fail("declined", "Nothing was written.",
                       "Run lumo-flash again with the image the device should get.");
        Finish(kExitUsage);
        return;
    }
    started_ = true;
    result_.started = true;
    result_.phase = UnitPhase::kStreaming;
    report_.Started(ProductOf(variant), blocks_, image.length,
                    variant ? settings_.variant_sha256 : settings_.primary_sha256);
    update_begin_ms_ = clock_.NowMs();
    result_.update_begin_ms = update_begin_ms_;
    if (settings_.recorder) settings_.recorder->Started(result_);
}

void FlashRun::OnTick() {
    if (exit_code_) return;
    const std::uint64_t now = clock_.NowMs();
    if (interrupts_.Lapsed(now)) report_.Notice("No second Ctrl-C: the update goes on.");
    if (!pressed_) {
        if (no_start_) {
            EndUntouched();
        } else if (now - begin_ms_ >= Ms(settings_.wait_s)) {
            GiveUpWaiting();
        } else if (now - last_search_ms_ >= kWaitSearchMs) {
            // Searched as an arrival would be: the dialog's texts and pause, then Update.
            last_search_ms_ = now;
            OnDeviceChange(kDeviceArrival);
        }
        return;
    }
    if (!tool_.IsUpdating()) return;

    const std::uint32_t before = tool_.update_state().nBlockIndex;
    tool_.OnTimer(UPDATE_TIMER_ID);
    if (exit_code_) return;
    if (tool_.update_state().nBlockIndex != before) {
        result_.block = tool_.update_state().nBlockIndex;
        result_.percent = percent_;
        report_.Progress(Figures());
    }

    if (suspended_ && clock_.NowMs() - suspended_at_ms_ >= Ms(settings_.resume_timeout_s)) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "The device did not come back within %g s; the update stopped at block %u "
                      "of %u.",
                      settings_.resume_timeout_s, tool_.update_state().nBlockIndex, blocks_);
        Fail("resume-timeout", text, "The device needs the update again: " + Retry());
        Finish(kExitFailed);
    }
}

void FlashRun::OnInterrupt() {
    if (exit_code_) return;
    const bool second = interrupts_.OnInterrupt(clock_.NowMs()) == InterruptPolicy::Step::kSecond;
    if (tool_.IsUpdating() && !second) {
        report_.Notice(
            "Stopping now leaves the device without complete firmware. Press Ctrl-C again "
            "within 3 s to abort; otherwise the update goes on.");
        return;
    }
    Abort("Aborted by the user");
}

void FlashRun::OnTerminating(std::string_view cause) {
    if (exit_code_) return;
    Abort(cause);
}

void FlashRun::Abort(std::string_view cause) {
    if (tool_.IsUpdating()) {
        Fail("aborted",
             std::string(cause) + " at block " + std::to_string(tool_.update_state().nBlockIndex) +
                 " of " + std::to_string(blocks_) + ".",
             "The device is left without complete firmware and needs the update again: " +
                 Retry());
    } else {
        Fail("aborted", std::string(cause) + ".", "Nothing was written to a device.");
    }
    Finish(kExitAborted);
}

void FlashRun::GiveUpWaiting() {
    if (hid_.last_open_failed()) {
        Fail("cannot-open",
             "An Orvel-M8 in update mode is present but cannot be opened: " + hid_.last_path(),
             std::string("Give your user access to it (see the message above about its node), "
                         "or close the program that holds it, then ") +
                 (settings_.at_station ? "unplug it and plug it in again." :
                                         "run lumo-flash again."));
        Finish(kExitCannotOpen);
        return;
    }
    Fail("no-device", std::string(text::kNotConnected),
                   "Hold the device's HOME button while plugging it in, then run lumo-flash "
                   "again (--wait SECONDS waits for it).");
    Finish(kExitNoDevice);
}

void FlashRun::ShowWarningBox(std::string_view text) {
    if (exit_code_) return;
    if (text == text::kUnitBusy) {
        Fail("unit-busy", text,
             settings_.at_station
                 ? "Nothing was written. Unplug it and plug it in again once the other update "
                   "has ended."
                 : "Nothing was written. Run lumo-flash again when the other update has ended, "
                   "or choose another unit (--list, --device ID).");
        Finish(kExitUnitBusy);
        return;
    }
    if (const UnitClaims* claims = settings_.update.claims;
        !started_ && claims && !claims->ClaimFailure().empty()) {
        Fail("claim-failed", "The unit could not be claimed: " + claims->ClaimFailure(),
             std::string("Nothing was written. Put right what stopped the claim, then ") +
                 (settings_.at_station ? "unplug it and plug it in again." :
                                         "run lumo-flash again."));
        Finish(kExitFailed);
        return;
    }
    if (!started_) {
        Fail("start-failed", text,
             "The device did not take the start of the update; nothing else was written. " +
                 (settings_.at_station ? "Unplug it and plug it in again with HOME held: the "
                                         "station updates it again."
                                       : "Unplug it, " + std::string(kPutIntoUpdateMode)));
    } else {
        Fail("write-failed", text,
             "The update stopped part-way and the device is left without complete firmware: " +
                 Retry());
    }
    Finish(kExitFailed);
}

void FlashRun::ShowPlainBox(std::string_view text) {
    if (exit_code_) return;
    ProgressFigures figures = Figures();
    figures.block = blocks_;
    result_.percent = 100;
    report_.Done(figures, text, "The device has its new firmware; you can unplug it now.");
    Finish(kExitSuccess);
}

bool FlashRun::AskYesNo(std::string_view text) {
    if (settings_.allow_stand_in) {
        report_.Notice(std::string(text) + " (yes: --allow-stand-in)");
        return true;
    }
    report_.Notice(std::string(text) + " (no: --allow-stand-in not given)");
    return false;
}

}  // namespace lumo::cli
