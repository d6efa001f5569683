#pragma once

#include <QString>

// The machine-wide lock that lets one copy of the program run: an advisory lock on a file in a
// folder every user can reach. The kernel releases it when the process ends, even by a crash, so
// a killed copy never blocks the next start.
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

    static QString defaultPath();

private:
    int m_fd = -1;
    bool m_heldElsewhere = false;
};
