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

// The system's words for `error`, and its number.
std::string ErrorText(DWORD error) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string words(text != nullptr ? text : "", length);
    if (text != nullptr) LocalFree(text);
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' ||
                              words.back() == ' ' || words.back() == '.')) {
        words.pop_back();
    }
    return (words.empty() ? "" : words + " ") + "(error " + std::to_string(error) + ")";
}

// Whether a mutex of that name exists, though it may not be ours to open.
bool MutexExists(const std::wstring& name) {
    const HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
    if (mutex != nullptr) {
        CloseHandle(mutex);
        return true;
    }
    return GetLastError() == ERROR_ACCESS_DENIED;
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
    failure_.clear();
    const std::wstring name = UnitClaimMutexName(key);
    // Owned from the start, for anyone who would wait on it; ignored when it exists already.
    const HANDLE mutex = CreateMutexW(nullptr, TRUE, name.c_str());
    if (mutex != nullptr) {
        if (GetLastError() == ERROR_ALREADY_EXISTS) {
            CloseHandle(mutex);
            return false;
        }
        mutex_ = mutex;
        return true;
    }
    const DWORD error = GetLastError();
    // Access denied is another user's claim when the name is there; when it is not, this
    // process may not make the mutex at all, and no other update is to be waited for.
    if (error == ERROR_ACCESS_DENIED && MutexExists(name)) return false;
    const std::string shown(name.begin(), name.end());  // ASCII, as the key is
    failure_ = "cannot make the mutex " + shown + ": " + ErrorText(error);
    return false;
}

void UnitMutexClaims::Release() {
    if (mutex_ == nullptr) return;
    ReleaseMutex(mutex_);  // fails harmlessly on a thread that does not own it
    CloseHandle(mutex_);
    mutex_ = nullptr;
}

}  // namespace lumo
