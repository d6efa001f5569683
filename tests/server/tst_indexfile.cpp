// One stored index file, damaged, replaced and written as a hostile operator or an unlucky machine
// would: every damage refused with its reason, nothing written through a link or a special file,
// a full disk reported with the system's reason and the old file kept.
#include "server/indexfile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray magic("QLTTEST\n");
const QString name = QStringLiteral("catalogue.test");
constexpr quint32 version = 3;
const CIndexFile::Values values{12, 792, 3, 0xfeedfacecafebeefULL, 0, 7};

// A body of 64-bit words, so that the same bit in two words can be flipped.
QByteArray body(int words = 512)
{
    QByteArray bytes;
    for (quint64 n = 0; n < quint64(words); ++n) {
        const quint64 word = n * 0x9e3779b97f4a7c15ULL;
        bytes.append(reinterpret_cast<const char *>(&word), sizeof word);
    }
    return bytes;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

CIndexFile::Status readBack(const QString &folder, QString *problem, quint32 readerVersion = version)
{
    CIndexFile file(folder, name, magic, readerVersion);
    return file.read(problem);
}

} // namespace

class TestIndexFile : public QObject
{
    Q_OBJECT
private slots:
    void writtenFileReadsBack();
    void damageIsRefused_data();
    void damageIsRefused();
    void linksAndSpecialFilesAreNeitherReadNorWritten_data();
    void linksAndSpecialFilesAreNeitherReadNorWritten();
    void versionsOlderAreRefusedNewerLeftAlone();
    void readOnlyFileAndFolderAreLeftAlone();
    void fullDiskKeepsTheOldFile();
    void staleTemporariesAreRemoved();
};

void TestIndexFile::writtenFileReadsBack()
{
    QTemporaryDir dir;
    const QString folder = QDir(dir.path()).filePath("made/on/demand");
    CIndexFile file(folder, name, magic, version);
    QString problem;
    QCOMPARE(file.read(&problem), CIndexFile::Status::Missing);
    QVERIFY2(file.write(values, body(), &problem), qPrintable(problem));
    const quint64 written = file.checksum();
    CIndexFile again(folder, name, magic, version);
    QCOMPARE(again.read(&problem), CIndexFile::Status::Read);
    QCOMPARE(again.values(), values);
    QCOMPARE(again.body(), body());
    QCOMPARE(again.checksum(), written);
    QCOMPARE(QFileInfo(again.path()).size(), CIndexFile::headerLength + body().size());
    QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{name}); // no temporary left
    // An empty body is a file too (a catalogue of no stamps).
    QVERIFY(file.write(values, QByteArray(), &problem));
    QCOMPARE(again.read(&problem), CIndexFile::Status::Read);
    QVERIFY(again.body().isEmpty());
}

void TestIndexFile::damageIsRefused_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<int>("at"); // byte flipped, or the length cut to or extended by
    QTest::addColumn<QString>("reason");
    QTest::newRow("magic") << "flip" << 3 << "is not a Quillet index file of this kind";
    QTest::newRow("version, low bit") << "flip" << 8 << "has format version 2";
    QTest::newRow("version, high bit") << "flip" << 11 << "is corrupt";
    QTest::newRow("header length") << "flip" << 12 << "header length is wrong";
    for (int value = 0; value < CIndexFile::valueCount; ++value)
        QTest::addRow("value %d", value) << "flip" << 16 + 8 * value + value << "checksum does not match";
    QTest::newRow("body length") << "flip" << 64 << "is truncated";
    QTest::newRow("body length, high byte") << "flip" << 70 << "is truncated";
    QTest::newRow("checksum, low half") << "flip" << 72 << "checksum does not match";
    QTest::newRow("checksum, high half") << "flip" << 87 << "checksum does not match";
    QTest::newRow("body") << "flip" << 2000 << "checksum does not match";
    // The same bit in two 64-bit words: cancelled out in the sum used before.
    QTest::newRow("two flips that cancel in a word sum") << "pair" << 1000 << "checksum does not match";
    QTest::newRow("truncated") << "cut" << 3000 << "is truncated";
    QTest::newRow("cut in the header") << "cut" << 40 << "shorter than its header";
    QTest::newRow("empty") << "cut" << 0 << "shorter than its header";
    QTest::newRow("extended") << "extend" << 1 << "has 1 bytes more than its header says";
}

