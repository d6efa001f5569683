// The stored catalogue index: written by quillet-server (a real process), reused at restart,
// brought up to date when rows change, refused and rebuilt when damaged; and the FAISS first
// filter keeping the answers of a scan of every signature.
#include "testenv.h"
#include "matching/stampgenerator.h"
#include "matching/stampmatcher.h"
#include "server/catalogueindex.h"
#include "server/indexfile.h"
#include "server/democatalogue.h"
#include "server/signatureindex.h"
#include "server/stampcatalogue.h"
#include "server/stamprecognizer.h"
#include "server/visualwordindex.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <numeric>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

constexpr int catalogueSize = 12;

// A photo of a stamp: turned, shrunk, relit, on the album page, JPEG-compressed.
QImage photograph(const cv::Mat &stamp)
{
    const cv::Mat turned = CStampGenerator::rotated(CStampGenerator::scaled(stamp, 0.8), 6.0);
    return CStampGenerator::toImage(CStampGenerator::jpeg(CStampGenerator::lit(turned, 0.9, 8.0), 60));
}

// A photo of stamp n.
QImage photograph(int n)
{
    return photograph(CStampGenerator::stamp(n));
}

struct Run
{
    int status = -1; // the exit status; -1 for a crash or a hang
    QString log;     // standard error
};

