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

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <numeric>

namespace {

constexpr int catalogueSize = 12;

// A photo of stamp n: turned, shrunk, relit, on the album page, JPEG-compressed.
QImage photograph(int n)
{
    const cv::Mat turned = CStampGenerator::rotated(CStampGenerator::scaled(CStampGenerator::stamp(n), 0.8), 6.0);
    return CStampGenerator::toImage(CStampGenerator::jpeg(CStampGenerator::lit(turned, 0.9, 8.0), 60));
}

// Runs quillet-server --build-index; its standard error, or a failure note.
QString buildIndex(const QString &catalogue, const QString &index = QString())
{
    QProcess process;
    QStringList arguments{"--catalogue", catalogue, "--build-index"};
    if (!index.isEmpty())
        arguments << "--index" << index;
    process.start(TestEnv::binDir() + QStringLiteral("/quillet-server"), arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0)
        return QStringLiteral("FAILED: ") + QString::fromUtf8(process.readAllStandardError());
    return QString::fromUtf8(process.readAllStandardError());
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
    else if (damage == "version 1") // an intact file of the layout before 8-bit signatures
        bytes[8] = 1;
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
