#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>

// One file of the stored catalogue index, read and written as carefully as a database file: the
// folder's files may be left by a kill, damaged by a disk, rewritten by another process while
// they are read, or replaced by another user with links and special files.
//
// A file is an 88-byte header and a body. The header, every field little-endian:
//     0  magic, 8 bytes (names the kind of file)
//     8  format version, 32 bits
//    12  header length, 32 bits (88)
//    16  six 64-bit values of the file's own (counts, dimensions, another file's checksum)
//    64  body length, 64 bits (the file is exactly header plus body)
//    72  XXH3-128 checksum of the header's first 72 bytes and the body: low 64 bits, high 64 bits
// The body's layout is the caller's. Reading checks, in order: the file is a regular file reached
// without following a link, the magic, the version (a newer one is left alone, see Status::Newer),
// the header length, the body length against the file's size, and the checksum; only then are the
// values and body given out, so no count is trusted before the checksum holds. The body is copied
// out of the file (not mapped), so a file rewritten in place while it is read is refused, not a
// crash.
//
// Writing goes to "NAME.tmp.PID" in the same folder, created exclusively without following links,
// flushed and fsync'd, then renamed over NAME and the folder fsync'd: a kill leaves the old file or
// the new one, never half of one. A NAME that is a link or not a regular file, or that is
// read-only, is left as it is and the write refused; every failure carries the system's reason.
class CIndexFile
{
public:
    static constexpr int valueCount = 6;
    static constexpr qsizetype headerLength = 88;
    using Values = std::array<quint64, valueCount>;

    enum class Status {
        Read,    // checked and read: values() and body() hold it
        Missing, // no such file
        Refused, // damaged, foreign, of an older version, or not a regular file: rebuild it
        Newer,   // of a newer format version: leave it alone (a newer server's)
    };

    // magic: exactly 8 bytes.
    CIndexFile(const QString &folder, const QString &fileName, const QByteArray &magic,
               quint32 version);

    QString path() const;

    // problem, when not Read: why, as "is truncated (...)", to follow the path.
    Status read(QString *problem);
    const Values &values() const { return m_values; }
    const QByteArray &body() const { return m_body; }
    // The whole file's checksum (low 64 bits), to tie another file to this one's contents.
    quint64 checksum() const { return m_checksum; }
    // Lets go of the body read.
    void clear();

    // Writes the file (the folder made when missing); false with the reason ("No space left on
    // device", "is a symbolic link; left as it is") otherwise. On success checksum() is the new
    // file's.
    bool write(const Values &values, const QByteArray &body, QString *problem);

    // Removes the temporary files of this file that no running process is writing: those of a
    // writer killed between write and rename. The paths removed.
    QStringList removeStaleTemporaries() const;

private:
    QString m_folder;
    QString m_fileName;
    QByteArray m_magic;
    quint32 m_version;
    Values m_values{};
    QByteArray m_body;
    quint64 m_checksum = 0;
};
