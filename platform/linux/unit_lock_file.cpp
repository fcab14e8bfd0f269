#include "platform/linux/unit_lock_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ostream>

namespace lumo::linux_hid {

namespace {

// An existing claim file: read-only is enough for flock. O_NOFOLLOW keeps a link planted in a
// shared folder from sending the open elsewhere, O_NONBLOCK keeps a planted FIFO from holding
// it; never O_CREAT (see the header).
constexpr int kOpenExisting = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
constexpr mode_t kEveryUserReads = 0644;

std::string WithErrno(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// Makes the claim file `file` in `folder`, readable by every user whatever the umask before
// any other program can open it: made without a name, widened, then linked into place, so
// that a program that dies half-way never leaves a file other users cannot open. Where the
// file system or a missing /proc does not allow that, made in place and widened at once.
// -1 with errno set; EEXIST: another program made it first.
int MakeFile(const std::string& folder, const std::string& file) {
    int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, kEveryUserReads);
    if (fd >= 0) {
        fchmod(fd, kEveryUserReads);
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, file.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return fd;
        const int error = errno;
        close(fd);
        if (error == EEXIST) {
            errno = EEXIST;
            return -1;
        }
    }
    fd = open(file.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
              kEveryUserReads);
    if (fd >= 0) fchmod(fd, kEveryUserReads);
    return fd;
}

}  // namespace

LockFileClaims::LockFileClaims(std::ostream& diagnostics, std::string program,
                               std::vector<std::string> folders)
    : diagnostics_(diagnostics), program_(std::move(program)), folders_(std::move(folders)) {}

LockFileClaims::~LockFileClaims() { Release(); }

std::vector<std::string> LockFileClaims::DefaultFolders() {
    if (const char* dir = std::getenv("LUMO_LOCK_DIR"); dir && *dir) return {dir};
    std::vector<std::string> folders{"/run/lock"};
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        folders.emplace_back(runtime);
    return folders;
}

std::string LockFileClaims::LockFileName(const std::string& folder, std::string_view key) {
    return folder + "/orvel-m8-" + std::string(key) + ".lock";
}

void LockFileClaims::Fail(std::string reason) {
    failure_ = std::move(reason);
    diagnostics_ << program_ << ": " << failure_ << std::endl;
}

std::optional<std::string> LockFileClaims::Folder() {
    if (folder_) return folder_;
    std::string tried;
    for (const std::string& folder : folders_) {
        if (access(folder.c_str(), W_OK | X_OK) != 0) {
            tried += (tried.empty() ? "" : ", ") + WithErrno(folder, errno);
            continue;
        }
        folder_ = folder;
        if (folder != folders_.front()) {
            diagnostics_ << program_ << ": " << folders_.front()
                         << " is not writable; this program marks the unit it updates in "
                         << folder << ", which other users' programs do not see." << std::endl;
        }
        return folder_;
    }
    Fail("no folder to mark the unit it updates in (tried " + tried + ")");
    return std::nullopt;
}

bool LockFileClaims::TryClaim(std::string_view key) {
    Release();  // one claim at a time
    failure_.clear();
    const auto folder = Folder();
    if (!folder) return false;
    const std::string file = LockFileName(*folder, key);
    int fd = -1;
    // A file made (or removed by hand) by another program between our open and our making is
    // simply looked at again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        fd = open(file.c_str(), kOpenExisting);
        if (fd < 0 && errno == ENOENT) fd = MakeFile(*folder, file);
        if (fd >= 0 || (errno != EEXIST && errno != ENOENT)) break;
    }
    if (fd < 0) {
        Fail(WithErrno("cannot open " + file, errno));
        return false;
    }
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        Fail("cannot claim the unit: " + file + " is not a regular file");
        return false;
    }
    // A file of ours left narrower (an older program, or one that died between making it in
    // place and widening it) is widened; another user's file is theirs to keep as it is.
    if (st.st_uid == geteuid() && (st.st_mode & 0777) != kEveryUserReads)
        fchmod(fd, kEveryUserReads);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        if (error != EWOULDBLOCK) Fail(WithErrno("cannot lock " + file, error));
        return false;  // EWOULDBLOCK: another update holds the unit, which is no fault
    }
    fd_ = fd;
    return true;
}

void LockFileClaims::Release() {
    if (fd_ < 0) return;
    close(fd_);  // drops the lock
    fd_ = -1;
}

}  // namespace lumo::linux_hid
