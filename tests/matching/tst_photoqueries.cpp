// quillet-tool photo-queries, run as the maintainers run it on a generated catalogue: one photo per
// catalogue row, showing that row's stamp, the same for a seed, turned with --turned, and a clear
// message for what it cannot read.
#include "matching/stampgenerator.h"
#include "matching/stampmatcher.h"
#include "server/democatalogue.h"
#include "testenv.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

using TestEnv::ToolRun;

ToolRun tool(const QStringList &args)
{
    return TestEnv::runTool(args);
}

struct Query
{
    QString photo;
    QString picture;
    int quarterTurns = 0;
};

// The rows of OUT/queries.tsv.
QList<Query> queries(const QString &folder)
{
    QFile file(QDir(folder).filePath("queries.tsv"));
    QList<Query> rows;
    if (!file.open(QIODevice::ReadOnly))
        return rows;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (line.startsWith('#') || fields.size() != 3)
            continue;
        rows.append({QString::fromUtf8(fields[0]), QString::fromUtf8(fields[1]), fields[2].toInt()});
    }
    return rows;
}

cv::Mat readPhoto(const QString &folder, const QString &name)
{
    return cv::imread(QDir(folder).filePath(name).toStdString(), cv::IMREAD_COLOR);
}

double meanDifference(const cv::Mat &a, const cv::Mat &b)
{
    if (a.size() != b.size())
        return 255;
    cv::Mat difference;
    cv::absdiff(a, b, difference);
    const cv::Scalar mean = cv::mean(difference);
    return (mean[0] + mean[1] + mean[2]) / 3;
}

} // namespace

class TestPhotoQueries : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void onePhotoPerRowShowingItsStamp();
    void sameSeedSamePhotos();
    void turnedPhotosAreTheUprightOnesTurned();
    void hardPhotosAreSmall();
    void unreadablePictureIsNamed();
    void refusedArguments_data();
    void refusedArguments();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
    static constexpr int stamps = 5;
};

void TestPhotoQueries::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(CDemoCatalogue::write(path("catalogue"), stamps));
    for (const QString &set : {QStringLiteral("mild"), QStringLiteral("turned"), QStringLiteral("hard")}) {
        QStringList args{"photo-queries", path("catalogue"), path(set), "--seed", "3"};
        if (set != "mild")
            args << "--" + set;
        const ToolRun run = tool(args);
        QVERIFY2(run.status == 0, qPrintable(run.err));
        QVERIFY2(run.out.contains(QStringLiteral("wrote %1 photos").arg(stamps)), qPrintable(run.out));
    }
}

// Each row's photo is a readable picture of that row's stamp, not of another: the comparison
// accepts the catalogue picture the row names, and refuses its neighbour's.
void TestPhotoQueries::onePhotoPerRowShowingItsStamp()
{
    const QList<Query> rows = queries(path("mild"));
    QCOMPARE(rows.size(), stamps);
    QSet<QString> photos;
    for (int n = 0; n < stamps; ++n) {
        const Query &row = rows.at(n);
        QCOMPARE(row.picture, CDemoCatalogue::fileName(n + 1));
        QCOMPARE(row.quarterTurns, 0);
        photos.insert(row.photo);
        const QImage photo(QDir(path("mild")).filePath(row.photo));
        QVERIFY2(!photo.isNull(), qPrintable(row.photo));
        // A photo frames the stamp loosely: the catalogue picture fills only part of it.
        const QImage stamp(QDir(path("catalogue")).filePath(row.picture));
        QVERIFY(qint64(photo.width()) * photo.height() > qint64(stamp.width()) * stamp.height() * 1.3);
        CStampMatcher matcher;
        matcher.setReference(photo);
        QVERIFY2(matcher.compareImage(stamp), qPrintable(row.photo));
        const QImage other(QDir(path("catalogue")).filePath(CDemoCatalogue::fileName((n + 1) % stamps + 1)));
        QVERIFY2(!matcher.compareImage(other), qPrintable(row.photo));
    }
    QCOMPARE(photos.size(), stamps);
}

