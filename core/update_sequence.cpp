#include "core/update_sequence.h"

#include "core/device_link.h"

#include "firmware/firmware_image.h"
#include "ports/status_texts.h"
#include "protocol/update_report.h"

namespace lumo {

UpdateSequence::~UpdateSequence() {
    if (state_.bUpdating) EndUpdating();
}

void UpdateSequence::BeginUpdating() {
    state_.bUpdating = true;
    if (binder_) binder_->Bind();
    if (options_.lifetime) options_.lifetime->UpdateStarted();
}

void UpdateSequence::EndUpdating() {
    state_.bUpdating = false;
    if (binder_) binder_->Release();
    ReleaseClaim();
    if (options_.lifetime) options_.lifetime->UpdateEnded();
}

// Another of our programs updating the same unit would interleave its reports with ours.
bool UpdateSequence::UnitClaimed() {
    if (!options_.claims) return true;
    claimed_ = options_.claims->TryClaim(UnitClaimKey(link_.openUnit, link_.openPath));
    return claimed_;
}

void UpdateSequence::ReleaseClaim() {
    if (!claimed_) return;
    claimed_ = false;
    options_.claims->Release();
}

// A stand-in image written to a real device leaves it without working firmware: the user
// confirms once before the first start. No answer (or no way to ask) writes nothing and leaves
// the window as it was.
bool UpdateSequence::StandInsConfirmed() {
    if (!options_.stand_ins || stand_ins_confirmed_) return true;
    if (!options_.question) return false;
    stand_ins_confirmed_ = options_.question->AskYesNo(text::kStandInQuestion);
    return stand_ins_confirmed_;
}

void UpdateSequence::OnBnClickedUpdate() {
    if (link_.bConnected && !StandInsConfirmed()) return;
    // Checked after the question too: the device may have gone while it was open.
    if (!link_.bConnected) {
        view_.ShowWarningBox(text::kNotConnected);
        return;
    }
    if (!UnitClaimed()) {
        // A claim that could not be made stops the update as surely as a held one, but is no
        // sign of another update: the error box, and the platform has said why.
        view_.ShowWarningBox(options_.claims->ClaimFailure().empty() ? text::kUnitBusy
                                                                     : text::kTryAgain);
        return;
    }
    view_.EnableUpdate(false);
    view_.SetPercentText(text::kZeroPercent);
    view_.SetProgress(0);

    if (!SendStartAndReadReply()) {
        ReleaseClaim();
        view_.ShowWarningBox(text::kTryAgain);
        view_.EnableUpdate(true);
        return;
    }

    view_.SetNote(text::kUpdating);
    state_.nOffset = 0;
    state_.nBlockIndex = 0;
    state_.pImage = &SelectFirmwareImage(options_.images, link_.bVariantDevice);
    BeginUpdating();
}

bool UpdateSequence::SendStartAndReadReply() {
    if (!hid_.WriteReport(link_.hDevice, BuildStartReport())) return false;
    pause_.Wait(UPDATE_REPLY_PAUSE_MS);
    return hid_.ReadReply(link_.hDevice);
}

void UpdateSequence::OnTimer(std::uintptr_t timer_id) {
    if (timer_id == UPDATE_TIMER_ID) Tick();
}

void UpdateSequence::Tick() {
    if (!IsOpenHandle(link_.hDevice) || !state_.bUpdating) return;

    const FirmwareImage& image = SelectFirmwareImage(options_.images, link_.bVariantDevice);
    // A device of the other product was opened while the update was suspended: streaming on
    // from the saved offset would write a mix of two images.
    if (&image != state_.pImage) {
        Fail();
        return;
    }

    if (state_.nOffset + UPDATE_BLOCK_SIZE >= image.length) {
        SendLastBlockAndFinish(image);
        return;
    }

    const UpdateReport report = BuildDataReport(
        state_.nBlockIndex, image.bytes().subspan(state_.nOffset, UPDATE_BLOCK_SIZE));
    if (!hid_.WriteReport(link_.hDevice, report)) {
        Fail();
        return;
    }
    const std::uint32_t percent = (state_.nOffset * 100u) / image.length;
    view_.SetPercentText(text::PercentText(percent));
    view_.SetProgress(static_cast<int>(percent));
    state_.nBlockIndex += 1;
    state_.nOffset += UPDATE_BLOCK_SIZE;
}

void UpdateSequence::SendLastBlockAndFinish(const FirmwareImage& image) {
    const UpdateReport last =
        BuildDataReport(state_.nBlockIndex, image.bytes().subspan(state_.nOffset));
    // Success is shown only when every report of the update reached the device.
    if (!hid_.WriteReport(link_.hDevice, last)) {
        Fail();
        return;
    }
    state_.nOffset = image.length;
    view_.SetPercentText(text::PercentText(100));
    view_.SetProgress(100);

    pause_.Wait(UPDATE_FINISH_PAUSE_MS);
    if (!hid_.WriteReport(link_.hDevice, BuildFinishReport(last))) {
        Fail();
        return;
    }
    EndUpdating();
    view_.ShowPlainBox(text::kSuccess);
    view_.SetNote(text::kBlankNote);
    view_.EnableUpdate(true);
}

void UpdateSequence::Fail() {
    // Cleared before the box: ticks handled while it is open must send nothing.
    EndUpdating();
    view_.ShowWarningBox(text::kTryAgain);
    view_.EnableUpdate(true);
    view_.SetNote(text::kInterrupted);
}

}  // namespace lumo
