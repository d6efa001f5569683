// The stored catalogue index: written by quillet-server (a real process), reused at restart,
// brought up to date when rows change, refused and rebuilt when damaged; and the FAISS first
// filter keeping the answers of a scan of every signature.
#include "testenv.h"
#include "matching/stampgenerator.h"
#include "server/catalogueindex.h"
#include "server/democatalogue.h"
#include "server/signatureindex.h"
#include "server/stampcatalogue.h"
#include "server/stamprecognizer.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <sys/stat.h>
#include <numeric>

namespace {

constexpr int catalogueSize = 12;

// A photo of stamp n: turned, shrunk, relit, on the album page, JPEG-compressed.
QImage photograph(int n)
{
    const cv::Mat turned = CStampGenerator::rotated(CStampGenerator::scaled(CStampGenerator::stamp(n), 0.8), 6.0);
    return CStampGenerator::toImage(CStampGenerator::jpeg(CStampGenerator::lit(turned, 0.9, 8.0), 60));
}

// Runs quillet-server --build-index; its standard error and its exit status (-1 when it did not
// end by itself within two minutes).
QString runBuildIndex(const QString &catalogue, const QString &index, int *status)
{
    QProcess process;
    QStringList arguments{"--catalogue", catalogue, "--build-index"};
    if (!index.isEmpty())
        arguments << "--index" << index;
    process.start(TestEnv::binDir() + QStringLiteral("/quillet-server"), arguments);
    const bool ended = process.waitForFinished(120000);
    if (!ended)
        process.kill();
    *status = ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromUtf8(process.readAllStandardError());
}

// The same, as a failure note when it did not succeed.
QString buildIndex(const QString &catalogue, const QString &index = QString())
{
    int status = 0;
    const QString log = runBuildIndex(catalogue, index, &status);
    return status == 0 ? log : QStringLiteral("FAILED: ") + log;
}

QString counts(int loaded, int computed, int removed)
{
    return QStringLiteral("index: %1 signatures loaded, %2 computed, %3 removed")
        .arg(loaded).arg(computed).arg(removed);
}

// The catalogue file name of the stamp named first for a photo of demo stamp n, "" for none.
QString answerFor(const CStampCatalogue &catalogue, int n)
{
    const CStampRecognizer recognizer(catalogue);
    const QList<CStampRecognizer::Match> matches = recognizer.recognise(photograph(n));
    return matches.isEmpty() ? QString() : catalogue.entries().at(matches.first().index).fileName;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// A small tmpfs at folder (root only): the index folder of a full or read-only disk.
bool mountTmpfs(const QString &folder, const QString &options)
{
    return QDir().mkpath(folder)
        && QProcess::execute("mount", {"-t", "tmpfs", "-o", options, "tmpfs", folder}) == 0;
}

bool appendRow(const QString &folder, const QString &picture, int number)
{
    QFile tsv(QDir(folder).filePath("catalogue.tsv"));
    if (!tsv.open(QIODevice::Append))
        return false;
    tsv.write(QStringLiteral("%1\tDemoland\t%2\tGenerated stamp\tSeed %2\t0001\n").arg(picture).arg(number).toUtf8());
    return true;
}

} // namespace

class TestCatalogueIndex : public QObject
{
    Q_OBJECT
private slots:
    void storedIndexIsReusedAtRestart();
    void changedAddedAndRemovedRowsAreReflected();
    void damagedIndexIsRefusedAndRebuilt_data();
    void damagedIndexIsRefusedAndRebuilt();
    void faissRefusesWhatItCannotRead_data();
    void faissRefusesWhatItCannotRead();
    void indexFilesAreNeverWrittenThrough_data();
    void indexFilesAreNeverWrittenThrough();
    void writeFailuresAreReported_data();
    void writeFailuresAreReported();
    void picturesAwayLeaveTheIndexAlone();
    void replacedPictureIsComputedAgain();
    void unreadablePictureIsReported();
    void emptyAndSingleStampCatalogues();
    void firstFilterKeepsTheScansShortlist_data();
    void firstFilterKeepsTheScansShortlist();
};

void TestCatalogueIndex::storedIndexIsReusedAtRestart()
{
    QTemporaryDir catalogueDir, indexDir;
    QVERIFY(CDemoCatalogue::write(catalogueDir.path(), catalogueSize));
    const QString first = buildIndex(catalogueDir.path(), indexDir.path());
    QVERIFY2(first.contains(counts(0, catalogueSize, 0)), qPrintable(first));
    QVERIFY2(first.contains("signatures 12/"), qPrintable(first)); // plain progress lines off a terminal
    QVERIFY(QFile::exists(QDir(indexDir.path()).filePath(CCatalogueIndex::signaturesFileName)));
    QVERIFY(QFile::exists(QDir(indexDir.path()).filePath(CCatalogueIndex::faissFileName)));
    QVERIFY(!QFile::exists(QDir(catalogueDir.path()).filePath(CCatalogueIndex::signaturesFileName)));

    const QString second = buildIndex(catalogueDir.path(), indexDir.path());
    QVERIFY2(second.contains(counts(catalogueSize, 0, 0) + "; first filter loaded"), qPrintable(second));
    QVERIFY2(!second.contains("wrote"), qPrintable(second));

    // The reused index answers as a freshly computed catalogue does.
    CStampCatalogue stored, fresh;
    CCatalogueIndex::Report report;
    QVERIFY(CCatalogueIndex::open(stored, catalogueDir.path(), indexDir.path(), {}, &report, nullptr, nullptr));
    QCOMPARE(report.computed, 0);
    QVERIFY(report.indexLoaded);
    QVERIFY(fresh.load(catalogueDir.path()));
    for (int n : {1, 5, 12}) {
        QCOMPARE(answerFor(stored, n), CDemoCatalogue::fileName(n));
        QCOMPARE(answerFor(stored, n), answerFor(fresh, n));
    }
}

void TestCatalogueIndex::changedAddedAndRemovedRowsAreReflected()
{
    QTemporaryDir dir;
    QVERIFY(CDemoCatalogue::write(dir.path(), catalogueSize));
    QVERIFY(!buildIndex(dir.path()).startsWith("FAILED"));

    // Row 3's picture becomes stamp 40; row 7 goes; a row for stamp 13 comes.
    const QString third = QDir(dir.path()).filePath(CDemoCatalogue::fileName(3));
    QVERIFY(cv::imwrite(third.toStdString(), CStampGenerator::stamp(40)));
    QFile tsv(QDir(dir.path()).filePath("catalogue.tsv"));
    QVERIFY(tsv.open(QIODevice::ReadOnly));
    QByteArray rows = tsv.readAll();
    tsv.close();
    const QByteArray seventh = CDemoCatalogue::fileName(7).toUtf8();
    const qsizetype start = rows.indexOf(seventh);
    rows.remove(start, rows.indexOf('\n', start) - start + 1);
    QVERIFY(tsv.open(QIODevice::WriteOnly | QIODevice::Truncate));
    tsv.write(rows);
    tsv.close();
    QVERIFY(cv::imwrite(QDir(dir.path()).filePath(CDemoCatalogue::fileName(13)).toStdString(), CStampGenerator::stamp(13)));
    QVERIFY(appendRow(dir.path(), CDemoCatalogue::fileName(13), 13));

    const QString log = buildIndex(dir.path());
    QVERIFY2(log.contains(counts(catalogueSize - 2, 2, 2)), qPrintable(log));

    CStampCatalogue catalogue;
    CCatalogueIndex::Report report;
    QVERIFY(CCatalogueIndex::open(catalogue, dir.path(), QString(), {}, &report, nullptr, nullptr));
    QCOMPARE(report.computed, 0);
    QVERIFY(report.indexLoaded);
    QCOMPARE(catalogue.size(), catalogueSize);
    QCOMPARE(answerFor(catalogue, 40), CDemoCatalogue::fileName(3));
    QCOMPARE(answerFor(catalogue, 3), QString());
    QCOMPARE(answerFor(catalogue, 7), QString());
    QCOMPARE(answerFor(catalogue, 13), CDemoCatalogue::fileName(13));
}

void TestCatalogueIndex::damagedIndexIsRefusedAndRebuilt_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("reason");
    const QString signatures = CCatalogueIndex::signaturesFileName;
    const QString faiss = CCatalogueIndex::faissFileName;
    QTest::newRow("signatures cut short") << signatures << "truncate" << "is truncated";
    QTest::newRow("signatures cut in the header") << signatures << "header" << "is truncated";
    QTest::newRow("signatures foreign") << signatures << "foreign" << "is not a Quillet index file";
    QTest::newRow("signatures byte flipped") << signatures << "flip" << "is corrupt";
    QTest::newRow("signatures empty") << signatures << "empty" << "is truncated";
    QTest::newRow("faiss cut short") << faiss << "truncate" << "is truncated";
    QTest::newRow("faiss foreign") << faiss << "foreign" << "is not a Quillet index file";
    QTest::newRow("faiss byte flipped") << faiss << "flip" << "is corrupt";
    QTest::newRow("signatures file given as faiss") << faiss << "swap" << "is not a Quillet index file";
    QTest::newRow("signatures of the first format") << signatures << "version 1" << "has format version 1";
    QTest::newRow("faiss of the first format") << faiss << "version 1" << "has format version 1";
    QTest::newRow("signatures of the second format") << signatures << "version 2" << "has format version 2";
    QTest::newRow("signatures extended") << signatures << "extend" << "is longer than its header says";
    QTest::newRow("faiss extended") << faiss << "extend" << "is longer than its header says";
    // One bit flipped in each header field: nothing in the header is trusted before the checksum.
    const struct { const char *field; int offset; const char *reason; } fields[] = {
        {"magic", 2, "is not a Quillet index file"}, {"version", 8, "has format version 1"},
        {"dimension", 12, "is corrupt"}, {"count", 16, "is corrupt"}, {"kind", 20, "is corrupt"},
        {"source checksum", 24, "is corrupt"}, {"body length", 38, "is truncated"},
        {"checksum", 40, "is corrupt"},
    };
    for (const auto &field : fields)
        for (const QString &file : {signatures, faiss})
            QTest::newRow(qPrintable(file + " header's " + field.field))
                << file << QStringLiteral("header bit %1").arg(field.offset) << field.reason;
    // The same high bit flipped in two 64-bit words: invisible to a sum of words.
    QTest::newRow("signatures two bits that cancel") << signatures << "two bits" << "is corrupt";
    QTest::newRow("faiss two bits that cancel") << faiss << "two bits" << "is corrupt";
}