void TestPhotoQueries::sameSeedSamePhotos()
{
    QVERIFY(tool({"photo-queries", path("catalogue"), path("again"), "--seed", "3"}).status == 0);
    QVERIFY(tool({"photo-queries", path("catalogue"), path("other seed"), "--seed", "4"}).status == 0);
    for (const Query &row : queries(path("mild"))) {
        const auto bytes = [&](const QString &set) {
            QFile file(QDir(path(set)).filePath(row.photo));
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        QVERIFY(!bytes("mild").isEmpty());
        QCOMPARE(bytes("again"), bytes("mild"));
        QVERIFY(bytes("other seed") != bytes("mild"));
    }
}

// Every quarter turn occurs, and turning a photo back gives the upright set's photo of the same
// row (up to the JPEG of each); turned back the wrong way it does not.
void TestPhotoQueries::turnedPhotosAreTheUprightOnesTurned()
{
    const QList<Query> upright = queries(path("mild"));
    const QList<Query> turned = queries(path("turned"));
    QCOMPARE(turned.size(), upright.size());
    QSet<int> turns;
    for (int n = 0; n < turned.size(); ++n) {
        const Query &row = turned.at(n);
        QCOMPARE(row.picture, upright.at(n).picture);
        QVERIFY(row.quarterTurns >= 1 && row.quarterTurns <= 3);
        turns.insert(row.quarterTurns);
        const cv::Mat photo = readPhoto(path("turned"), row.photo);
        const cv::Mat original = readPhoto(path("mild"), upright.at(n).photo);
        QVERIFY(!photo.empty() && !original.empty());
        static const cv::RotateFlags back[4] = {cv::ROTATE_180, cv::ROTATE_90_COUNTERCLOCKWISE, cv::ROTATE_180,
                                                cv::ROTATE_90_CLOCKWISE};
        cv::Mat backAgain, wrongWay;
        cv::rotate(photo, backAgain, back[row.quarterTurns]);
        cv::rotate(backAgain, wrongWay, cv::ROTATE_180);
        QVERIFY2(meanDifference(backAgain, original) < 3, qPrintable(row.photo));
        QVERIFY(meanDifference(wrongWay, original) > 10);
    }
    QCOMPARE(turns.size(), 3);
}

void TestPhotoQueries::hardPhotosAreSmall()
{
    const QList<Query> rows = queries(path("hard"));
    QCOMPARE(rows.size(), stamps);
    for (const Query &row : rows) {
        const cv::Mat photo = readPhoto(path("hard"), row.photo);
        QVERIFY2(std::max(photo.cols, photo.rows) >= 200 && std::max(photo.cols, photo.rows) <= 400,
                 qPrintable(QStringLiteral("%1: %2 x %3").arg(row.photo).arg(photo.cols).arg(photo.rows)));
    }
}

// A row whose picture is not a picture, or is gone, is named and skipped; the others get their
// photos; the status says that rows are missing.
void TestPhotoQueries::unreadablePictureIsNamed()
{
    const QString folder = path("broken catalogue");
    QVERIFY(CDemoCatalogue::write(folder, 3));
    QFile garbage(QDir(folder).filePath(CDemoCatalogue::fileName(2)));
    QVERIFY(garbage.open(QIODevice::WriteOnly | QIODevice::Truncate));
    garbage.write("\x89PNG\r\n\x1a\n not really a picture");
    garbage.close();
    QVERIFY(QFile::remove(QDir(folder).filePath(CDemoCatalogue::fileName(3))));

    const ToolRun run = tool({"photo-queries", folder, path("broken photos")});
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains("cannot read picture " + CDemoCatalogue::fileName(2)), qPrintable(run.err));
    QVERIFY2(run.err.contains("cannot read picture " + CDemoCatalogue::fileName(3)), qPrintable(run.err));
    QVERIFY2(run.out.contains("wrote 1 photos"), qPrintable(run.out));
    const QList<Query> rows = queries(path("broken photos"));
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.first().picture, CDemoCatalogue::fileName(1));
}

void TestPhotoQueries::refusedArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    QTest::newRow("no folders") << QStringList{} << 2 << "usage:";
    QTest::newRow("one folder") << QStringList{"catalogue"} << 2 << "usage:";
    QTest::newRow("seed not a number") << QStringList{"catalogue", "out", "--seed", "x"} << 2 << "usage:";
    QTest::newRow("unknown option") << QStringList{"catalogue", "out", "--sideways"} << 2 << "usage:";
    QTest::newRow("no catalogue.tsv") << QStringList{"nowhere", "out"} << 1 << "catalogue.tsv";
}

void TestPhotoQueries::refusedArguments()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, message);
    for (QString &arg : args) {
        if (!arg.startsWith("--") && arg != "x")
            arg = path(arg);
    }
    const ToolRun run = tool(QStringList{"photo-queries"} + args);
    QCOMPARE(run.status, status);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QVERIFY(!QFile::exists(path("out/queries.tsv")));
}

QTEST_MAIN(TestPhotoQueries)
#include "tst_photoqueries.moc"
