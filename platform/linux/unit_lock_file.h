// One writer per unit across processes on Linux: a claim is an advisory flock(2) on a file named
// after the unit, held from TryClaim to Release. The kernel drops it when the process dies, so a
// crashed or killed updater never leaves its unit claimed.
//
// The files live in /run/lock, which every user can write to, so that a claim is seen by every
// user's programs. Where /run/lock is not writable they live in the user's runtime folder
// ($XDG_RUNTIME_DIR), where only that user's programs see them; one line on the diagnostics
// stream says so. LUMO_LOCK_DIR, when set, names the folder instead (for test rigs that must not
// meet the claims of other runs on the same machine).
//
// The files are left in place when released: removing one while another process has it open
// would let two processes hold "the" lock on two different files. So a file outlives its
// claim and is met later by other users, and every user must be able to take the lock on it:
// each file is readable by all from the moment it has its name, the lock is taken on a
// read-only descriptor, and an existing file is opened without O_CREAT (in a sticky folder
// such as /run/lock, fs.protected_regular makes the kernel refuse an O_CREAT open of another
// user's file, even to root). A file's mere presence therefore never makes a unit busy: only
// a lock held on it does.
//
// A claim that cannot be made for any other reason (no usable folder, a file that cannot be
// opened or locked, something else under the file's name) is refused with that reason, on the
// diagnostics stream and in ClaimFailure().
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "ports/unit_claims.h"

namespace lumo::linux_hid {

class LockFileClaims : public UnitClaims {
  public:
    // `folders`: where the files may go, in order of preference; the first one that can be
    // written to is taken. `program` starts the diagnostics line.
    LockFileClaims(std::ostream& diagnostics, std::string program,
                   std::vector<std::string> folders = DefaultFolders());
    ~LockFileClaims() override;
    LockFileClaims(const LockFileClaims&) = delete;
    LockFileClaims& operator=(const LockFileClaims&) = delete;

    bool TryClaim(std::string_view key) override;
    void Release() override;
    std::string ClaimFailure() const override { return failure_; }

    // LUMO_LOCK_DIR alone when it is set; else /run/lock, then $XDG_RUNTIME_DIR when set.
    static std::vector<std::string> DefaultFolders();

    // The file a claim on `key` takes in `folder`.
    static std::string LockFileName(const std::string& folder, std::string_view key);

  private:
    std::optional<std::string> Folder();
    // Records why the claim could not be made and says so on the diagnostics stream.
    void Fail(std::string reason);

    std::ostream& diagnostics_;
    std::string program_;
    std::vector<std::string> folders_;
    std::optional<std::string> folder_;  // chosen at the first claim
    int fd_ = -1;
    std::string failure_;  // of the last TryClaim
};

}  // namespace lumo::linux_hid