void TestCatalogueIndex::damagedIndexIsRefusedAndRebuilt()
{
    QFETCH(QString, file);
    QFETCH(QString, damage);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    QVERIFY(CDemoCatalogue::write(dir.path(), catalogueSize));
    QVERIFY(!buildIndex(dir.path()).startsWith("FAILED"));

    const QString path = QDir(dir.path()).filePath(file);
    QFile stored(path);
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QByteArray bytes = stored.readAll();
    stored.close();
    if (damage == "truncate")
        bytes.truncate(bytes.size() * 2 / 3);
    else if (damage == "header")
        bytes.truncate(20);
    else if (damage == "empty")
        bytes.clear();
    else if (damage == "foreign")
        bytes = readAll(QDir(dir.path()).filePath(CDemoCatalogue::fileName(1)));
    else if (damage == "flip")
        bytes[bytes.size() - 1000] = char(bytes.at(bytes.size() - 1000) ^ 0x10);
    else if (damage == "swap")
        bytes = readAll(QDir(dir.path()).filePath(CCatalogueIndex::signaturesFileName));
    else if (damage.startsWith("version ")) // an intact file of an earlier layout
        bytes[8] = char(damage.mid(8).toInt());
    else if (damage == "extend")
        bytes.append(QByteArray(100, 'x'));
    else if (damage.startsWith("header bit ")) {
        const int offset = damage.mid(11).toInt();
        bytes[offset] = char(bytes.at(offset) ^ (offset == 8 ? 0x02 : 0x04)); // version 3 becomes 1
    } else if (damage == "two bits") {
        for (qsizetype word : {qsizetype(56), qsizetype(120)})
            bytes[word + 7] = char(bytes.at(word + 7) ^ 0x80);
    }
    QVERIFY(stored.open(QIODevice::WriteOnly | QIODevice::Truncate));
    stored.write(bytes);
    stored.close();

    const QString log = buildIndex(dir.path());
    QVERIFY2(log.contains("refused " + path + ": it " + reason) || log.contains("refused " + path + ": " + reason),
             qPrintable(log));
    const QString again = buildIndex(dir.path());
    QVERIFY2(again.contains(counts(catalogueSize, 0, 0) + "; first filter loaded"), qPrintable(again));

    CStampCatalogue catalogue;
    QVERIFY(CCatalogueIndex::open(catalogue, dir.path(), QString(), {}, nullptr, nullptr, nullptr));
    for (int n : {2, 9})
        QCOMPARE(answerFor(catalogue, n), CDemoCatalogue::fileName(n));
}

