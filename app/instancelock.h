#pragma once

#include <QString>

// The lock that lets one copy of the program run per user: an advisory lock on a file in a folder
// of the user's own. The kernel releases it when the process ends, even by a crash, so a killed
// copy never blocks the next start. Other users run copies of their own.
class CInstanceLock
{
public:
    explicit CInstanceLock(const QString &path = defaultPath());
    ~CInstanceLock();
    CInstanceLock(const CInstanceLock &) = delete;
    CInstanceLock &operator=(const CInstanceLock &) = delete;

    // True when another process holds the lock. A lock file that cannot be opened at all does not
    // stop the start.
    bool heldElsewhere() const { return m_heldElsewhere; }

    // QUILLET_LOCK_FILE when set; else "quillet.lock" in $XDG_RUNTIME_DIR, or, without one, in
    // /tmp/quillet-<uid>/, a folder made for this user alone (one that is not, because somebody
    // else made it first, is not used: the lock then cannot be taken and the start goes on).
    static QString defaultPath();

private:
    int m_fd = -1;
    bool m_heldElsewhere = false;
};
