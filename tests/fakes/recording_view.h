// A StatusView, a Pause, a Question and an UpdateLifetime that record every call, in order, as
// short readable lines: "caption:Device Connected", "note: ", "percent:0%", "progress:0",
// "enable:1", "warning:…", "plain:…", "pause:250", "question:…", "lifetime:started" and
// "lifetime:ended" when they share one log.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "ports/pause.h"
#include "ports/question.h"
#include "ports/status_view.h"
#include "ports/update_lifetime.h"

namespace lumo::testing {

class RecordingView : public StatusView, public Pause, public Question, public UpdateLifetime {
  public:
    std::vector<std::string> log;
    bool answer_yes = false;  // what AskYesNo answers
    // Runs while a box is open, as the box's own message loop would run ticks and
    // notifications.
    std::function<void()> while_box_open;

    void SetStatusCaption(std::string_view t) override { Add("caption:", t); }
    void SetNote(std::string_view t) override { Add("note:", t); }
    void SetPercentText(std::string_view t) override { Add("percent:", t); }
    void SetProgress(int p) override { Add("progress:", std::to_string(p)); }
    void EnableUpdate(bool e) override { Add("enable:", e ? "1" : "0"); }
    void ShowWarningBox(std::string_view t) override { Box("warning:", t); }
    void ShowPlainBox(std::string_view t) override { Box("plain:", t); }
    void Wait(std::uint32_t ms) override { Add("pause:", std::to_string(ms)); }
    bool AskYesNo(std::string_view t) override {
        Box("question:", t);
        return answer_yes;
    }
    void UpdateStarted() override { Add("lifetime:", "started"); }
    void UpdateEnded() override { Add("lifetime:", "ended"); }

    // Lines that start with `prefix`.
    std::vector<std::string> Only(std::string_view prefix) const {
        std::vector<std::string> out;
        for (const auto& l : log)
            if (l.starts_with(prefix)) out.push_back(l);
        return out;
    }

  private:
    void Add(std::string_view kind, std::string_view t) { log.push_back(std::string(kind) += t); }
    void Box(std::string_view kind, std::string_view t) {
        Add(kind, t);
        if (while_box_open) while_box_open();
    }
};

}  // namespace lumo::testing