void TestCatalogueIndex::indexFilesAreNeverWrittenThrough_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    const QString signatures = CCatalogueIndex::signaturesFileName;
    const QString faiss = CCatalogueIndex::faissFileName;
    QTest::newRow("signatures a link") << signatures << "link" << "is a symbolic link";
    QTest::newRow("faiss a link") << faiss << "link" << "is a symbolic link";
    QTest::newRow("signatures a FIFO") << signatures << "fifo" << "is not a regular file";
    QTest::newRow("faiss a FIFO") << faiss << "fifo" << "is not a regular file";
    QTest::newRow("signatures of a newer version") << signatures << "newer" << "has format version 4, newer than this server's 3: left as it is";
    QTest::newRow("faiss of a newer version") << faiss << "newer" << "has format version 4, newer than this server's 3: left as it is";
    QTest::newRow("signatures read-only") << signatures << "read-only" << "it is read-only; left as it is";
}

// Whatever stands under an index file's name and may not be replaced is left exactly as it is;
// the catalogue is served from memory and --build-index says that it failed.
void TestCatalogueIndex::indexFilesAreNeverWrittenThrough()
{
    QFETCH(QString, file);
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    QTemporaryDir dir, elsewhere;
    QVERIFY(CDemoCatalogue::write(dir.path(), catalogueSize));
    QVERIFY(!buildIndex(dir.path()).startsWith("FAILED"));
    const QString path = QDir(dir.path()).filePath(file);
    const QString target = QDir(elsewhere.path()).filePath("precious");
    if (kind == "link") {
        QVERIFY(writeAll(target, "a file the server's user may write, and must not\n"));
        QVERIFY(QFile::remove(path));
        QVERIFY(QFile::link(target, path));
    } else if (kind == "fifo") {
        QVERIFY(QFile::remove(path));
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
    } else if (kind == "newer") {
        QByteArray bytes = readAll(path);
        bytes[8] = 4;
        QVERIFY(writeAll(path, bytes));
    } else if (kind == "read-only") {
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    }
    // A row changes, so that the file would have to be written.
    QVERIFY(cv::imwrite(QDir(dir.path()).filePath(CDemoCatalogue::fileName(3)).toStdString(), CStampGenerator::stamp(40)));
    const QFileInfo before(path);
    const QByteArray beforeBytes = kind == "fifo" ? QByteArray() : readAll(kind == "link" ? target : path);

    int status = 0;
    const QString log = runBuildIndex(dir.path(), QString(), &status);
    QVERIFY2(log.contains(reason), qPrintable(log));
    QVERIFY2(status == 1, qPrintable(QStringLiteral("status %1: %2").arg(status).arg(log)));
    const QFileInfo after(path);
    QCOMPARE(after.isSymLink(), before.isSymLink());
    if (kind == "fifo")
        QVERIFY(!after.isFile() && after.exists());
    else
        QCOMPARE(readAll(kind == "link" ? target : path), beforeBytes);

    // Served from memory, rightly.
    CStampCatalogue catalogue;
    CCatalogueIndex::Report report;
    QVERIFY(CCatalogueIndex::open(catalogue, dir.path(), QString(), {}, &report, nullptr, nullptr));
    QVERIFY(!report.upToDate);
    QCOMPARE(answerFor(catalogue, 40), CDemoCatalogue::fileName(3));
    QCOMPARE(answerFor(catalogue, 5), CDemoCatalogue::fileName(5));
}

