// One writer per unit on Windows: a claim is a named mutex, made by the claim and closed by
// Release. Its name exists exactly as long as some process holds it open, so a claim ends with
// its holder even when the holder dies (the system closes a dead process's handles).
//
// The name lives in the global namespace ("Global\"), not the session's ("Local\"): a unit is
// one device on the PC, and the programs of two users (fast user switching, a remote session,
// a service on a production line) each run in their own session, where Local\ names would
// never meet. A mutex may be made there without any privilege.
//
// Nothing can be left behind, so a claim is never stale. A name that exists is another claim,
// also when its maker's security keeps us from opening it (another user's session). A claim
// that cannot be made for any other reason (a process whose integrity level may not make
// objects there, the name taken by an object of another kind) is refused with that reason
// in ClaimFailure(), not as "another program is updating".
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "ports/unit_claims.h"

namespace lumo {

class UnitMutexClaims : public UnitClaims {
public:
    UnitMutexClaims() = default;
    ~UnitMutexClaims() override { Release(); }

    UnitMutexClaims(const UnitMutexClaims&) = delete;
    UnitMutexClaims& operator=(const UnitMutexClaims&) = delete;

    // Refused when the name exists already: another claim holds it, in this process or any
    // other, also another user's (whose mutex we may not even open).
    bool TryClaim(std::string_view key) override;
    void Release() override;
    std::string ClaimFailure() const override { return failure_; }

private:
    HANDLE mutex_ = nullptr;
    std::string failure_;  // of the last TryClaim
};

// The mutex's name for a claim key. A key too long for an object name keeps its start and
// gets a 64-bit hash of the whole key, so two long keys still name two mutexes.
std::wstring UnitClaimMutexName(std::string_view key);

}  // namespace lumo
