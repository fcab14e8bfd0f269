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

std::optional<std::string> LockFileClaims::Folder() {
    if (folder_) return folder_;
    for (const std::string& folder : folders_) {
        if (access(folder.c_str(), W_OK | X_OK) != 0) continue;
        folder_ = folder;
        if (folder != folders_.front()) {
            diagnostics_ << program_ << ": " << folders_.front()
                         << " is not writable; this program marks the unit it updates in "
                         << folder << ", which other users' programs do not see." << std::endl;
        }
        return folder_;
    }
    diagnostics_ << program_ << ": no folder to mark the unit it updates in (tried";
    for (const std::string& folder : folders_) diagnostics_ << ' ' << folder;
    diagnostics_ << ")." << std::endl;
    return std::nullopt;
}

bool LockFileClaims::TryClaim(std::string_view key) {
    Release();  // one claim at a time
    const auto folder = Folder();
    if (!folder) return false;
    const std::string file = LockFileName(*folder, key);
    // Read-only is enough for flock; O_NOFOLLOW keeps a planted link in a shared folder from
    // sending the open elsewhere.
    const int fd = open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        diagnostics_ << program_ << ": cannot open " << file << ": " << std::strerror(errno)
                     << std::endl;
        return false;
    }
    // Readable by every user whatever the umask, so that their programs can take the lock too
    // (fails harmlessly on a file another user made).
    fchmod(fd, 0644);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {  // held by another update is the usual reason, not a fault
            diagnostics_ << program_ << ": cannot lock " << file << ": " << std::strerror(errno)
                         << std::endl;
        }
        close(fd);
        return false;
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
