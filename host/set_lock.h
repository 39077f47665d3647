// Host::SetLock: one writer at a time on a directory table set, between
// processes.
//
// The lock is an flock on the file kLockFileName in the directory, which is
// made on first use and never removed: shared for readers, exclusive for a
// writer. flock belongs to the open file, so the lock is held exactly as
// long as this object lives and goes with the process if it dies. Within
// one process, every SetLock on the same directory shares one lock file
// descriptor: a second set the process opens on a directory it already holds
// takes nothing more (a process is one user of its sets), except that a
// writer after readers upgrades the lock.
//
// A reader that may not create the lock file (a directory it may only read)
// goes on unlocked: no writer can have used the set without making the file.
// Anything but a regular file under the lock's name (a symlink, a FIFO, a
// device, a directory) is refused at once: "<path> is not a regular file".
// Opening never blocks; only the wait for the lock itself takes time, and
// never more than `waitSeconds`.
#pragma once

#include <memory>
#include <string>

namespace Host {

extern const char* const kLockFileName;  // ".orvex-lock"

class SetLock {
public:
    enum class Kind { shared, exclusive };

    // Takes the lock, waiting up to `waitSeconds` while another process
    // holds it the other way; then raises std::runtime_error "table set
    // <directory> is in use by another process".
    SetLock(const std::string& directory, Kind kind, double waitSeconds);
    ~SetLock();
    SetLock(const SetLock&) = delete;
    SetLock& operator=(const SetLock&) = delete;

    struct Shared;  // the process's descriptor on one lock file

private:
    std::shared_ptr<Shared> m_shared;
    Kind m_kind;
};

}  // namespace Host