void TestCatalogueIndex::writeFailuresAreReported_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("full disk") << "full" << "No space left on device";
    QTest::newRow("read-only folder") << "read-only" << "Read-only file system";
    QTest::newRow("index folder is a file") << "file" << "Not a directory";
}

// A write that cannot complete leaves the old files as they were, and says why in the system's words.
void TestCatalogueIndex::writeFailuresAreReported()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    QTemporaryDir dir, work;
    QVERIFY(CDemoCatalogue::write(dir.path(), 2 * catalogueSize));
    // The first half of the catalogue first; the second half makes the files larger.
    QFile tsv(QDir(dir.path()).filePath("catalogue.tsv"));
    QVERIFY(tsv.open(QIODevice::ReadOnly));
    const QList<QByteArray> rows = tsv.readAll().split('\n');
    tsv.close();
    QByteArray half;
    for (const QByteArray &row : rows.mid(0, catalogueSize))
        half += row + '\n';
    QVERIFY(writeAll(tsv.fileName(), half));

    QString index = QDir(work.path()).filePath("index");
    if (kind == "file") {
        QVERIFY(writeAll(index, "not a folder"));
    } else {
        // Room for the first half's files, not for a larger signatures file beside them.
        if (!mountTmpfs(index, "size=64k"))
            QSKIP("this machine cannot mount a small tmpfs (not root)");
        QVERIFY(!buildIndex(dir.path(), index).startsWith("FAILED"));
        if (kind == "read-only")
            QCOMPARE(QProcess::execute("mount", {"-o", "remount,ro", index}), 0);
    }
    const QString signatures = QDir(index).filePath(CCatalogueIndex::signaturesFileName);
    const QByteArray before = readAll(signatures);
    QVERIFY(writeAll(tsv.fileName(), rows.join('\n')));

    int status = 0;
    const QString log = runBuildIndex(dir.path(), index, &status);
    const QByteArray after = readAll(signatures);
    const QStringList left = QDir(index).entryList(QDir::Files | QDir::Hidden);
    if (kind != "file")
        QProcess::execute("umount", {index});
    QVERIFY2(log.contains("cannot write " + signatures + ": ") && log.contains(reason), qPrintable(log));
    QVERIFY2(status == 1, qPrintable(QStringLiteral("status %1: %2").arg(status).arg(log)));
    QCOMPARE(after, before);
    if (kind != "file")
        QCOMPARE(left, QStringList({CCatalogueIndex::faissFileName, CCatalogueIndex::signaturesFileName}));
}