// Runs quillet-server --build-index, with writes beyond fileSizeLimit bytes failing when set.
Run runBuildIndex(const QString &catalogue, const QString &index = QString(), rlim_t fileSizeLimit = 0)
{
    QProcess process;
    QStringList arguments{"--catalogue", catalogue, "--build-index"};
    if (!index.isEmpty())
        arguments << "--index" << index;
    if (fileSizeLimit)
        process.setChildProcessModifier([fileSizeLimit] {
            const struct rlimit limit{fileSizeLimit, fileSizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        });
    process.start(TestEnv::binDir() + QStringLiteral("/quillet-server"), arguments);
    Run run;
    if (!process.waitForFinished(120000))
        process.kill();
    else if (process.exitStatus() == QProcess::NormalExit)
        run.status = process.exitCode();
    run.log = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// Its standard error, or a failure note.
QString buildIndex(const QString &catalogue, const QString &index = QString())
{
    const Run run = runBuildIndex(catalogue, index);
    return run.status == 0 ? run.log : QStringLiteral("FAILED: ") + run.log;
}

// A small file system mounted on folder for the test's time (root only), or the reason there is none.
struct SmallFileSystem
{
    SmallFileSystem(const QString &folder, const char *options)
        : path(QFile::encodeName(folder))
    {
        mounted = ::mount("tmpfs", path.constData(), "tmpfs", 0, options) == 0;
        if (!mounted)
            reason = QString::fromLocal8Bit(std::strerror(errno));
    }
    ~SmallFileSystem()
    {
        if (mounted)
            ::umount(path.constData());
    }
    QByteArray path;
    bool mounted = false;
    QString reason;
};

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

// The words file rewritten with its checksum made good: the last posting beyond the rows, or
// (outOfOrder) the second row of a word given again as its first.
QByteArray withDamagedPostings(const QString &folder, const QString &fileName, bool outOfOrder)
{
    CIndexFile file(folder, fileName, "QLTWORD\n", CCatalogueIndex::formatVersion);
    QString problem;
    if (file.read(&problem) != CIndexFile::Status::Read)
        return {};
    QByteArray body = file.body();
    const quint64 words = file.values()[2], postings = file.values()[4];
    const qsizetype postingsAt = body.size() - qsizetype(postings * 4), offsetsAt = postingsAt - qsizetype((words + 1) * 8);
    if (!outOfOrder) {
        qToUnaligned<quint32>(0xFFFFFFFFu, body.data() + body.size() - 4);
    } else {
        for (quint64 w = 0; w < words; ++w) {
            const quint64 first = qFromUnaligned<quint64>(body.constData() + offsetsAt + qsizetype(w * 8));
            const quint64 end = qFromUnaligned<quint64>(body.constData() + offsetsAt + qsizetype(w * 8 + 8));
            if (end - first < 2)
                continue;
            const qsizetype at = postingsAt + qsizetype(first * 4);
            qToUnaligned(qFromUnaligned<quint32>(body.constData() + at), body.data() + at + 4);
            break;
        }
    }
    if (!file.write(file.values(), body, &problem))
        return {};
    return readAll(QDir(folder).filePath(fileName));
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
    void unreadablePictureIsReported();
    void emptyAndSingleStampCatalogues();
    void hostileIndexFilesAreLeftAlone_data();
    void hostileIndexFilesAreLeftAlone();
    void missingPicturesKeepTheStoredIndex_data();
    void missingPicturesKeepTheStoredIndex();
    void writeFailuresFailTheBuild_data();
    void writeFailuresFailTheBuild();
    void replacedPictureIsFoundByItsBytes();
    void firstFilterKeepsTheScansShortlist_data();
    void firstFilterKeepsTheScansShortlist();
    void pictureWithoutKeypointsIsFoundByItsSignature();
    void blockHoldingTheStampIsNotNamedForIt_data();
    void blockHoldingTheStampIsNotNamedForIt();
    void lookAlikeSharingTheFrameGoesAfterTheStamp();
    void sisterShowingTheSameArtworkIsNotNamed();
    void looselyFramedPhotoIsFramedToTheStamp();
    void killedBuildLeavesAServerThatAnswers_data();
    void killedBuildLeavesAServerThatAnswers();
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
    // The same bit in two 64-bit words: once accepted, the graph's offsets then crashed a search.
    QTest::newRow("faiss two flips that cancel in a word sum") << faiss << "pair" << "is corrupt";
    QTest::newRow("signatures row count flipped") << signatures << "count" << "is corrupt";
    QTest::newRow("faiss extended") << faiss << "extend" << "has 100 bytes more";
    QTest::newRow("signatures of the first format") << signatures << "version 1" << "has format version 1";
    QTest::newRow("faiss of the first format") << faiss << "version 1" << "has format version 1";
    const QString words = CCatalogueIndex::wordsFileName;
    QTest::newRow("words cut short") << words << "truncate" << "is truncated";
    QTest::newRow("words byte flipped") << words << "flip" << "is corrupt";
    QTest::newRow("words foreign") << words << "foreign" << "is not a Quillet index file";
    QTest::newRow("faiss file given as words") << words << "faiss" << "is not a Quillet index file";
    // Damage with a good checksum (a writer's fault, not the disk's): the postings are checked
    // before a search reads through them.
    QTest::newRow("words posting beyond the rows") << words << "posting beyond" << "holds postings that do not fit";
    QTest::newRow("words postings out of order") << words << "posting order" << "holds postings that do not fit";
    // The files of the format before the visual words.
    for (const QString &file : {signatures, faiss, words})
        QTest::addRow("%s of the previous format", qPrintable(file)) << file << "version 3" << "has format version 3";
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
    else if (damage == "pair")
        for (qsizetype at : {bytes.size() - 1000, bytes.size() - 992})
            bytes[at] = char(bytes.at(at) ^ 0x04);
    else if (damage == "count") // the row count's highest byte: 2^56 rows announced
        bytes[16 + 8 + 7] = char(bytes.at(16 + 8 + 7) ^ 0x01);
    else if (damage == "extend")
        bytes.append(QByteArray(100, '\0'));
    else if (damage == "swap")
        bytes = readAll(QDir(dir.path()).filePath(CCatalogueIndex::signaturesFileName));
    else if (damage == "faiss")
        bytes = readAll(QDir(dir.path()).filePath(CCatalogueIndex::faissFileName));
    else if (damage.startsWith("version ")) // an intact file of an earlier layout
        bytes[8] = char(damage.mid(8).toInt());
    else if (damage.startsWith("posting "))
        bytes = withDamagedPostings(dir.path(), file, damage == "posting order");
    QVERIFY(stored.open(QIODevice::WriteOnly | QIODevice::Truncate));
    stored.write(bytes);
    stored.close();

    const QString log = buildIndex(dir.path());
    QVERIFY2(log.contains("refused " + path + ": it " + reason) || log.contains("refused " + path + ": " + reason),
             qPrintable(log));
    const QString again = buildIndex(dir.path());
    QVERIFY2(again.contains(counts(catalogueSize, 0, 0) + "; first filter loaded"), qPrintable(again));
    QVERIFY2(again.contains(QStringLiteral("words of %1 pictures loaded, 0 computed").arg(catalogueSize)), qPrintable(again));

    CStampCatalogue catalogue;
    QVERIFY(CCatalogueIndex::open(catalogue, dir.path(), QString(), {}, nullptr, nullptr, nullptr));
    for (int n : {2, 9})
        QCOMPARE(answerFor(catalogue, n), CDemoCatalogue::fileName(n));
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

// A catalogue picture that stops reading after the start, though its stored signature does, can
// never match: the recognizer names it, so that the server can warn of it.
void TestCatalogueIndex::unreadablePictureIsReported()
{
    QTemporaryDir dir;
    QVERIFY(CDemoCatalogue::write(dir.path(), catalogueSize));
    CStampCatalogue catalogue;
    QVERIFY(CCatalogueIndex::open(catalogue, dir.path(), QString(), {}, nullptr, nullptr, nullptr));
    const QString fifth = QDir(dir.path()).filePath(CDemoCatalogue::fileName(5));
    QFile picture(fifth);
    QVERIFY(picture.open(QIODevice::WriteOnly | QIODevice::Truncate));
    picture.write("no longer a picture");
    picture.close();
    QStringList unreadable;
    QVERIFY(CStampRecognizer(catalogue).recognise(photograph(5), &unreadable).isEmpty());
    QCOMPARE(unreadable, QStringList{fifth});
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

void TestCatalogueIndex::hostileIndexFilesAreLeftAlone_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    const QString newer = QStringLiteral("has format version %1, this server reads %2; serving from memory")
                              .arg(CCatalogueIndex::formatVersion + 1).arg(CCatalogueIndex::formatVersion);
    for (const QString file : {CCatalogueIndex::signaturesFileName, CCatalogueIndex::faissFileName,
                               CCatalogueIndex::wordsFileName}) {
        QTest::addRow("link as %s", qPrintable(file)) << file << "link" << "is a symbolic link";
        QTest::addRow("FIFO as %s", qPrintable(file)) << file << "fifo" << "is a FIFO";
        QTest::addRow("newer %s", qPrintable(file)) << file << "newer" << newer;
    }
}

// Nothing is written through a link or into a special file, a newer server's file stays as it is;
// the stamps are served from memory and --build-index says it could not do its work.
void TestCatalogueIndex::hostileIndexFilesAreLeftAlone()
{
    QFETCH(QString, file);
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    QTemporaryDir dir, elsewhere;
    QVERIFY(CDemoCatalogue::write(dir.path(), catalogueSize));
    QVERIFY(!buildIndex(dir.path()).startsWith("FAILED"));
    const QString path = QDir(dir.path()).filePath(file);
    const QString target = QDir(elsewhere.path()).filePath("precious");
    QVERIFY(QFile::copy(QDir(dir.path()).filePath(CDemoCatalogue::fileName(1)), target));
    const QByteArray targetBytes = readAll(target);
    QVERIFY(kind == "newer" || QFile::remove(path));
    if (kind == "link") {
        QVERIFY(QFile::link(target, path));
    } else if (kind == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
    } else {
        // What a later server would write: the same header and checksum, a higher version.
        const QByteArray magic = readAll(path).left(8);
        CIndexFile current(dir.path(), file, magic, CCatalogueIndex::formatVersion);
        CIndexFile later(dir.path(), file, magic, CCatalogueIndex::formatVersion + 1);
        QString problem;
        QCOMPARE(current.read(&problem), CIndexFile::Status::Read);
        QVERIFY(later.write(current.values(), current.body(), &problem));
    }
    const QByteArray before = kind == "newer" ? readAll(path) : QByteArray();

    const Run run = runBuildIndex(dir.path());
    QCOMPARE(run.status, 1);
    QVERIFY2(run.log.contains(path + QStringLiteral(": it ") + reason) || run.log.contains(path + QStringLiteral(" as it is: it ") + reason), qPrintable(run.log));
    QVERIFY2(run.log.contains(QStringLiteral("%1 stamps indexed").arg(catalogueSize)), qPrintable(run.log));
    QCOMPARE(readAll(target), targetBytes);
    if (kind == "newer")
        QCOMPARE(readAll(path), before);
    else
        QCOMPARE(QFileInfo(path).isSymLink(), kind == "link");
}

void TestCatalogueIndex::missingPicturesKeepTheStoredIndex_data()
{
    QTest::addColumn<int>("gone");     // pictures moved away
    QTest::addColumn<bool>("folder");  // their whole folder, not the pictures one by one
    QTest::addColumn<bool>("keep");    // the stored index kept as it is
    QTest::newRow("the pictures' folder") << catalogueSize << true << true;
    QTest::newRow("two of twelve") << 2 << false << true;
    QTest::newRow("one of twelve: a removed row") << 1 << false << false;
}

void TestCatalogueIndex::missingPicturesKeepTheStoredIndex()
{
    QFETCH(int, gone);
    QFETCH(bool, folder);
    QFETCH(bool, keep);
    // Pictures in a folder of their own, as a catalogue on another disk would have them.
    QTemporaryDir dir;
    QDir root(dir.path());
    QVERIFY(CDemoCatalogue::write(root.filePath("pictures"), catalogueSize));
    QByteArray rows = readAll(root.filePath("pictures/catalogue.tsv"));
    rows.replace("stamp", "pictures/stamp");
    QFile tsv(root.filePath("catalogue.tsv"));
    QVERIFY(tsv.open(QIODevice::WriteOnly));
    tsv.write(rows);
    tsv.close();
    QVERIFY(!buildIndex(dir.path()).startsWith("FAILED"));
    const QString signatures = root.filePath(CCatalogueIndex::signaturesFileName);
    const QString faiss = root.filePath(CCatalogueIndex::faissFileName);
    const QByteArray storedSignatures = readAll(signatures), storedFaiss = readAll(faiss);

    QVERIFY(root.mkdir("away"));
    if (folder)
        QVERIFY(root.rename("pictures", "away/pictures"));
    for (int n = 1; !folder && n <= gone; ++n)
        QVERIFY(root.rename("pictures/" + CDemoCatalogue::fileName(n), "away/" + CDemoCatalogue::fileName(n)));
    const Run run = runBuildIndex(dir.path());
    QCOMPARE(run.status, keep ? 1 : 0);
    const QString warning = QStringLiteral("%1 of %2 pictures with a stored signature are missing (the first: %3)")
                                .arg(gone).arg(catalogueSize).arg(root.filePath("pictures/" + CDemoCatalogue::fileName(1)));
    QCOMPARE(run.log.contains(warning), keep);
    QVERIFY2(run.log.contains(QStringLiteral("%1 stamps indexed").arg(catalogueSize - gone)), qPrintable(run.log));
    QCOMPARE(readAll(signatures) == storedSignatures, keep);
    QCOMPARE(readAll(faiss) == storedFaiss, keep);

    // Back again: every stored signature is still there when the index was kept.
    if (folder)
        QVERIFY(root.rename("away/pictures", "pictures"));
    for (int n = 1; !folder && n <= gone; ++n)
        QVERIFY(root.rename("away/" + CDemoCatalogue::fileName(n), "pictures/" + CDemoCatalogue::fileName(n)));
    const QString back = buildIndex(dir.path());
    QVERIFY2(back.contains(keep ? counts(catalogueSize, 0, 0) + "; first filter loaded"
                                : counts(catalogueSize - 1, 1, 0)),
             qPrintable(back));
}

void TestCatalogueIndex::writeFailuresFailTheBuild_data()
{
    QTest::addColumn<QString>("failure");
    QTest::newRow("read-only folder") << "read-only";
    QTest::newRow("full disk") << "full";
    QTest::newRow("file-size limit") << "limit";
}

// --build-index that could not write fails with the system's reason; no half file is left.
void TestCatalogueIndex::writeFailuresFailTheBuild()
{
    QFETCH(QString, failure);
    QTemporaryDir dir, index;
    QVERIFY(CDemoCatalogue::write(dir.path(), catalogueSize));
    std::unique_ptr<SmallFileSystem> mounted;
    QStringList reasons;
    rlim_t limit = 0;
    const QString faiss = QDir(index.path()).filePath(CCatalogueIndex::faissFileName);
    if (failure == "read-only") {
        if (::geteuid() == 0) { // root writes into any folder; a read-only file system stops it
            mounted = std::make_unique<SmallFileSystem>(index.path(), "ro,size=1m");
            reasons << QString::fromLocal8Bit(std::strerror(EROFS));
        } else {
            QVERIFY(QFile::setPermissions(index.path(), QFile::ReadOwner | QFile::ExeOwner));
            reasons << QString::fromLocal8Bit(std::strerror(EACCES));
        }
    } else if (failure == "full") {
        // Room for the signatures (11 KB), not for the exact index (38 KB).
        mounted = std::make_unique<SmallFileSystem>(index.path(), "size=16k");
        reasons << QStringLiteral("cannot write %1: %2").arg(faiss, QString::fromLocal8Bit(std::strerror(ENOSPC)));
    } else {
        limit = 20000;
        reasons << QStringLiteral("cannot write %1: %2").arg(faiss, QString::fromLocal8Bit(std::strerror(EFBIG)));
    }
    if (mounted && !mounted->mounted)
        QSKIP(qPrintable("cannot mount a small file system here: " + mounted->reason));
    const Run run = runBuildIndex(dir.path(), index.path(), limit);
    const QStringList left = QDir(index.path()).entryList(QDir::Files);
    QFile::setPermissions(index.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    mounted.reset();
    QCOMPARE(run.status, 1);
    QVERIFY2(run.log.contains("cannot write ") && run.log.contains(reasons.first()), qPrintable(run.log));
    QVERIFY2(run.log.contains("the stored index is not up to date"), qPrintable(run.log));
    QVERIFY2(run.log.contains(QStringLiteral("%1 stamps indexed").arg(catalogueSize)), qPrintable(run.log));
    for (const QString &name : left)
        QVERIFY2(!name.contains(".tmp."), qPrintable(name));
}

// A picture replaced by another of the same size and modification time is computed again; a
// catalogue copied elsewhere (every inode and status change time new) is read, not decoded again.
void TestCatalogueIndex::replacedPictureIsFoundByItsBytes()
{
    QTemporaryDir dir, index;
    QVERIFY(CDemoCatalogue::write(dir.path(), catalogueSize));
    QVERIFY(!buildIndex(dir.path(), index.path()).startsWith("FAILED"));

    const QString third = QDir(dir.path()).filePath(CDemoCatalogue::fileName(3));
    const QFileInfo before(third);
    std::vector<uchar> jpeg;
    for (int quality = 95; quality > 10 && (jpeg.empty() || qint64(jpeg.size()) > before.size()); quality -= 10)
        cv::imencode(".jpg", CStampGenerator::stamp(40), jpeg, {cv::IMWRITE_JPEG_QUALITY, quality});
    QVERIFY(qint64(jpeg.size()) <= before.size());
    QByteArray replacement(reinterpret_cast<const char *>(jpeg.data()), qsizetype(jpeg.size()));
    replacement.append(QByteArray(before.size() - replacement.size(), '\0')); // after the picture's end
    const QString other = third + ".new";
    QFile file(other);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(replacement);
    file.close();
    QVERIFY(QFile::remove(third) && QFile::rename(other, third));
    file.setFileName(third);
    QVERIFY(file.open(QIODevice::ReadWrite) && file.setFileTime(before.lastModified(), QFileDevice::FileModificationTime));
    file.close();
    QCOMPARE(QFileInfo(third).size(), before.size());
    QCOMPARE(QFileInfo(third).lastModified(), before.lastModified());

    const QString log = buildIndex(dir.path(), index.path());
    QVERIFY2(log.contains(counts(catalogueSize - 1, 1, 1)), qPrintable(log));
    CStampCatalogue catalogue;
    QVERIFY(CCatalogueIndex::open(catalogue, dir.path(), index.path(), {}, nullptr, nullptr, nullptr));
    QCOMPARE(answerFor(catalogue, 40), CDemoCatalogue::fileName(3));

    QTemporaryDir copy;
    QProcess cp;
    cp.start("cp", {"-a", dir.path() + "/.", copy.path()});
    QVERIFY(cp.waitForFinished() && cp.exitCode() == 0);
    const QString copied = buildIndex(copy.path(), index.path());
    QVERIFY2(copied.contains(counts(catalogueSize, 0, 0) + "; first filter loaded"), qPrintable(copied));
    QVERIFY2(copied.contains("wrote 12 signatures"), qPrintable(copied)); // the new inodes recorded
    QVERIFY2(buildIndex(copy.path(), index.path()).contains(counts(catalogueSize, 0, 0)), "");
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

// A card of soft colour fields holds too few keypoints for visual words: its signature alone
// finds it.
void TestCatalogueIndex::pictureWithoutKeypointsIsFoundByItsSignature()
{
    QTemporaryDir dir;
    QVERIFY(CDemoCatalogue::write(dir.path(), catalogueSize));
    cv::Mat plain(240, 200, CV_8UC3, cv::Scalar(60, 140, 200));
    plain(cv::Rect(0, 120, 200, 120)).setTo(cv::Scalar(150, 60, 40));
    cv::GaussianBlur(plain, plain, cv::Size(0, 0), 12.0);
    QVERIFY(cv::imwrite(QDir(dir.path()).filePath("plain.png").toStdString(), plain));
    QVERIFY(appendRow(dir.path(), "plain.png", 99));
    const QString log = buildIndex(dir.path());
    QVERIFY2(log.contains("; 1 pictures with too few keypoints, found by their signature alone"), qPrintable(log));
    QVERIFY2(buildIndex(dir.path()).contains("; 1 pictures with too few keypoints"), qPrintable(log));

    CStampCatalogue catalogue;
    QVERIFY(CCatalogueIndex::open(catalogue, dir.path(), QString(), {}, nullptr, nullptr, nullptr));
    QCOMPARE(catalogue.size(), catalogueSize + 1);
    QVERIFY(catalogue.wordIndex());
    QCOMPARE(catalogue.wordIndex()->unindexedCount(), 1);
    const QImage photo = CStampGenerator::toImage(CStampGenerator::jpeg(CStampGenerator::scaled(plain, 0.8), 70));
    const QList<int> shortlist = CStampRecognizer(catalogue).shortlist(photo, CStampRecognizer::defaultShortlistSize);
    QVERIFY(!shortlist.isEmpty());
    QCOMPARE(catalogue.entries().at(shortlist.first()).fileName, QStringLiteral("plain.png"));
    // The stamps with words are answered as before.
    QCOMPARE(answerFor(catalogue, 4), CDemoCatalogue::fileName(4));
}

void TestCatalogueIndex::blockHoldingTheStampIsNotNamedForIt_data()
{
    QTest::addColumn<bool>("stampInCatalogue");
    QTest::newRow("the block alone") << false;
    QTest::newRow("the block and the stamp") << true;
}

// A block of four stamps (as a sheetlet or a booklet pane) holds the photographed stamp: the
// comparison places the photo inside it, and the words offer it. It is another catalogue item
// all the same, never the answer for a photo of one of its stamps.
void TestCatalogueIndex::blockHoldingTheStampIsNotNamedForIt()
{
    QFETCH(bool, stampInCatalogue);
    constexpr int stamp = catalogueSize + 1;
    QTemporaryDir dir;
    QVERIFY(CDemoCatalogue::write(dir.path(), catalogueSize));
    const cv::Mat first = CStampGenerator::stamp(stamp);
    cv::Mat block(first.rows * 2, first.cols * 2, CV_8UC3);
    for (int k = 0; k < 4; ++k)
        CStampGenerator::stamp(stamp + k).copyTo(block(cv::Rect(k % 2 * first.cols, k / 2 * first.rows, first.cols, first.rows)));
    QVERIFY(cv::imwrite(QDir(dir.path()).filePath("block.png").toStdString(), block));
    QVERIFY(appendRow(dir.path(), "block.png", 90));
    if (stampInCatalogue) {
        QVERIFY(cv::imwrite(QDir(dir.path()).filePath(CDemoCatalogue::fileName(stamp)).toStdString(), first));
        QVERIFY(appendRow(dir.path(), CDemoCatalogue::fileName(stamp), stamp));
    }
    CStampCatalogue catalogue;
    QVERIFY(CCatalogueIndex::open(catalogue, dir.path(), QString(), {}, nullptr, nullptr, nullptr));
    QVERIFY(catalogue.wordIndex());
    // The premise: the comparison alone takes the block for the photo.
    CStampMatcher matcher;
    matcher.setReference(photograph(stamp));
    QVERIFY(matcher.compareImage(CStampGenerator::toImage(block)));

    QCOMPARE(answerFor(catalogue, stamp), stampInCatalogue ? CDemoCatalogue::fileName(stamp) : QString());
}

// A sister design of one issue: the stamp's own frame, lettering and border around another
// picture. Its grid agrees with a photo of the stamp in as many cells as the stamp's own, but the
// comparison places it with far fewer inliers; the stamp is named first.
void TestCatalogueIndex::lookAlikeSharingTheFrameGoesAfterTheStamp()
{
    constexpr int stamp = 15, otherDesign = 374;
    QTemporaryDir dir;
    QVERIFY(CDemoCatalogue::write(dir.path(), catalogueSize));
    const cv::Mat own = CStampGenerator::stamp(stamp);
    cv::Mat sister = own.clone();
    const cv::Rect centre(own.cols * 3 / 10, own.rows * 3 / 10, own.cols * 4 / 10, own.rows * 4 / 10);
    CStampGenerator::stamp(otherDesign)(centre).copyTo(sister(centre));
    QVERIFY(cv::imwrite(QDir(dir.path()).filePath("sister.png").toStdString(), sister));
    QVERIFY(cv::imwrite(QDir(dir.path()).filePath(CDemoCatalogue::fileName(stamp)).toStdString(), own));
    QVERIFY(appendRow(dir.path(), "sister.png", 91));
    QVERIFY(appendRow(dir.path(), CDemoCatalogue::fileName(stamp), stamp));
    CStampCatalogue catalogue;
    QVERIFY(CCatalogueIndex::open(catalogue, dir.path(), QString(), {}, nullptr, nullptr, nullptr));
    // The premise: the sister passes the comparison and agrees in at least as many cells.
    CStampMatcher matcher;
    matcher.setReference(photograph(stamp));
    QVERIFY(matcher.compareImage(CStampGenerator::toImage(own)));
    const int ownCells = matcher.agreeCount();
    QVERIFY(matcher.compareImage(CStampGenerator::toImage(sister)));
    QCOMPARE_GE(matcher.agreeCount(), ownCells);

    QCOMPARE(answerFor(catalogue, stamp), CDemoCatalogue::fileName(stamp));
}

// Two stamps of one issue may show one artwork cropped otherwise. A photo of the tighter crop
// lies wholly inside its sister, which the comparison places firmly, while it turns down the
// stamp itself; the words rank the stamp first, and the finer comparison places it with more
// inliers than the sister. The sister is never named for it.
void TestCatalogueIndex::sisterShowingTheSameArtworkIsNotNamed()
{
    QTemporaryDir dir;
    QVERIFY(CDemoCatalogue::write(dir.path(), catalogueSize));
    const cv::Mat artwork = CStampGenerator::stamp(95, cv::Size(300, 360));
    cv::Mat stamp;
    cv::resize(artwork(cv::Rect(75, 90, 225, 270)), stamp, cv::Size(200, 240), 0, 0, cv::INTER_AREA);
    QVERIFY(cv::imwrite(QDir(dir.path()).filePath("sister.png").toStdString(), artwork));
    QVERIFY(cv::imwrite(QDir(dir.path()).filePath("stamp.png").toStdString(), stamp));
    QVERIFY(appendRow(dir.path(), "sister.png", 91));
    QVERIFY(appendRow(dir.path(), "stamp.png", 92));
    CStampCatalogue catalogue;
    QVERIFY(CCatalogueIndex::open(catalogue, dir.path(), QString(), {}, nullptr, nullptr, nullptr));
    QVERIFY(catalogue.wordIndex());
    const QImage photo = photograph(stamp);
    // The premise: the comparison places the photo in the sister with the words' inliers and turns
    // the stamp down; the words rank the stamp first.
    CStampMatcher matcher;
    matcher.setReference(photo);
    QVERIFY(matcher.compareImage(CStampGenerator::toImage(artwork)));
    QCOMPARE_GE(matcher.evidence().inliers, CStampRecognizer::minimumWordInliers);
    QVERIFY(!matcher.compareImage(CStampGenerator::toImage(stamp)));
    const CVisualWordIndex &words = *catalogue.wordIndex();
    const auto ranked = words.search(words.quantise(CVisualWordIndex::describe(photo).descriptors), 1, 0.0f);
    QCOMPARE(ranked.size(), size_t(1));
    QCOMPARE(catalogue.entries().at(ranked.front().row).fileName, QStringLiteral("stamp.png"));

    const QList<CStampRecognizer::Match> matches = CStampRecognizer(catalogue).recognise(photo);
    const QString answer = matches.isEmpty() ? QString() : catalogue.entries().at(matches.first().index).fileName;
    QVERIFY2(answer != QStringLiteral("sister.png"), "the sister was named");
}

// A stamp photographed from afar on a grainy album page: the page fills so much of the compared
// part that the comparison's grid turns the stamp down at either reference size. Framed to where
// the photo's keypoints pair with the stamp's, it is named.
void TestCatalogueIndex::looselyFramedPhotoIsFramedToTheStamp()
{
    constexpr int stamp = 5;
    QTemporaryDir dir;
    QVERIFY(CDemoCatalogue::write(dir.path(), catalogueSize));
    CStampCatalogue catalogue;
    QVERIFY(CCatalogueIndex::open(catalogue, dir.path(), QString(), {}, nullptr, nullptr, nullptr));
    const cv::Mat shot = CStampGenerator::rotated(CStampGenerator::scaled(CStampGenerator::stamp(stamp), 0.8), 6.0);
    cv::Mat page = CStampGenerator::noisy(cv::Mat(shot.rows * 5 / 2, shot.cols * 5 / 2, CV_8UC3,
                                                  CStampGenerator::pageColour()), 45.0, 3);
    cv::GaussianBlur(page, page, cv::Size(0, 0), 2.5);
    shot.copyTo(page(cv::Rect((page.cols - shot.cols) / 2, (page.rows - shot.rows) / 2, shot.cols, shot.rows)));
    const QImage photo = CStampGenerator::toImage(CStampGenerator::jpeg(page, 70));
    // The premise: the whole photo fails the grid at both reference sizes.
    for (int side : {CStampMatcher::referenceSide, CStampRecognizer::fineReferenceSide}) {
        CStampMatcher matcher;
        matcher.setReference(photo, side);
        QVERIFY(!matcher.compareImage(CStampGenerator::toImage(CStampGenerator::stamp(stamp))));
        QCOMPARE(matcher.lastStage(), CStampMatcher::Stage::Appearance);
    }

    const QList<CStampRecognizer::Match> matches = CStampRecognizer(catalogue).recognise(photo);
    QVERIFY(!matches.isEmpty());
    QCOMPARE(catalogue.entries().at(matches.first().index).fileName, CDemoCatalogue::fileName(stamp));
}

void TestCatalogueIndex::killedBuildLeavesAServerThatAnswers_data()
{
    QTest::addColumn<QString>("stage");
    QTest::addColumn<bool>("changed"); // an index built before, one picture changed since; or none
    QTest::newRow("first build, computing signatures") << "signatures" << false;
    QTest::newRow("first build, learning the vocabulary") << "vocabulary" << false;
    QTest::newRow("first build, computing words") << "words" << false;
    QTest::newRow("rebuild after a change, computing words") << "words" << true;
}

// SIGKILL at any stage of --build-index leaves the old index or none, never a half-written file
// taken as good: the next start builds what is missing and answers right.
void TestCatalogueIndex::killedBuildLeavesAServerThatAnswers()
{
    QFETCH(QString, stage);
    QFETCH(bool, changed);
    constexpr int stamps = 40; // long enough a build to be killed in each stage
    QTemporaryDir dir;
    QVERIFY(CDemoCatalogue::write(dir.path(), stamps));
    if (changed) {
        QVERIFY(!buildIndex(dir.path()).startsWith("FAILED"));
        QVERIFY(cv::imwrite(QDir(dir.path()).filePath(CDemoCatalogue::fileName(3)).toStdString(), CStampGenerator::stamp(70)));
    }
    QProcess build;
    build.setReadChannel(QProcess::StandardError);
    build.start(TestEnv::binDir() + QStringLiteral("/quillet-server"),
                {"--catalogue", dir.path(), "--build-index"});
    QVERIFY(build.waitForStarted());
    QByteArray log;
    const QByteArray mark = "quillet-server: " + stage.toUtf8() + " ";
    while (!log.contains(mark) && build.state() == QProcess::Running && build.waitForReadyRead(60000))
        log += build.readAllStandardError();
    QVERIFY2(log.contains(mark) && build.state() == QProcess::Running, log.constData());
    build.kill();
    QVERIFY(build.waitForFinished(10000));
    QCOMPARE(build.exitStatus(), QProcess::CrashExit);

    QProcess server;
    server.start(TestEnv::binDir() + QStringLiteral("/quillet-server"), {"--catalogue", dir.path(), "--port", "0"});
    QByteArray out;
    while (!out.contains("listening on ") && server.waitForReadyRead(120000))
        out += server.readAllStandardOutput();
    const QString startLog = QString::fromUtf8(server.readAllStandardError());
    server.terminate();
    server.waitForFinished(10000);
    QVERIFY2(out.contains("listening on "), qPrintable(startLog));
    QVERIFY2(!startLog.contains("refused"), qPrintable(startLog));

    CStampCatalogue catalogue;
    CCatalogueIndex::Report report;
    QVERIFY(CCatalogueIndex::open(catalogue, dir.path(), QString(), {}, &report, nullptr, nullptr));
    QCOMPARE(report.computed + report.wordsComputed, 0);
    QVERIFY(report.vocabularyLoaded);
    QCOMPARE(answerFor(catalogue, changed ? 70 : 3), CDemoCatalogue::fileName(3));
    for (int n : {1, 17, 40})
        QCOMPARE(answerFor(catalogue, n), CDemoCatalogue::fileName(n));
}

QTEST_GUILESS_MAIN(TestCatalogueIndex)
#include "tst_catalogueindex.moc"
