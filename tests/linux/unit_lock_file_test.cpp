// The claim on a unit as a lock file: one holder per unit across processes, given up on
// Release and on the holder's death, and a fallback folder that is announced.
#include "platform/linux/unit_lock_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

namespace lumo::linux_hid {
namespace {

class LockFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/lumo-lock-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string dir;
    std::ostringstream diag;
};

TEST_F(LockFile, OneHolderPerUnitUntilRelease) {
    LockFileClaims first(diag, "lumo-flash", {dir});
    LockFileClaims second(diag, "lumo-flash", {dir});
    ASSERT_TRUE(first.TryClaim("serial-M8V-000101"));
    EXPECT_FALSE(second.TryClaim("serial-M8V-000101"));
    EXPECT_TRUE(second.TryClaim("port-1-3"));  // another unit is free
    second.Release();

    first.Release();
    EXPECT_TRUE(second.TryClaim("serial-M8V-000101"));
    EXPECT_FALSE(first.TryClaim("serial-M8V-000101"));
    EXPECT_EQ(diag.str(), "");  // a refusal is no fault to report
}

TEST_F(LockFile, FileIsReadableByEveryUserWhateverTheUmask) {
    const mode_t old = umask(077);
    LockFileClaims claims(diag, "lumo-flash", {dir});
    ASSERT_TRUE(claims.TryClaim("port-1-2"));
    umask(old);
    struct stat st{};
    ASSERT_EQ(stat(LockFileClaims::LockFileName(dir, "port-1-2").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

// The claim is held by the process: another process is refused while it lives and gets the
// unit once it has been killed, with no clean-up on its part.
TEST_F(LockFile, ClaimEndsWithTheProcessThatHeldIt) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::ostringstream d;
        LockFileClaims claims(d, "lumo-flash", {dir});
        const char ok = claims.TryClaim("port-1-2") ? 'y' : 'n';
        if (write(ready[1], &ok, 1) != 1) _exit(2);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    close(ready[0]);
    ASSERT_EQ(ok, 'y');

    LockFileClaims claims(diag, "lumo-flash", {dir});
    EXPECT_FALSE(claims.TryClaim("port-1-2"));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(claims.TryClaim("port-1-2"));
}

TEST_F(LockFile, FallsBackToTheNextFolderAndSaysSo) {
    const std::string missing = dir + "/missing";  // not writable, for root too
    LockFileClaims claims(diag, "Lumo_Tool", {missing, dir});
    ASSERT_TRUE(claims.TryClaim("port-1-2"));
    EXPECT_TRUE(std::filesystem::exists(LockFileClaims::LockFileName(dir, "port-1-2")));
    EXPECT_EQ(diag.str(), "Lumo_Tool: " + missing +
                              " is not writable; this program marks the unit it updates in " +
                              dir + ", which other users' programs do not see.\n");
    claims.Release();
    EXPECT_TRUE(claims.TryClaim("port-1-2"));
    EXPECT_EQ(diag.str().find('\n'), diag.str().size() - 1);  // said once

    std::ostringstream none;
    LockFileClaims nowhere(none, "Lumo_Tool", {missing});
    EXPECT_FALSE(nowhere.TryClaim("port-1-2"));
    EXPECT_EQ(none.str(), "Lumo_Tool: no folder to mark the unit it updates in (tried " +
                              missing + ").\n");
}

TEST(LockFileFolders, TestRigFolderOverridesTheDefaults) {
    setenv("LUMO_LOCK_DIR", "/somewhere", 1);
    EXPECT_EQ(LockFileClaims::DefaultFolders(), std::vector<std::string>{"/somewhere"});
    unsetenv("LUMO_LOCK_DIR");
    setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
    EXPECT_EQ(LockFileClaims::DefaultFolders(),
              (std::vector<std::string>{"/run/lock", "/run/user/1000"}));
}

}  // namespace
}  // namespace lumo::linux_hid
