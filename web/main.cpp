// The page's program: the WebHID access and the dialog, handed to the page's event loop
// (event_loop.js), which calls the exported handlers below one at a time.
#include <emscripten.h>

#include "core/update_sequence.h"
#include "platform/web/web_lock_claims.h"
#include "platform/web/webhid_access.h"
#include "ui/web/web_dialog.h"

namespace lumo::web {

struct WebPage {
    WebHidAccess hid;
    WebLockClaims claims;
    WebDialog dialog{hid, &claims};
};

}  // namespace lumo::web

using lumo::web::WebPage;

EM_JS(void, lumo_page_ready, (WebPage* page), {
    Module.lumoLoop.begin(page);
});

extern "C" {

// The dialog initialisation's share of the core: the first search, "Device Connected" and the
// 2500 ms pause when it opens the device, then "0%". The page starts its 10 ms tick after.
EMSCRIPTEN_KEEPALIVE void lumo_web_start(WebPage* page) { page->dialog.tool().Start(); }

EMSCRIPTEN_KEEPALIVE void lumo_web_timer(WebPage* page) {
    page->dialog.tool().OnTimer(lumo::UPDATE_TIMER_ID);
}

EMSCRIPTEN_KEEPALIVE void lumo_web_click_update(WebPage* page) {
    page->dialog.tool().OnBnClickedUpdate();
}

EMSCRIPTEN_KEEPALIVE int lumo_web_device_change(WebPage* page, unsigned event) {
    return page->dialog.tool().OnDeviceChange(event, 0) ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE int lumo_web_is_updating(WebPage* page) {
    return page->dialog.tool().IsUpdating() ? 1 : 0;
}

}  // extern "C"

int main() {
    // Lives as long as the page: nothing ends a page's program but leaving the page.
    auto* page = new WebPage;
    page->dialog.CreateControls();
    lumo_page_ready(page);
    return 0;
}
