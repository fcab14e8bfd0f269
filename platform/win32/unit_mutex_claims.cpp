#include "platform/win32/unit_mutex_claims.h"

#include <cstdint>
#include <string>

namespace lumo {

namespace {

constexpr std::wstring_view kNamePrefix = L"Global\\OrvelM8.UnitClaim.";
// Object names may have up to MAX_PATH characters; this leaves room to spare.
constexpr std::size_t kMaxNameLength = 200;

std::uint64_t Fnv1a64(std::string_view text) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

}  // namespace

std::wstring UnitClaimMutexName(std::string_view key) {
    // Keys are plain ASCII (UnitClaimKey), so each byte is one character.
    std::wstring name(kNamePrefix);
    if (kNamePrefix.size() + key.size() <= kMaxNameLength) {
        name.append(key.begin(), key.end());
        return name;
    }
    constexpr std::size_t kHashLength = 1 + 16;
    const std::string_view start =
        key.substr(0, kMaxNameLength - kNamePrefix.size() - kHashLength);
    name.append(start.begin(), start.end());
    name += L'~';
    const std::uint64_t hash = Fnv1a64(key);
    for (int shift = 60; shift >= 0; shift -= 4) {
        name += L"0123456789abcdef"[(hash >> shift) & 0xF];
    }
    return name;
}

bool UnitMutexClaims::TryClaim(std::string_view key) {
    Release();
    const std::wstring name = UnitClaimMutexName(key);
    // Owned from the start, for anyone who would wait on it; ignored when it exists already.
    const HANDLE mutex = CreateMutexW(nullptr, TRUE, name.c_str());
    if (mutex == nullptr) return false;  // access denied: another user's claim
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return false;
    }
    mutex_ = mutex;
    return true;
}

void UnitMutexClaims::Release() {
    if (mutex_ == nullptr) return;
    ReleaseMutex(mutex_);  // fails harmlessly on a thread that does not own it
    CloseHandle(mutex_);
    mutex_ = nullptr;
}

}  // namespace lumo