// Pictures away for a while (a disk not mounted) must not cost their stored signatures.
void TestCatalogueIndex::picturesAwayLeaveTheIndexAlone()
{
    QTemporaryDir dir, away;
    QVERIFY(CDemoCatalogue::write(dir.path(), catalogueSize));
    QVERIFY(!buildIndex(dir.path()).startsWith("FAILED"));
    const QString signatures = QDir(dir.path()).filePath(CCatalogueIndex::signaturesFileName);
    const QByteArray stored = readAll(signatures);
    for (int n : {2, 4, 6}) // a quarter of the pictures
        QVERIFY(QFile::rename(QDir(dir.path()).filePath(CDemoCatalogue::fileName(n)),
                              QDir(away.path()).filePath(CDemoCatalogue::fileName(n))));
    int status = 0;
    const QString log = runBuildIndex(dir.path(), QString(), &status);
    QVERIFY2(log.contains("3 pictures are missing (the first: " + QDir(dir.path()).filePath(CDemoCatalogue::fileName(2)) + ")"),
             qPrintable(log));
    QCOMPARE(status, 1);
    QCOMPARE(readAll(signatures), stored);
    CStampCatalogue catalogue;
    QVERIFY(CCatalogueIndex::open(catalogue, dir.path(), QString(), {}, nullptr, nullptr, nullptr));
    QCOMPARE(answerFor(catalogue, 5), CDemoCatalogue::fileName(5)); // the others are served meanwhile

    // Back again: nothing is computed.
    for (int n : {2, 4, 6})
        QVERIFY(QFile::rename(QDir(away.path()).filePath(CDemoCatalogue::fileName(n)),
                              QDir(dir.path()).filePath(CDemoCatalogue::fileName(n))));
    const QString back = buildIndex(dir.path());
    QVERIFY2(back.contains(counts(catalogueSize, 0, 0)), qPrintable(back));

    // One picture missing of twelve is a stamp gone: served without it, the index brought up to date.
    QVERIFY(QFile::remove(QDir(dir.path()).filePath(CDemoCatalogue::fileName(7))));
    const QString one = buildIndex(dir.path());
    QVERIFY2(one.contains(counts(catalogueSize - 1, 0, 1)) && !one.contains("missing"), qPrintable(one));
}

