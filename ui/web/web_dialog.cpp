#include "ui/web/web_dialog.h"

#include <emscripten.h>

#include <string>

#include "firmware/firmware_provenance.h"
#include "ports/status_texts.h"
#include "ui/dialog_template.h"
#include "ui/label_colors.h"

// The page's side is web_dialog.js (Module.pageView) and the event loop (Module.lumoLoop).
// Texts cross as UTF-8 with their length; colours as COLORREF values, -1 for none.

// clang-format off
EM_JS(void, lumo_view_frame, (const char* title, int title_len, int width_du, int height_du,
                              const char* face, int face_len, int points,
                              const char* label_face, int label_face_len, int label_points), {
    Module.pageView.frame(UTF8ToString(title, title_len), width_du, height_du,
                          UTF8ToString(face, face_len), points,
                          UTF8ToString(label_face, label_face_len), label_points);
});
EM_JS(void, lumo_view_add_control, (const char* name, int name_len, int kind,
                                    const char* text, int text_len,
                                    int x, int y, int cx, int cy, int color), {
    Module.pageView.addControl(UTF8ToString(name, name_len), kind, UTF8ToString(text, text_len),
                               x, y, cx, cy, color);
});
EM_JS(void, lumo_view_set_text, (const char* name, const char* text, int text_len), {
    Module.pageView.setText(UTF8ToString(name), UTF8ToString(text, text_len));
});
EM_JS(void, lumo_view_set_color, (const char* name, int color), {
    Module.pageView.setColor(UTF8ToString(name), color);
});
EM_JS(void, lumo_view_set_progress, (int position), {
    Module.pageView.setProgress(position);
});
EM_JS(void, lumo_view_enable, (const char* name, int enable), {
    Module.pageView.enable(UTF8ToString(name), enable !== 0);
});
EM_JS(void, lumo_view_show_box, (const char* caption, int caption_len, const char* text,
                                 int text_len, int warning), {
    Module.pageView.box(UTF8ToString(caption, caption_len), UTF8ToString(text, text_len),
                        warning !== 0);
});
EM_ASYNC_JS(void, lumo_view_box, (const char* caption, int caption_len, const char* text,
                                  int text_len, int warning), {
    await Module.lumoLoop.inBox(Module.pageView.box(UTF8ToString(caption, caption_len),
                                                    UTF8ToString(text, text_len), warning !== 0));
});
EM_ASYNC_JS(int, lumo_view_ask, (const char* caption, int caption_len, const char* text,
                                 int text_len), {
    return await Module.lumoLoop.inBox(Module.pageView.ask(UTF8ToString(caption, caption_len),
                                                           UTF8ToString(text, text_len))) ? 1 : 0;
});
EM_ASYNC_JS(void, lumo_sleep, (unsigned ms), {
    await Module.pageClock.sleep(ms);
});
EM_JS(void, lumo_hold_off, (unsigned ms), {
    Module.lumoLoop.holdOff(ms);
});
EM_JS(int, lumo_view_may_await, (), {
    return Module.lumoLoop.mayAwait() ? 1 : 0;
});
EM_JS(void, lumo_view_update_running, (int running), {
    Module.pageView.updateRunning(running !== 0);
});
// clang-format on

namespace lumo::web {

namespace {

int Len(std::string_view s) { return static_cast<int>(s.size()); }

int ColorOrNone(std::optional<std::uint32_t> color) {
    return color ? static_cast<int>(*color) : -1;
}

}  // namespace

WebDialog::WebDialog(HidAccess& hid, UnitClaims* claims)
    : tool_(hid, *this, *this,
            UpdateOptions{.question = this, .lifetime = this, .claims = claims}) {}

std::string WebDialog::Title() {
    // A build with stand-in images says so in its caption, as every front end does.
    std::string title(dialog::kTitle);
    if (g_firmwareProvenance.HasStandIns()) title += text::kStandInCaptionSuffix;
    return title;
}

void WebDialog::CreateControls() {
    const std::string_view face = dialog::kFontFace;
    const std::string_view label_face = kLabelFontFace;
    const std::string title = Title();
    lumo_view_frame(title.data(), Len(title), dialog::kWidthDu,
                    dialog::kHeightDu, face.data(), Len(face), dialog::kFontPoints,
                    label_face.data(), Len(label_face), kLabelFontPoints);
    for (const dialog::ControlTemplate& t : dialog::kControls) {
        lumo_view_add_control(t.name.data(), Len(t.name), static_cast<int>(t.kind), t.text.data(),
                              Len(t.text), t.x, t.y, t.cx, t.cy,
                              ColorOrNone(LabelTextColor(t.id, false)));
    }
}

void WebDialog::SetStatusCaption(std::string_view text) {
    lumo_view_set_text("IDC_STATUS", text.data(), Len(text));
    // The caption's colour follows the connection each time it is set, as the other dialogs
    // read it at each repaint.
    lumo_view_set_color("IDC_STATUS",
                        ColorOrNone(LabelTextColor(dialog::IDC_STATUS, tool_.IsConnected())));
}

void WebDialog::SetNote(std::string_view text) {
    lumo_view_set_text("IDC_NOTE", text.data(), Len(text));
}

void WebDialog::SetPercentText(std::string_view text) {
    lumo_view_set_text("IDC_PERCENT", text.data(), Len(text));
}

void WebDialog::SetProgress(int position) { lumo_view_set_progress(position); }

void WebDialog::EnableUpdate(bool enable) { lumo_view_enable("IDC_UPDATE", enable ? 1 : 0); }

void WebDialog::ShowBox(std::string_view text, bool warning) {
    // In a call nested in another box the core cannot wait; the box is shown all the same.
    if (lumo_view_may_await()) {
        lumo_view_box(kAppName.data(), Len(kAppName), text.data(), Len(text), warning ? 1 : 0);
    } else {
        lumo_view_show_box(kAppName.data(), Len(kAppName), text.data(), Len(text),
                           warning ? 1 : 0);
    }
}

void WebDialog::ShowWarningBox(std::string_view text) { ShowBox(text, true); }

void WebDialog::ShowPlainBox(std::string_view text) { ShowBox(text, false); }

void WebDialog::Wait(std::uint32_t ms) {
    if (lumo_view_may_await()) {
        lumo_sleep(ms);
    } else {
        lumo_hold_off(ms);
    }
}

bool WebDialog::AskYesNo(std::string_view text) {
    // Nested in another box there is no one to answer: No, the default.
    if (!lumo_view_may_await()) return false;
    return lumo_view_ask(kAppName.data(), Len(kAppName), text.data(), Len(text)) != 0;
}

void WebDialog::UpdateStarted() { lumo_view_update_running(1); }

void WebDialog::UpdateEnded() { lumo_view_update_running(0); }

}  // namespace lumo::web
