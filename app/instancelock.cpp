#include "instancelock.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

CInstanceLock::CInstanceLock(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    m_fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_fd < 0)
        return;
    int result;
    do {
        result = ::flock(m_fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        m_heldElsewhere = errno == EWOULDBLOCK;
        ::close(m_fd);
        m_fd = -1;
    }
}

CInstanceLock::~CInstanceLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QString CInstanceLock::defaultPath()
{
    const QString fromEnvironment = qEnvironmentVariable("QUILLET_LOCK_FILE");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        return runtime + QStringLiteral("/quillet.lock");
    const uid_t uid = ::getuid();
    const QString folder = QStringLiteral("/tmp/quillet-%1").arg(uid);
    const QByteArray name = QFile::encodeName(folder);
    ::mkdir(name.constData(), 0700);
    struct stat info{};
    // Ours alone, or not at all: another user could have made the folder to catch our commands.
    if (::lstat(name.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != uid
        || (info.st_mode & 0077) != 0)
        return folder + QStringLiteral("/unusable/quillet.lock");
    return folder + QStringLiteral("/quillet.lock");
}