// A picture replaced by another of the same size and modification time, and a temporary left by
// a writer that was killed.
void TestCatalogueIndex::replacedPictureIsComputedAgain()
{
    QTemporaryDir dir;
    QVERIFY(CDemoCatalogue::write(dir.path(), catalogueSize));
    QVERIFY(!buildIndex(dir.path()).startsWith("FAILED"));
    const QString third = QDir(dir.path()).filePath(CDemoCatalogue::fileName(3));
    const QString eighth = QDir(dir.path()).filePath(CDemoCatalogue::fileName(8));
    // Stamp 40 in the third's place, cut or padded to the same size, with the same time.
    QByteArray replacement = readAll(third);
    std::vector<uchar> encoded;
    QVERIFY(cv::imencode(".png", CStampGenerator::stamp(40), encoded));
    QByteArray other(reinterpret_cast<const char *>(encoded.data()), qsizetype(encoded.size()));
    QVERIFY(other.size() <= replacement.size()); // PNG readers stop at the end chunk; padding follows
    other.append(QByteArray(replacement.size() - other.size(), '\0'));
    const QDateTime modified = QFileInfo(third).lastModified();
    QVERIFY(writeAll(third, other));
    QFile file(third);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(modified, QFileDevice::FileModificationTime));
    file.close();
    QCOMPARE(QFileInfo(third).size(), qint64(replacement.size()));
    // The eighth written again with its own bytes: the same picture, kept.
    const QByteArray same = readAll(eighth);
    const QDateTime eighthModified = QFileInfo(eighth).lastModified();
    QVERIFY(writeAll(eighth, same));
    QFile again(eighth);
    QVERIFY(again.open(QIODevice::ReadWrite));
    QVERIFY(again.setFileTime(eighthModified, QFileDevice::FileModificationTime));
    again.close();
    // A temporary of a writer killed between writing and renaming, two minutes ago.
    const QString temporary = QDir(dir.path()).filePath(QStringLiteral("catalogue.signatures.tmp-k1ll3d"));
    QVERIFY(writeAll(temporary, "half an index"));
    QFile stale(temporary);
    QVERIFY(stale.open(QIODevice::ReadWrite));
    QVERIFY(stale.setFileTime(QDateTime::currentDateTime().addSecs(-120), QFileDevice::FileModificationTime));
    stale.close();

    const QString log = buildIndex(dir.path());
    QVERIFY2(log.contains(counts(catalogueSize - 1, 1, 1)), qPrintable(log));
    QVERIFY2(log.contains("removed " + temporary), qPrintable(log));
    QVERIFY(!QFile::exists(temporary));
    CStampCatalogue catalogue;
    QVERIFY(CCatalogueIndex::open(catalogue, dir.path(), QString(), {}, nullptr, nullptr, nullptr));
    QCOMPARE(answerFor(catalogue, 40), CDemoCatalogue::fileName(3));
    QCOMPARE(answerFor(catalogue, 8), CDemoCatalogue::fileName(8));
}

// A catalogue picture that no longer reads, though its stored signature does, can never match:
// the recognizer names it, and the server warns of it.
void TestCatalogueIndex::unreadablePictureIsReported()
{
    QTemporaryDir dir;
    QVERIFY(CDemoCatalogue::write(dir.path(), catalogueSize));
    CStampCatalogue catalogue;
    QVERIFY(CCatalogueIndex::open(catalogue, dir.path(), QString(), {}, nullptr, nullptr, nullptr));
    const QString fifth = QDir(dir.path()).filePath(CDemoCatalogue::fileName(5));
    QVERIFY(writeAll(fifth, "no longer a picture"));
    QStringList unreadable;
    const QList<CStampRecognizer::Match> matches = CStampRecognizer(catalogue).recognise(photograph(5), &unreadable);
    QVERIFY(matches.isEmpty());
    QCOMPARE(unreadable, QStringList{fifth});
}

void TestCatalogueIndex::faissRefusesWhatItCannotRead_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("rows");
    QTest::newRow("exact") << int(CSignatureIndex::Kind::Exact) << 5;
    QTest::newRow("graph on whole vectors") << int(CSignatureIndex::Kind::Graph) << 40;
    QTest::newRow("graph on reduced vectors") << int(CSignatureIndex::Kind::Graph) << 300;
}

