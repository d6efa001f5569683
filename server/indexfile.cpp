#include "indexfile.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringList>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Opens path for reading (-2 when there is none, -1 when refused), without waiting on a FIFO and (unless told to) without following a link.
int openRegular(const QString &path, QString *problem, bool followLink = false)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        if (errno == ELOOP)
            *problem = QStringLiteral("is a symbolic link, which is not followed");
        else if (errno == ENOENT) {
            *problem = QStringLiteral("does not exist");
            return -2;
        } else
            *problem = QStringLiteral("cannot be read (%1)").arg(systemReason(errno));
        return -1;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *problem = QStringLiteral("is not a regular file");
        ::close(fd);
        return -1;
    }
    return fd;
}

bool writeAll(int fd, const char *data, qsizetype length)
{
    while (length > 0) {
        const ssize_t written = ::write(fd, data, size_t(length));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        length -= written;
    }
    return true;
}

} // namespace

bool CIndexFile::Contents::allocate(qsizetype size)
{
    clear();
    if (size == 0)
        return true;
    void *memory = ::mmap(nullptr, size_t(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return false;
    ::madvise(memory, size_t(size), MADV_HUGEPAGE);
    m_data = static_cast<char *>(memory);
    m_size = m_capacity = size;
    return true;
}

void CIndexFile::Contents::clear()
{
    if (m_data)
        ::munmap(m_data, size_t(m_capacity));
    m_data = nullptr;
    m_size = m_capacity = 0;
}

quint64 CIndexFile::checksum(const Header &header, const char *body, qsizetype length)
{
    Header zeroed = header;
    zeroed.checksum = 0;
    XXH3_state_t *state = XXH3_createState();
    XXH3_64bits_reset(state);
    XXH3_64bits_update(state, &zeroed, sizeof zeroed);
    XXH3_64bits_update(state, body, size_t(length));
    const quint64 hash = XXH3_64bits_digest(state);
    XXH3_freeState(state);
    return hash;
}

CIndexFile::Status CIndexFile::read(const QString &path, const char (&magic)[8], quint32 version,
                                    quint32 dimension, Contents *contents, QString *problem)
{
    contents->clear();
    const int fd = openRegular(path, problem);
    if (fd < 0)
        return fd == -2 ? Status::Missing : Status::Refused;
    struct stat info;
    ::fstat(fd, &info);
    // The file is copied out rather than mapped: one rewritten in place while it is read would
    // otherwise change, or vanish, under the reader.
    if (!contents->allocate(qsizetype(info.st_size))) {
        *problem = QStringLiteral("cannot be read (%1)").arg(systemReason(errno));
        ::close(fd);
        return Status::Refused;
    }
    qsizetype at = 0;
    while (at < contents->m_size) {
        const ssize_t got = ::read(fd, contents->m_data + at, size_t(contents->m_size - at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *problem = QStringLiteral("cannot be read (%1)").arg(systemReason(errno));
            ::close(fd);
            contents->clear();
            return Status::Refused;
        }
        if (got == 0)
            break; // cut short while being read: the checks below say so
        at += got;
    }
    ::close(fd);
    contents->m_size = at;

    const auto refuse = [&](const QString &reason) {
        *problem = reason;
        contents->clear();
        return Status::Refused;
    };
    const qsizetype size = contents->size();
    if (size < qsizetype(sizeof(Header)))
        return refuse(QStringLiteral("is truncated (%1 bytes, shorter than its header)").arg(size));
    Header &header = contents->header;
    std::memcpy(&header, contents->data(), sizeof header);
    if (std::memcmp(header.magic, magic, 8) != 0)
        return refuse(QStringLiteral("is not a Quillet index file of this kind"));
    if (header.version > version) {
        *problem = QStringLiteral("has format version %1, newer than this server's %2").arg(header.version).arg(version);
        contents->clear();
        return Status::Newer;
    }
    if (header.version != version)
        return refuse(QStringLiteral("has format version %1, this server reads %2").arg(header.version).arg(version));
    const quint64 bodyLength = quint64(size) - sizeof(Header);
    if (header.bodyLength != bodyLength)
        return refuse(header.bodyLength > bodyLength
                          ? QStringLiteral("is truncated (%1 bytes, its header says %2)").arg(size).arg(header.bodyLength + sizeof(Header))
                          : QStringLiteral("is longer than its header says (%1 bytes, not %2)").arg(size).arg(header.bodyLength + sizeof(Header)));
    if (checksum(header, contents->body(), contents->bodyLength()) != header.checksum)
        return refuse(QStringLiteral("is corrupt (its checksum does not match)"));
    if (header.dimension != dimension)
        return refuse(QStringLiteral("holds vectors of %1 values, this server's have %2").arg(header.dimension).arg(dimension));
    return Status::Good;
}

bool CIndexFile::write(const QString &path, Header header, const QByteArray &body, QString *problem)
{
    const QFileInfo target(path);
    const QByteArray folder = QFile::encodeName(target.path());
    const QByteArray name = QFile::encodeName(target.fileName());
    if (::mkdir(folder.constData(), 0755) != 0 && errno != EEXIST) {
        *problem = QStringLiteral("cannot make the folder (%1)").arg(systemReason(errno));
        return false;
    }
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        *problem = QStringLiteral("cannot open the folder (%1)").arg(systemReason(errno));
        return false;
    }
    const auto fail = [&](const QString &reason) {
        *problem = reason;
        ::close(dir);
        return false;
    };
    // Whatever stands under the name now decides whether it may be replaced: never a link (which
    // would have the file written wherever it points), a FIFO or a folder, nor a file its owner
    // made read-only.
    struct stat existing;
    if (::fstatat(dir, name.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(existing.st_mode))
            return fail(QStringLiteral("it is a symbolic link; left as it is"));
        if (!S_ISREG(existing.st_mode))
            return fail(QStringLiteral("it is not a regular file; left as it is"));
        if ((existing.st_mode & 0222) == 0)
            return fail(QStringLiteral("it is read-only; left as it is"));
    }

    header.bodyLength = quint64(body.size());
    header.checksum = checksum(header, body.constData(), body.size());
    const QByteArray temporary = name + temporaryInfix
        + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
    const int fd = ::openat(dir, temporary.constData(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return fail(systemReason(errno));
    const bool written = writeAll(fd, reinterpret_cast<const char *>(&header), sizeof header)
        && writeAll(fd, body.constData(), body.size()) && ::fsync(fd) == 0;
    const int writeError = errno;
    if (::close(fd) != 0 || !written) {
        const int error = written ? errno : writeError;
        ::unlinkat(dir, temporary.constData(), 0);
        return fail(systemReason(error));
    }
    if (::renameat(dir, temporary.constData(), dir, name.constData()) != 0) {
        const int error = errno;
        ::unlinkat(dir, temporary.constData(), 0);
        return fail(systemReason(error));
    }
    ::fsync(dir); // the rename itself on the disk
    ::close(dir);
    return true;
}

QStringList CIndexFile::removeStaleTemporaries(const QString &folder, const QString &base)
{
    QStringList removed;
    const QDir dir(folder);
    const QDateTime before = QDateTime::currentDateTime().addSecs(-60);
    const QFileInfoList found = dir.entryInfoList({base + QLatin1String(temporaryInfix) + QLatin1Char('*')},
                                                  QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &info : found) {
        if (info.isSymLink() || info.lastModified() > before)
            continue;
        if (::unlink(QFile::encodeName(info.filePath()).constData()) == 0)
            removed << info.filePath();
    }
    return removed;
}

bool CIndexFile::contentHash(const QString &path, quint64 *hash)
{
    QString problem;
    const int fd = openRegular(path, &problem, true); // a catalogue's pictures may be links
    if (fd < 0)
        return false;
    XXH3_state_t *state = XXH3_createState();
    XXH3_64bits_reset(state);
    char buffer[1 << 16];
    bool ok = true;
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        XXH3_64bits_update(state, buffer, size_t(got));
    }
    ::close(fd);
    *hash = XXH3_64bits_digest(state);
    XXH3_freeState(state);
    return ok;
}