void TestIndexFile::damageIsRefused()
{
    QFETCH(QString, damage);
    QFETCH(int, at);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    CIndexFile file(dir.path(), name, magic, version);
    QString problem;
    QVERIFY(file.write(values, body(), &problem));
    QByteArray bytes = readAll(file.path());
    if (damage == "flip") {
        bytes[at] = char(bytes.at(at) ^ (at == 8 ? 0x01 : 0x10));
    } else if (damage == "pair") {
        bytes[at] = char(bytes.at(at) ^ 0x04);
        bytes[at + 8] = char(bytes.at(at + 8) ^ 0x04);
    } else if (damage == "cut") {
        bytes.truncate(at);
    } else {
        bytes.append(QByteArray(at, '\0'));
    }
    QVERIFY(writeAll(file.path(), bytes));
    QCOMPARE(file.read(&problem), CIndexFile::Status::Refused);
    QVERIFY2(problem.contains(reason), qPrintable(problem));
    QVERIFY(file.body().isEmpty());
    QCOMPARE(file.values(), CIndexFile::Values{});
}

void TestIndexFile::linksAndSpecialFilesAreNeitherReadNorWritten_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("link to a good index file") << "link" << "is a symbolic link";
    QTest::newRow("dangling link") << "dangling" << "is a symbolic link";
    QTest::newRow("FIFO") << "fifo" << "is a FIFO";
    QTest::newRow("folder") << "folder" << "is a folder";
}

void TestIndexFile::linksAndSpecialFilesAreNeitherReadNorWritten()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    QTemporaryDir dir, elsewhere;
    const QString target = QDir(elsewhere.path()).filePath(name);
    CIndexFile good(elsewhere.path(), name, magic, version);
    QString problem;
    QVERIFY(good.write(values, body(), &problem));
    const QByteArray targetBytes = readAll(target);

    CIndexFile file(dir.path(), name, magic, version);
    if (kind == "link")
        QVERIFY(QFile::link(target, file.path()));
    else if (kind == "dangling")
        QVERIFY(QFile::link(QDir(elsewhere.path()).filePath("absent"), file.path()));
    else if (kind == "fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(file.path()).constData(), 0644), 0);
    else
        QVERIFY(QDir(dir.path()).mkdir(name));

    // A FIFO would hold an open for reading forever: the read must return.
    QCOMPARE(file.read(&problem), CIndexFile::Status::Refused);
    QVERIFY2(problem.contains(reason), qPrintable(problem));
    QVERIFY(!file.write(values, QByteArray("overwritten"), &problem));
    QVERIFY2(problem.contains(reason.mid(3)) && problem.contains("left as it is"), qPrintable(problem));
    QCOMPARE(readAll(target), targetBytes);
    QVERIFY(!QFile::exists(QDir(elsewhere.path()).filePath("absent")));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot), QStringList{name});
}

void TestIndexFile::versionsOlderAreRefusedNewerLeftAlone()
{
    QTemporaryDir dir;
    QString problem;
    CIndexFile newer(dir.path(), name, magic, version + 1);
    QVERIFY(newer.write(values, body(), &problem));
    QCOMPARE(readBack(dir.path(), &problem), CIndexFile::Status::Newer);
    QCOMPARE(problem, QStringLiteral("has format version 4, this server reads 3"));
    QCOMPARE(readBack(dir.path(), &problem, version + 1), CIndexFile::Status::Read);
    // An older file is out of date, to be rebuilt.
    CIndexFile older(dir.path(), name, magic, version - 1);
    QVERIFY(older.write(values, body(), &problem));
    QCOMPARE(readBack(dir.path(), &problem), CIndexFile::Status::Refused);
    QCOMPARE(problem, QStringLiteral("has format version 2, this server reads 3"));
    QVERIFY(newer.write(values, body(), &problem));
    // A newer file's damage is damage, not a newer file.
    QByteArray bytes = readAll(newer.path());
    bytes[500] = char(bytes.at(500) ^ 1);
    QVERIFY(writeAll(newer.path(), bytes));
    QCOMPARE(readBack(dir.path(), &problem), CIndexFile::Status::Refused);
}

