// One writer per unit: an update claims its unit from its start report to its end, so that a
// second window, a script or another tab cannot interleave its reports with ours. The claim
// lives outside the process (a lock file, a named mutex, a lock of the browser's), so every
// one of our programs honours it. The core decides when; the platform decides how.
#pragma once

#include <string>
#include <string_view>

#include "ports/hid_access.h"

namespace lumo {

class UnitClaims {
  public:
    virtual ~UnitClaims() = default;

    // Claims the unit named by `key` (see UnitClaimKey); false when another update holds it
    // or the claim cannot be made. At most one claim is held at a time.
    virtual bool TryClaim(std::string_view key) = 0;

    // Gives the claim up; nothing when none is held.
    virtual void Release() = 0;

    // Why the last TryClaim could not make the claim at all (a folder or an object the platform
    // cannot use), in a few words that name what it tried; empty after a claim and after a
    // refusal because another update holds the unit. Either way nothing may be written: only
    // the words the user is given differ, since "busy" would send them waiting for an update
    // that does not exist.
    virtual std::string ClaimFailure() const { return {}; }
};

// The name a unit is claimed by: its serial when it reports one, else its port, else the
// interface's path. Made of letters, digits, '-', '.' and '_', so that it can name a file; any
// other byte (and '_' itself) is written as '_' and two hex digits, so two units never share
// a name.
inline std::string UnitClaimKey(const UnitIdentity& unit, std::string_view path) {
    std::string key = "path-";
    std::string_view name = path;
    if (!unit.serial.empty()) {
        key = "serial-";
        name = unit.serial;
    } else if (!unit.port.empty()) {
        key = "port-";
        name = unit.port;
    }
    for (const char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (plain) {
            key += c;
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            const auto byte = static_cast<unsigned char>(c);
            key += '_';
            key += kHex[byte >> 4];
            key += kHex[byte & 0xF];
        }
    }
    return key;
}

}  // namespace lumo