void TestCatalogueIndex::faissRefusesWhatItCannotRead()
{
    QFETCH(int, kind);
    QFETCH(int, rows);
    const int dimension = int(CStampSignature::valueCount);
    QRandomGenerator random(rows);
    std::vector<float> vectors(size_t(rows) * size_t(dimension));
    for (float &value : vectors)
        value = float(random.generateDouble() - 0.5);
    // Of unit length, as the signatures' embeddings are: each row is then its own nearest.
    for (int row = 0; row < rows; ++row) {
        float *first = vectors.data() + size_t(row) * size_t(dimension);
        const float length = std::sqrt(std::inner_product(first, first + dimension, first, 0.0f));
        std::transform(first, first + dimension, first, [length](float value) { return value / length; });
    }
    CSignatureIndex index;
    index.build(vectors, dimension, CSignatureIndex::Kind(kind));
    const QByteArray bytes = index.toBytes();
    CSignatureIndex read;
    QString problem;
    QVERIFY2(read.fromBytes(bytes, dimension, rows, &problem), qPrintable(problem));
    QCOMPARE(int(read.kind()), kind);
    // Read back, it answers as the index written did.
    for (int row : {0, rows / 2, rows - 1}) {
        const std::vector<float> query(vectors.begin() + row * dimension, vectors.begin() + (row + 1) * dimension);
        QCOMPARE(read.search(query, 4), index.search(query, 4));
        QCOMPARE(read.search(query, 4).front(), row);
    }
    QVERIFY(!read.fromBytes(bytes.left(bytes.size() / 2), dimension, rows, &problem));
    QVERIFY2(problem.contains("FAISS cannot read it"), qPrintable(problem));
    QVERIFY(!read.fromBytes(QByteArray(200, 'z'), dimension, rows, &problem));
    QVERIFY(!read.fromBytes(bytes, dimension, rows + 1, &problem));
    QVERIFY2(problem.contains(QStringLiteral("does not hold %1 vectors").arg(rows + 1)), qPrintable(problem));
}

void TestCatalogueIndex::emptyAndSingleStampCatalogues()
{
    QTemporaryDir empty, single;
    QVERIFY(CDemoCatalogue::write(empty.path(), 1));
    QFile tsv(QDir(empty.path()).filePath("catalogue.tsv"));
    QVERIFY(tsv.open(QIODevice::WriteOnly | QIODevice::Truncate));
    tsv.close();
    QVERIFY(CDemoCatalogue::write(single.path(), 1));
    for (const QString &folder : {empty.path(), single.path()}) {
        const int size = folder == empty.path() ? 0 : 1;
        QVERIFY(buildIndex(folder).contains(counts(0, size, 0)));
        const QString again = buildIndex(folder);
        QVERIFY2(again.contains(counts(size, 0, 0) + "; first filter loaded"), qPrintable(again));
        CStampCatalogue catalogue;
        QVERIFY(CCatalogueIndex::open(catalogue, folder, QString(), {}, nullptr, nullptr, nullptr));
        QCOMPARE(catalogue.size(), size);
        QCOMPARE(answerFor(catalogue, 1), size ? CDemoCatalogue::fileName(1) : QString());
        QCOMPARE(answerFor(catalogue, 2), QString());
    }
}

void TestCatalogueIndex::firstFilterKeepsTheScansShortlist_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("exact") << int(CSignatureIndex::Kind::Exact);
    QTest::newRow("graph") << int(CSignatureIndex::Kind::Graph);
}

void TestCatalogueIndex::firstFilterKeepsTheScansShortlist()
{
    QFETCH(int, kind);
    // More stamps than the index's candidates, so that the index really chooses.
    constexpr int size = 3 * CStampRecognizer::minimumCandidates;
    static QTemporaryDir dir;
    static const bool written = CDemoCatalogue::write(dir.path(), size);
    QVERIFY(written);
    CStampCatalogue catalogue;
    QVERIFY(catalogue.load(dir.path()));
    catalogue.buildSignatureIndex(CSignatureIndex::Kind(kind));
    QCOMPARE(catalogue.signatureIndex()->size(), size);
    CStampRecognizer recognizer(catalogue);
    recognizer.setSimilarityFloor(-1.0); // compare the orders, not only the stamps above the floor
    for (int n : {1, 17, 60, 111, 150, 192}) {
        const QImage photo = photograph(n);
        const QList<int> scan = recognizer.shortlist(photo, 0).mid(0, CStampRecognizer::defaultShortlistSize);
        const QList<int> filtered = recognizer.shortlist(photo, CStampRecognizer::defaultShortlistSize);
        QCOMPARE(filtered, scan);
        QCOMPARE(filtered.first(), n - 1);
    }
}

QTEST_GUILESS_MAIN(TestCatalogueIndex)
#include "tst_catalogueindex.moc"
