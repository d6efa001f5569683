#include "indexfile.h"

#include "hugepages.h"

#include <QDir>
#include <QFile>
#include <QtEndian>

#include <xxhash.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qsizetype checksumOffset = 72;

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Closes a descriptor when it goes out of scope.
struct Descriptor
{
    explicit Descriptor(int fd = -1) : fd(fd) {}
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int fd;
};

QString kindOf(mode_t mode)
{
    if (S_ISLNK(mode))
        return QStringLiteral("a symbolic link");
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    return QStringLiteral("not a regular file");
}

// Reads exactly length bytes at offset; false with errno (0 for a file shorter than that).
bool readFully(int fd, char *data, qint64 length, qint64 offset)
{
    while (length > 0) {
        const ssize_t got = ::pread(fd, data, size_t(std::min<qint64>(length, 1 << 30)), off_t(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got == 0)
                errno = 0;
            return false;
        }
        data += got;
        length -= got;
        offset += got;
    }
    return true;
}

bool writeFully(int fd, const char *data, qint64 length)
{
    while (length > 0) {
        const ssize_t put = ::write(fd, data, size_t(std::min<qint64>(length, 1 << 30)));
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return false;
        data += put;
        length -= put;
    }
    return true;
}

XXH128_hash_t checksumOf(const char *header, const QByteArray &body)
{
    XXH3_state_t *state = XXH3_createState();
    XXH3_128bits_reset(state);
    XXH3_128bits_update(state, header, size_t(checksumOffset));
    XXH3_128bits_update(state, body.constData(), size_t(body.size()));
    const XXH128_hash_t hash = XXH3_128bits_digest(state);
    XXH3_freeState(state);
    return hash;
}

} // namespace

CIndexFile::CIndexFile(const QString &folder, const QString &fileName, const QByteArray &magic,
                       quint32 version)
    : m_folder(folder), m_fileName(fileName), m_magic(magic.left(8)), m_version(version)
{
    m_magic.resize(8, '\0');
}

QString CIndexFile::path() const
{
    return QDir(m_folder).filePath(m_fileName);
}

void CIndexFile::clear()
{
    m_body = QByteArray();
}

