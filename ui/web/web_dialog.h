// The main dialog as a web page: the template's controls as HTML elements (web_dialog.js),
// StatusView on them, message boxes and the yes/no question as modal <dialog> elements, Pause
// as an awaited timer, and, while an update is under way, a screen wake lock and a line that
// says the update goes on in the background.
//
// Boxes, the question and pauses suspend the core (Asyncify) until they end. Only the
// outermost call into the core may suspend; the page's event loop delivers ticks and device
// changes to the core while a box holds it (as a dialog's nested message loop does), and a
// pause asked for in such a nested call holds the page's events off for its length instead.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/lumo_tool.h"
#include "ports/hid_access.h"
#include "ports/pause.h"
#include "ports/question.h"
#include "ports/status_view.h"
#include "ports/unit_claims.h"
#include "ports/update_lifetime.h"

namespace lumo::web {

// The application name, the caption of every box: the name the program has everywhere.
inline constexpr std::string_view kAppName = "Lumo_Tool";

class WebDialog : public StatusView, public Pause, public Question, public UpdateLifetime {
  public:
    // `claims` keeps a second tab from updating while this one does; may be null.
    explicit WebDialog(HidAccess& hid, UnitClaims* claims = nullptr);

    // Builds the page's controls from the template (caption, positions, texts, colours).
    void CreateControls();

    // The window's caption: the template's, marked in a build with stand-in images.
    static std::string Title();

    LumoTool& tool() { return tool_; }

    void SetStatusCaption(std::string_view text) override;
    void SetNote(std::string_view text) override;
    void SetPercentText(std::string_view text) override;
    void SetProgress(int position) override;
    void EnableUpdate(bool enable) override;
    void ShowWarningBox(std::string_view text) override;
    void ShowPlainBox(std::string_view text) override;
    void Wait(std::uint32_t ms) override;
    bool AskYesNo(std::string_view text) override;
    void UpdateStarted() override;
    void UpdateEnded() override;

  private:
    void ShowBox(std::string_view text, bool warning);

    LumoTool tool_;
};

}  // namespace lumo::web
