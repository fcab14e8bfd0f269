// The unit claims of the Windows programs, in this process and against another one (this
// program again, started with --hold-claim KEY: it claims KEY, says so through a named event
// and then waits, at most 30 s, to be ended).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/win32/unit_mutex_claims.h"

namespace lumo {
namespace {

constexpr DWORD kChildLimitMs = 30000;
constexpr DWORD kWaitMs = 10000;

// A unit key of this test run alone, so that runs side by side never meet.
std::string TestKey(const char* name) {
    return std::string("serial-test.") + name + "." + std::to_string(GetCurrentProcessId());
}

std::wstring ReadyEventName(const std::string& key) {
    return L"Local\\OrvelM8.ClaimsTest." + std::wstring(key.begin(), key.end());
}

// The other process: holds a claim of `key` until it is ended.
class ClaimHolder {
public:
    explicit ClaimHolder(const std::string& key)
        : ready_(CreateEventW(nullptr, TRUE, FALSE, ReadyEventName(key).c_str())) {
        wchar_t exe[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(exe) + L"\" --hold-claim " +
                               std::wstring(key.begin(), key.end());
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                           &startup, &process_)) {
            CloseHandle(process_.hThread);
        }
    }
    ~ClaimHolder() {
        if (process_.hProcess != nullptr) {
            TerminateProcess(process_.hProcess, 1);
            WaitForSingleObject(process_.hProcess, kWaitMs);
            CloseHandle(process_.hProcess);
        }
        if (ready_ != nullptr) CloseHandle(ready_);
    }
    ClaimHolder(const ClaimHolder&) = delete;
    ClaimHolder& operator=(const ClaimHolder&) = delete;

    // Whether it has claimed its key (waits for it at most kWaitMs).
    bool Holding() const {
        return process_.hProcess != nullptr &&
               WaitForSingleObject(ready_, kWaitMs) == WAIT_OBJECT_0;
    }

    // Ends it as a crash would: no Release, no destructor.
    bool Kill() {
        return TerminateProcess(process_.hProcess, 3) &&
               WaitForSingleObject(process_.hProcess, kWaitMs) == WAIT_OBJECT_0;
    }

private:
    HANDLE ready_;
    PROCESS_INFORMATION process_{};
};

TEST(UnitMutexClaims, OneClaimPerUnitInOneProcess) {
    const std::string key = TestKey("one");
    UnitMutexClaims first;
    UnitMutexClaims second;
    ASSERT_TRUE(first.TryClaim(key));
    EXPECT_FALSE(second.TryClaim(key)) << "a second claim of the same unit";
    EXPECT_FALSE(second.TryClaim(key)) << "and again: a refused claim leaves nothing behind";
    EXPECT_TRUE(second.TryClaim(key + "-other")) << "another unit is free";

    first.Release();
    EXPECT_TRUE(second.TryClaim(key)) << "released: the next claim gets it";
    EXPECT_FALSE(first.TryClaim(key));
    second.Release();
    second.Release();  // nothing held: nothing happens
    EXPECT_TRUE(first.TryClaim(key));
}

TEST(UnitMutexClaims, DestroyingTheClaimsReleasesThem) {
    const std::string key = TestKey("scope");
    {
        UnitMutexClaims held;
        ASSERT_TRUE(held.TryClaim(key));
    }
    UnitMutexClaims next;
    EXPECT_TRUE(next.TryClaim(key));
}

TEST(UnitMutexClaims, AnotherProcessHoldsTheUnitUntilItDies) {
    const std::string key = TestKey("process");
    ClaimHolder holder(key);
    ASSERT_TRUE(holder.Holding());
    UnitMutexClaims ours;
    EXPECT_FALSE(ours.TryClaim(key)) << "the other process holds the unit";
    EXPECT_TRUE(ours.TryClaim(key + "-other"));

    ASSERT_TRUE(holder.Kill());
    EXPECT_TRUE(ours.TryClaim(key)) << "its death dropped the claim";
}

TEST(UnitMutexClaims, LongKeysStayApart) {
    // Path keys can exceed an object name's length; two that differ only at the end must not
    // share a claim.
    const std::string stem = TestKey("long") + "-" + std::string(400, 'p');
    UnitMutexClaims a;
    UnitMutexClaims b;
    ASSERT_TRUE(a.TryClaim(stem + "1"));
    EXPECT_TRUE(b.TryClaim(stem + "2"));
    UnitMutexClaims c;
    EXPECT_FALSE(c.TryClaim(stem + "1"));
    EXPECT_LE(UnitClaimMutexName(stem).size(), std::size_t{MAX_PATH});
}

// Another user's claim is a mutex whose security keeps us out (its session's default DACL): we
// cannot open it, yet it is there, so the unit is busy; no failure to report.
TEST(UnitMutexClaims, AMutexWeMayNotOpenIsAnotherClaim) {
    const std::string key = TestKey("foreign");
    SECURITY_DESCRIPTOR none{};
    ASSERT_TRUE(InitializeSecurityDescriptor(&none, SECURITY_DESCRIPTOR_REVISION));
    ACL empty{};  // no entry: nobody but its maker's handle gets in
    ASSERT_TRUE(InitializeAcl(&empty, sizeof empty, ACL_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&none, TRUE, &empty, FALSE));
    SECURITY_ATTRIBUTES closed{sizeof closed, &none, FALSE};
    const HANDLE foreign = CreateMutexW(&closed, TRUE, UnitClaimMutexName(key).c_str());
    ASSERT_NE(foreign, nullptr);
    if (HANDLE probe = OpenMutexW(SYNCHRONIZE, FALSE, UnitClaimMutexName(key).c_str())) {
        CloseHandle(probe);
        CloseHandle(foreign);
        GTEST_SKIP() << "this system lets anyone open a mutex whose DACL is empty (Wine does)";
    }

    UnitMutexClaims ours;
    EXPECT_FALSE(ours.TryClaim(key));
    EXPECT_EQ(ours.ClaimFailure(), "") << "held by another: busy, not a failure";
    CloseHandle(foreign);
    EXPECT_TRUE(ours.TryClaim(key)) << "its holder gone, the unit is free";
}

// A name taken by an object of another kind is no claim, and no mutex can be made under it:
// the claim fails with the system's reason instead of calling the unit busy.
TEST(UnitMutexClaims, ANameTakenByAnotherKindOfObjectIsAReasonNotBusy) {
    const std::string key = TestKey("event");
    const std::wstring name = UnitClaimMutexName(key);
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(event, nullptr);
    UnitMutexClaims ours;
    EXPECT_FALSE(ours.TryClaim(key));
    const std::string failure = ours.ClaimFailure();
    const std::string shown(name.begin(), name.end());
    EXPECT_EQ(failure.rfind("cannot make the mutex " + shown + ": ", 0), 0u) << failure;
    EXPECT_NE(failure.find("(error " + std::to_string(ERROR_INVALID_HANDLE) + ")"),
              std::string::npos)
        << failure;
    CloseHandle(event);
    EXPECT_TRUE(ours.TryClaim(key));
    EXPECT_EQ(ours.ClaimFailure(), "") << "a claim made forgets the last reason";
}

int HoldClaim(const char* key) {
    UnitMutexClaims claims;
    if (!claims.TryClaim(key)) return 2;
    const HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, ReadyEventName(key).c_str());
    if (ready == nullptr) return 2;
    SetEvent(ready);
    CloseHandle(ready);
    Sleep(kChildLimitMs);
    return 0;
}

}  // namespace
}  // namespace lumo

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--hold-claim") == 0) return lumo::HoldClaim(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
