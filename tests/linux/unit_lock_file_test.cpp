// The claim on a unit as a lock file: one holder per unit across processes and users, given up
// on Release and on the holder's death, a file left by any user that never makes a unit busy,
// a claim that cannot be made that says why, and a fallback folder that is announced.
#include "platform/linux/unit_lock_file.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
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
    EXPECT_EQ(second.ClaimFailure(), "") << "held by another update: busy, not a failure";
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
    LockFileClaims nowhere(none, "Lumo_Tool", {missing, dir + "/gone"});
    EXPECT_FALSE(nowhere.TryClaim("port-1-2"));
    const std::string reason = "no folder to mark the unit it updates in (tried " + missing +
                               ": No such file or directory, " + dir +
                               "/gone: No such file or directory)";
    EXPECT_EQ(nowhere.ClaimFailure(), reason) << "a reason, not \"busy\"";
    EXPECT_EQ(none.str(), "Lumo_Tool: " + reason + "\n");
}

// What stands under a claim file's name and cannot be used: refused with the reason, on the
// diagnostics stream and to the caller, and never as "another update holds it".
struct BadFileCase {
    const char* name;
    std::function<void(const std::string& file)> plant;
    std::string (*reason)(const std::string& file);
};
void PrintTo(const BadFileCase& c, std::ostream* os) { *os << c.name; }

class BadFile : public LockFile, public ::testing::WithParamInterface<BadFileCase> {};

TEST_P(BadFile, IsAReasonNotBusy) {
    const std::string file = LockFileClaims::LockFileName(dir, "port-1-2");
    GetParam().plant(file);
    LockFileClaims claims(diag, "lumo-flash", {dir});
    EXPECT_FALSE(claims.TryClaim("port-1-2"));
    const std::string reason = GetParam().reason(file);
    EXPECT_EQ(claims.ClaimFailure(), reason);
    EXPECT_EQ(diag.str(), "lumo-flash: " + reason + "\n");
    // The next claim, of a unit that can be claimed, forgets the reason.
    EXPECT_TRUE(claims.TryClaim("port-1-3"));
    EXPECT_EQ(claims.ClaimFailure(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Planted, BadFile,
    ::testing::Values(
        // A link is not followed: it could send the claim to any file of the victim's.
        BadFileCase{"link",
                    [](const std::string& file) {
                        ASSERT_EQ(symlink("/etc/passwd", file.c_str()), 0);
                    },
                    [](const std::string& file) {
                        return "cannot open " + file + ": " + std::strerror(ELOOP);
                    }},
        // A FIFO neither holds the open nor takes the lock.
        BadFileCase{"fifo",
                    [](const std::string& file) { ASSERT_EQ(mkfifo(file.c_str(), 0666), 0); },
                    [](const std::string& file) {
                        return "cannot claim the unit: " + file + " is not a regular file";
                    }},
        BadFileCase{"folder",
                    [](const std::string& file) {
                        ASSERT_TRUE(std::filesystem::create_directory(file));
                    },
                    [](const std::string& file) {
                        return "cannot claim the unit: " + file + " is not a regular file";
                    }}),
    [](const auto& info) { return std::string(info.param.name); });

// Users other than the one running the tests: processes forked from this one (which must run
// as root to make them) that take on another uid. Two plain users, so that the rules for a
// file of "another user" meet two users that are neither root nor the folder's owner.
constexpr uid_t kUserA = 65534;  // nobody
constexpr uid_t kUserB = 65533;

// A process of `uid` that runs `body` and sends back what it returned; then, with `stay`, it
// lives on (holding what `body` took) until it is ended.
class OtherUser {
  public:
    OtherUser(uid_t uid, const std::function<std::string()>& body, bool stay = false) {
        int answer[2];
        if (pipe(answer) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(answer[0]);
            if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) _exit(2);
            const std::string said = body();
            if (write(answer[1], said.data(), said.size()) < 0) _exit(2);
            close(answer[1]);
            if (stay) pause();
            _exit(0);
        }
        close(answer[1]);
        char buffer[512];
        ssize_t n = 0;
        // Up to the child's end of the pipe: its close, or its death.
        while ((n = read(answer[0], buffer, sizeof buffer)) > 0) said_.append(buffer, n);
        close(answer[0]);
    }
    ~OtherUser() { End(); }
    OtherUser(const OtherUser&) = delete;
    OtherUser& operator=(const OtherUser&) = delete;

    const std::string& said() const { return said_; }
    // Ends it as a crash would.
    void End() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    std::string said_;
};

// A claim as another user: "claimed", "busy" or the reason it could not be made.
std::string ClaimAs(uid_t uid, const std::string& dir, const std::string& key, bool stay = false,
                    std::unique_ptr<OtherUser>* keep = nullptr) {
    auto user = std::make_unique<OtherUser>(
        uid,
        [&] {
            // Never freed: the child keeps its claim until it ends.
            auto* claims = new LockFileClaims(*new std::ostringstream, "lumo-flash", {dir});
            if (claims->TryClaim(key)) return std::string("claimed");
            return claims->ClaimFailure().empty() ? std::string("busy") : claims->ClaimFailure();
        },
        stay);
    std::string said = user->said();
    if (keep) *keep = std::move(user);
    return said;
}

// A folder as /run/lock is: sticky and writable by every user, owned by root.
class SharedFolder : public LockFile {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root, to act as other users";
        LockFile::SetUp();
        ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
    }
    std::string File(const char* key) const { return LockFileClaims::LockFileName(dir, key); }
};

