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
    const mode_t oldMask = ::umask(0);
    m_fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ::umask(oldMask);
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
    return fromEnvironment.isEmpty() ? QStringLiteral("/tmp/qv_client_started.lock") : fromEnvironment;
}