CIndexFile::Status CIndexFile::read(QString *problem)
{
    clear();
    m_values = {};
    m_checksum = 0;
    const auto refuse = [problem](const QString &reason) {
        if (problem)
            *problem = reason;
        return Status::Refused;
    };
    const QByteArray name = QFile::encodeName(m_fileName);
    Descriptor folder(::open(QFile::encodeName(m_folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.fd < 0) {
        if (errno == ENOENT)
            return Status::Missing;
        return refuse(QStringLiteral("cannot be read (its folder: %1)").arg(systemReason(errno)));
    }
    // Looked at before opening: opening a FIFO would wait for a writer, a device could act on it.
    struct stat info;
    if (::fstatat(folder.fd, name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return Status::Missing;
        return refuse(QStringLiteral("cannot be read (%1)").arg(systemReason(errno)));
    }
    if (!S_ISREG(info.st_mode))
        return refuse(QStringLiteral("is %1, not read").arg(kindOf(info.st_mode)));
    // Replaced by a link or a FIFO since: O_NOFOLLOW and O_NONBLOCK refuse it without waiting.
    Descriptor file(::openat(folder.fd, name.constData(),
                             O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.fd < 0)
        return refuse(errno == ELOOP ? QStringLiteral("is a symbolic link, not read")
                                     : QStringLiteral("cannot be read (%1)").arg(systemReason(errno)));
    if (::fstat(file.fd, &info) != 0)
        return refuse(QStringLiteral("cannot be read (%1)").arg(systemReason(errno)));
    if (!S_ISREG(info.st_mode))
        return refuse(QStringLiteral("is %1, not read").arg(kindOf(info.st_mode)));
    const qint64 size = info.st_size;
    if (size < headerLength)
        return refuse(QStringLiteral("is truncated (%1 bytes, shorter than its header)").arg(size));

    char header[headerLength];
    if (!readFully(file.fd, header, headerLength, 0))
        return refuse(QStringLiteral("cannot be read (%1)")
                          .arg(errno ? systemReason(errno) : QStringLiteral("it shrank while read")));
    if (std::memcmp(header, m_magic.constData(), 8) != 0)
        return refuse(QStringLiteral("is not a Quillet index file of this kind"));
    // Older versions had other headers: their version is all that is read of them.
    const quint32 version = qFromLittleEndian<quint32>(header + 8);
    const QString versionProblem =
        QStringLiteral("has format version %1, this server reads %2").arg(version).arg(m_version);
    if (version < m_version)
        return refuse(versionProblem);
    // Every later version keeps this header and its checksum, so that a flipped bit in the version
    // is found to be damage, not taken for a newer server's file.
    if (qFromLittleEndian<quint32>(header + 12) != quint32(headerLength))
        return refuse(QStringLiteral("is corrupt (its header length is wrong)"));
    const quint64 bodyLength = qFromLittleEndian<quint64>(header + 64);
    const quint64 actual = quint64(size - headerLength);
    if (bodyLength != actual) {
        return refuse(bodyLength > actual
                          ? QStringLiteral("is truncated (%1 bytes, its header says %2 more)")
                                .arg(size).arg(bodyLength - actual)
                          : QStringLiteral("has %1 bytes more than its header says").arg(actual - bodyLength));
    }

    // Copied, not mapped: a file rewritten under a mapping kills the reader (SIGBUS).
    QByteArray body;
    body.resize(qsizetype(actual));
    CHugePages::advise(body.data(), size_t(actual));
    if (!readFully(file.fd, body.data(), qint64(actual), headerLength))
        return refuse(errno ? QStringLiteral("cannot be read (%1)").arg(systemReason(errno))
                            : QStringLiteral("changed while it was read"));
    const XXH128_hash_t hash = checksumOf(header, body);
    if (hash.low64 != qFromLittleEndian<quint64>(header + checksumOffset)
        || hash.high64 != qFromLittleEndian<quint64>(header + checksumOffset + 8))
        return refuse(QStringLiteral("is corrupt (its checksum does not match)"));
    if (version > m_version) {
        if (problem)
            *problem = versionProblem;
        return Status::Newer;
    }
    for (int n = 0; n < valueCount; ++n)
        m_values[size_t(n)] = qFromLittleEndian<quint64>(header + 16 + 8 * n);
    m_body = std::move(body);
    m_checksum = hash.low64;
    return Status::Read;
}

bool CIndexFile::write(const Values &values, const QByteArray &body, QString *problem)
{
    const auto fail = [problem](const QString &reason) {
        if (problem)
            *problem = reason;
        return false;
    };
    if (!QDir().mkpath(m_folder)) {
        // mkpath gives no reason: the last step again gives the system's.
        const int error = ::mkdir(QFile::encodeName(m_folder).constData(), 0777) == 0 ? 0 : errno;
        return fail(QStringLiteral("cannot make its folder: %1").arg(systemReason(error == EEXIST ? ENOTDIR : error)));
    }
    Descriptor folder(::open(QFile::encodeName(m_folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.fd < 0)
        return fail(QStringLiteral("its folder: %1").arg(systemReason(errno)));
    const QByteArray name = QFile::encodeName(m_fileName);
    mode_t mode = 0644;
    struct stat info;
    if (::fstatat(folder.fd, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(info.st_mode))
            return fail(QStringLiteral("it is %1; left as it is").arg(kindOf(info.st_mode)));
        // Made read-only by its owner: not ours to replace (root could).
        if (!(info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)))
            return fail(QStringLiteral("it is read-only; left as it is"));
        mode = info.st_mode & 07777;
    } else if (errno != ENOENT) {
        return fail(systemReason(errno));
    }

    char header[headerLength] = {};
    std::memcpy(header, m_magic.constData(), 8);
    qToLittleEndian<quint32>(m_version, header + 8);
    qToLittleEndian<quint32>(quint32(headerLength), header + 12);
    for (int n = 0; n < valueCount; ++n)
        qToLittleEndian<quint64>(values[size_t(n)], header + 16 + 8 * n);
    qToLittleEndian<quint64>(quint64(body.size()), header + 64);
    const XXH128_hash_t hash = checksumOf(header, body);
    qToLittleEndian<quint64>(hash.low64, header + checksumOffset);
    qToLittleEndian<quint64>(hash.high64, header + checksumOffset + 8);

    const QByteArray temporary = name + ".tmp." + QByteArray::number(qint64(::getpid()));
    ::unlinkat(folder.fd, temporary.constData(), 0); // our own, from a failed write before
    Descriptor file(::openat(folder.fd, temporary.constData(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (file.fd < 0)
        return fail(systemReason(errno));
    int error = 0;
    if (!writeFully(file.fd, header, headerLength) || !writeFully(file.fd, body.constData(), body.size())
        || ::fsync(file.fd) != 0)
        error = errno;
    // close() may report a failure the writes did not (a network file system's).
    if (::close(file.fd) != 0 && !error)
        error = errno;
    file.fd = -1;
    if (!error && ::renameat(folder.fd, temporary.constData(), folder.fd, name.constData()) != 0)
        error = errno;
    if (error) {
        ::unlinkat(folder.fd, temporary.constData(), 0);
        return fail(systemReason(error));
    }
    // The rename itself lasts only once the folder is on disk.
    if (::fsync(folder.fd) != 0)
        return fail(systemReason(errno));
    m_checksum = hash.low64;
    return true;
}

QStringList CIndexFile::removeStaleTemporaries() const
{
    QStringList removed;
    Descriptor folder(::open(QFile::encodeName(m_folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.fd < 0)
        return removed;
    DIR *entries = ::fdopendir(::dup(folder.fd));
    if (!entries)
        return removed;
    const QByteArray prefix = QFile::encodeName(m_fileName) + ".tmp.";
    while (const dirent *entry = ::readdir(entries)) {
        const QByteArray entryName(entry->d_name);
        if (!entryName.startsWith(prefix))
            continue;
        bool isNumber = false;
        const qint64 pid = entryName.mid(prefix.size()).toLongLong(&isNumber);
        // A writer still running (on this machine) is left to finish.
        if (!isNumber || pid <= 0 || (pid != ::getpid() && (::kill(pid_t(pid), 0) == 0 || errno != ESRCH)))
            continue;
        struct stat info;
        if (::fstatat(folder.fd, entryName.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISREG(info.st_mode) && ::unlinkat(folder.fd, entryName.constData(), 0) == 0)
            removed << QDir(m_folder).filePath(QFile::decodeName(entryName));
    }
    ::closedir(entries);
    return removed;
}