// The claim files of other users: one left behind never makes the unit busy, one whose lock is
// held does, for root and for a plain user alike.
TEST_F(SharedFolder, AFileLeftByAnyUserIsNoClaimALockHeldOnItIs) {
    ASSERT_EQ(ClaimAs(kUserA, dir, "port-1-2"), "claimed");  // its process ended: left behind
    struct stat st{};
    ASSERT_EQ(stat(File("port-1-2").c_str(), &st), 0);
    ASSERT_EQ(st.st_uid, kUserA);
    EXPECT_EQ(ClaimAs(kUserB, dir, "port-1-2"), "claimed");
    LockFileClaims root(diag, "lumo-flash", {dir});
    EXPECT_TRUE(root.TryClaim("port-1-2"));

    // Held by root now: busy for every user, and no failure.
    EXPECT_EQ(ClaimAs(kUserA, dir, "port-1-2"), "busy");
    root.Release();

    std::unique_ptr<OtherUser> holder;
    ASSERT_EQ(ClaimAs(kUserB, dir, "port-1-2", true, &holder), "claimed");
    EXPECT_FALSE(root.TryClaim("port-1-2"));
    EXPECT_EQ(root.ClaimFailure(), "");
    EXPECT_EQ(ClaimAs(kUserA, dir, "port-1-2"), "busy");
    holder->End();
    EXPECT_TRUE(root.TryClaim("port-1-2"));
    EXPECT_EQ(diag.str(), "");
}

// A file someone made that other users may not read cannot be locked by them: the claim is
// refused with that reason (a lock elsewhere could let two updates meet), and root, who may
// read it, is not held up by it.
TEST_F(SharedFolder, AFileOthersMayNotReadIsAReasonForThemNotBusy) {
    { std::ofstream(File("port-1-2")) << ""; }
    ASSERT_EQ(chown(File("port-1-2").c_str(), kUserA, kUserA), 0);
    ASSERT_EQ(chmod(File("port-1-2").c_str(), 0600), 0);
    EXPECT_EQ(ClaimAs(kUserB, dir, "port-1-2"),
              "cannot open " + File("port-1-2") + ": " + std::strerror(EACCES));
    LockFileClaims root(diag, "lumo-flash", {dir});
    EXPECT_TRUE(root.TryClaim("port-1-2"));
    EXPECT_EQ(ClaimAs(kUserB, dir, "port-1-3"), "claimed");  // another unit is free
}

// With fs.protected_regular = 2 (Debian 12's default) the kernel refuses an O_CREAT open of
// another user's file in a sticky folder, to root as well: such a file must still be no claim.
class ProtectedRegular : public SharedFolder {
  protected:
    static constexpr const char* kSetting = "/proc/sys/fs/protected_regular";
    void SetUp() override {
        SharedFolder::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        std::ifstream in(kSetting);
        if (!(in >> before_)) GTEST_SKIP() << "cannot read " << kSetting;
        if (!Write("2")) GTEST_SKIP() << "cannot write " << kSetting << ": " << std::strerror(errno);
        set_ = true;
    }
    void TearDown() override {
        if (set_) {
            EXPECT_TRUE(Write(before_)) << "could not restore " << kSetting;
        }
        SharedFolder::TearDown();
    }
    static bool Write(const std::string& value) {
        const int fd = open(kSetting, O_WRONLY | O_CLOEXEC);
        if (fd < 0) return false;
        const bool ok = write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
        close(fd);
        return ok;
    }

  private:
    std::string before_;
    bool set_ = false;
};

TEST_F(ProtectedRegular, AnotherUsersFileLeftBehindIsNoClaim) {
    ASSERT_EQ(ClaimAs(kUserA, dir, "serial-M8V-000101"), "claimed");  // and left behind
    const std::string file = File("serial-M8V-000101");
    // The setting bites here: the open that made a left file a "busy" unit is refused.
    const int created = open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (created >= 0) close(created);
    if (created >= 0 || errno != EACCES)
        GTEST_SKIP() << "this kernel does not apply protected_regular to the folder";

    LockFileClaims root(diag, "lumo-flash", {dir});
    EXPECT_TRUE(root.TryClaim("serial-M8V-000101")) << root.ClaimFailure();
    EXPECT_EQ(ClaimAs(kUserB, dir, "serial-M8V-000101"), "busy");  // and it still excludes
    root.Release();
    EXPECT_EQ(ClaimAs(kUserB, dir, "serial-M8V-000101"), "claimed");
    EXPECT_EQ(diag.str(), "");
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
