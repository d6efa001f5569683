#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// One file of the stored catalogue index, read and written as carefully as a database file: the
// catalogue folder may be shared with other users, the machine may stop at any moment, and the
// disk may fill.
//
// - Opened without following a symbolic link, and only when it is a regular file: a link or a
//   FIFO named like an index file is refused, never read through and never written through.
// - A 48-byte header (magic text, format version, vector dimension, row count, kind, the checksum
//   of the file it was made from, body length) and one 64-bit XXH3 checksum over the whole file,
//   header included; nothing in the header is trusted before the checksum matches, except the
//   magic text and the version, which say how to read the rest.
// - Read by copying it into memory: a file changed under a starting server is then refused by its
//   checksum, rather than changing under the reader.
// - Written to a temporary file in the same folder, flushed to the disk, then renamed into place:
//   a failure leaves the old file as it was and is reported with the system's reason.
// - A file of a newer format version, or one made read-only, is left as it is.
//
// Files are written in the host's byte order; another order reads as a foreign file.
class CIndexFile
{
public:
    struct Header
    {
        char magic[8];
        quint32 version;
        quint32 dimension;
        quint32 count;
        quint32 kind;
        quint64 sourceChecksum;
        quint64 bodyLength;
        quint64 checksum;
    };
    static_assert(sizeof(Header) == 48);

    enum class Status {
        Missing, // no file of that name
        Good,    // read, header and checksum as they should be
        Refused, // damaged, foreign, older, or not a regular file: to be made again
        Newer,   // a later server's: to be left alone
    };

    // A file's bytes, copied into memory of their own: mapped anonymously in huge pages where the
    // system allows, since faulting in a hundred megabytes page by page cost ten times the reading.
    class Contents
    {
    public:
        Contents() = default;
        ~Contents() { clear(); }
        Contents(const Contents &) = delete;
        Contents &operator=(const Contents &) = delete;

        Header header = {};
        const char *data() const { return m_data; }
        qsizetype size() const { return m_size; }
        const char *body() const { return m_data + sizeof(Header); }
        qsizetype bodyLength() const { return m_size - qsizetype(sizeof(Header)); }
        void clear();

    private:
        friend class CIndexFile;
        bool allocate(qsizetype size);
        char *m_data = nullptr;
        qsizetype m_size = 0;
        qsizetype m_capacity = 0;
    };

    // Reads and checks the file at path; problem says why it is refused, missing or newer.
    static Status read(const QString &path, const char (&magic)[8], quint32 version,
                       quint32 dimension, Contents *contents, QString *problem);

    // Writes header and body to path (atomically, see above); the header's bodyLength and checksum
    // are filled in. False with the reason when the file was not written.
    static bool write(const QString &path, Header header, const QByteArray &body, QString *problem);

    // The checksum a file of this header and body carries.
    static quint64 checksum(const Header &header, const char *body, qsizetype length);

    // Removes temporaries of files named base in folder that a stopped writer left behind (older
    // than a minute, so that a writer at work is not disturbed). Returns the paths removed.
    static QStringList removeStaleTemporaries(const QString &folder, const QString &base);

    // The XXH3 hash of a file's contents; false when it cannot be read.
    static bool contentHash(const QString &path, quint64 *hash);

    static constexpr const char *temporaryInfix = ".tmp-";
};
