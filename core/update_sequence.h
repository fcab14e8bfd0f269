// One firmware update: the start report and its reply on a press of Update, then one data
// report per timer tick and, with the last one, the finish report.
#pragma once

#include <cstdint>

#include "core/device_link_state.h"
#include "core/update_state.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_provenance.h"
#include "ports/hid_access.h"
#include "ports/pause.h"
#include "ports/question.h"
#include "ports/status_view.h"
#include "ports/unit_claims.h"
#include "ports/update_lifetime.h"

namespace lumo {

inline constexpr std::uintptr_t UPDATE_TIMER_ID = 5;
inline constexpr unsigned UPDATE_TIMER_PERIOD_MS = 10;
inline constexpr unsigned UPDATE_REPLY_PAUSE_MS = 300;   // between start report and reply
inline constexpr unsigned UPDATE_FINISH_PAUSE_MS = 500;  // before the finish report

// What a front end may give an update beyond the ports that every one has. The objects
// pointed to must outlive the sequence.
struct UpdateOptions {
    FirmwarePair images{};               // the images to stream; the built-in pair by default
    // The images are stand-ins, not device firmware: a start asks the question first, and
    // without a question to ask nothing is written.
    bool stand_ins = g_firmwareProvenance.HasStandIns();
    Question* question = nullptr;        // asks the user a yes/no question
    UpdateLifetime* lifetime = nullptr;  // told when an update starts and ends
    UnitClaims* claims = nullptr;        // one writer per unit, across our programs
};

class UnitBinder;

class UpdateSequence {
  public:
    UpdateSequence(const DeviceLinkState& link, UpdateState& state, HidAccess& hid,
                   StatusView& view, Pause& pause, UpdateOptions options = {})
        : link_(link), state_(state), hid_(hid), view_(view), pause_(pause), options_(options) {}

    // An update still under way ends with its sequence: the lifetime is told.
    ~UpdateSequence();

    UpdateSequence(const UpdateSequence&) = delete;
    UpdateSequence& operator=(const UpdateSequence&) = delete;

    // A click on Update.
    void OnBnClickedUpdate();

    // A timer tick; ticks of other timers are ignored. The platform dialog passes the message
    // on to its base class afterwards.
    void OnTimer(std::uintptr_t timer_id);

    const UpdateOptions& options() const { return options_; }

    // Told when an update takes its unit and lets it go (the device link).
    void SetBinder(UnitBinder* binder) { binder_ = binder; }

  private:
    bool StandInsConfirmed();
    bool UnitClaimed();
    void ReleaseClaim();
    bool SendStartAndReadReply();
    void Tick();
    void SendLastBlockAndFinish(const FirmwareImage& image);
    void Fail();
    void BeginUpdating();
    void EndUpdating();

    const DeviceLinkState& link_;
    UpdateState& state_;
    HidAccess& hid_;
    StatusView& view_;
    Pause& pause_;
    UpdateOptions options_;
    bool stand_ins_confirmed_ = false;  // Yes once is Yes for the life of the sequence
    UnitBinder* binder_ = nullptr;
    bool claimed_ = false;
};

}  // namespace lumo