void TestIndexFile::readOnlyFileAndFolderAreLeftAlone()
{
    QTemporaryDir dir;
    CIndexFile file(dir.path(), name, magic, version);
    QString problem;
    QVERIFY(file.write(values, body(), &problem));
    const QByteArray before = readAll(file.path());
    QVERIFY(QFile::setPermissions(file.path(), QFile::ReadOwner | QFile::ReadGroup));
    QVERIFY(!file.write(values, QByteArray("new"), &problem));
    QCOMPARE(problem, QStringLiteral("it is read-only; left as it is"));
    QCOMPARE(readAll(file.path()), before);
    QCOMPARE(QFileInfo(file.path()).permissions() & QFile::WriteOwner, QFile::Permissions());

    // A folder that cannot be written (root writes anywhere, so an --index that is a file).
    QFile plain(QDir(dir.path()).filePath("plain"));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    CIndexFile inFile(plain.fileName(), name, magic, version);
    QVERIFY(!inFile.write(values, body(), &problem));
    QCOMPARE(problem, QStringLiteral("cannot make its folder: Not a directory"));
    QCOMPARE(inFile.read(&problem), CIndexFile::Status::Refused);
    QVERIFY2(problem.contains("Not a directory"), qPrintable(problem));
}

void TestIndexFile::fullDiskKeepsTheOldFile()
{
    QTemporaryDir dir;
    const QByteArray mountPoint = QFile::encodeName(dir.path());
    if (::mount("tmpfs", mountPoint.constData(), "tmpfs", 0, "size=64k") != 0)
        QSKIP(qPrintable(QStringLiteral("cannot mount a small tmpfs here (%1); the full disk is "
                                        "shown by tst_catalogueindex's file-size limit")
                             .arg(QString::fromLocal8Bit(std::strerror(errno)))));
    CIndexFile file(dir.path(), name, magic, version);
    QString problem;
    const bool small = file.write(values, body(512), &problem);
    const QByteArray before = readAll(file.path());
    const bool large = file.write(values, body(40000), &problem); // 320 KB into 64 KB
    const QStringList left = QDir(dir.path()).entryList(QDir::Files);
    const QByteArray after = readAll(file.path());
    ::umount(mountPoint.constData());
    QVERIFY(small);
    QVERIFY(!large);
    QCOMPARE(problem, QString::fromLocal8Bit(std::strerror(ENOSPC)));
    QCOMPARE(after, before);
    QCOMPARE(left, QStringList{name});
}

void TestIndexFile::staleTemporariesAreRemoved()
{
    QTemporaryDir dir;
    // A writer that has ended: its pid is free (reused only once the pid space wraps).
    QProcess ended;
    ended.start("sh", {"-c", "echo $$"});
    QVERIFY(ended.waitForFinished());
    const qint64 deadPid = ended.readAll().trimmed().toLongLong();
    QVERIFY(deadPid > 0);
    const QDir folder(dir.path());
    const QString stale = name + ".tmp." + QString::number(deadPid);
    const QString running = name + ".tmp." + QString::number(::getppid()); // a writer still at work
    const QString other = QStringLiteral("catalogue.other.tmp.") + QString::number(deadPid);
    for (const QString &temporary : {stale, running, other})
        QVERIFY(writeAll(folder.filePath(temporary), "half a file"));
    CIndexFile file(dir.path(), name, magic, version);
    QCOMPARE(file.removeStaleTemporaries(), QStringList{folder.filePath(stale)});
    QVERIFY(!QFile::exists(folder.filePath(stale)));
    QVERIFY(QFile::exists(folder.filePath(running)));
    QVERIFY(QFile::exists(folder.filePath(other)));
}

QTEST_GUILESS_MAIN(TestIndexFile)
#include "tst_indexfile.moc"
