#include "platform/web/web_lock_claims.h"

#include <emscripten.h>

// clang-format off
EM_ASYNC_JS(int, lumo_web_lock_claim, (), {
    return await Module.webLocks.claim() ? 1 : 0;
});
EM_JS(void, lumo_web_lock_drop, (), {
    Module.webLocks.drop();
});
// clang-format on

namespace lumo::web {

bool WebLockClaims::TryClaim(std::string_view /*key*/) { return lumo_web_lock_claim() != 0; }

void WebLockClaims::Release() { lumo_web_lock_drop(); }

}  // namespace lumo::web
