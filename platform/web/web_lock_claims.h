// One writer per unit in the browser, over the Web Locks API (web_locks.js). The browser gives
// no unit's identity, so the claim covers every unit: one update at a time per profile.
#pragma once

#include <string_view>

#include "ports/unit_claims.h"

namespace lumo::web {

class WebLockClaims : public UnitClaims {
  public:
    bool TryClaim(std::string_view key) override;
    void Release() override;
};

}  // namespace lumo::web
