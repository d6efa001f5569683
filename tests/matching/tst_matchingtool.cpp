// quillet-tool surf and compare, run as the maintainers run them.
#include "matching/stampgenerator.h"
#include "testenv.h"

#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <opencv2/imgcodecs.hpp>

namespace {

using TestEnv::ToolRun;

ToolRun tool(const QStringList &args)
{
    return TestEnv::runTool(args);
}

} // namespace

class TestMatchingTool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void surfPrintsKeypoints();
    void compareDecides_data();
    void compareDecides();
    void unreadablePictures_data();
    void unreadablePictures();

private:
    QString picture(const QString &name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
};

void TestMatchingTool::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const cv::Mat stamp = CStampGenerator::stamp(17);
    QVERIFY(cv::imwrite(picture("stamp.png").toStdString(), stamp));
    QVERIFY(cv::imwrite(picture("turned.jpg").toStdString(), CStampGenerator::jpeg(CStampGenerator::rotated(stamp, 12), 80)));
    QVERIFY(cv::imwrite(picture("upside down.png").toStdString(), CStampGenerator::upsideDown(stamp)));
    QVERIFY(cv::imwrite(picture("other.png").toStdString(), CStampGenerator::stamp(18)));
    QVERIFY(cv::imwrite(picture("tiny.png").toStdString(), cv::Mat(6, 6, CV_8UC3, cv::Scalar(9, 9, 9))));
    QFile garbage(picture("garbage.png"));
    QVERIFY(garbage.open(QIODevice::WriteOnly));
    garbage.write("\x89PNG not really a picture");
}

void TestMatchingTool::surfPrintsKeypoints()
{
    const ToolRun run = tool({"surf", picture("stamp.png")});
    QCOMPARE(run.status, 0);
    QStringList lines = run.out.split('\n', Qt::SkipEmptyParts);
    QVERIFY(lines.size() > 10);
    const int count = lines.takeFirst().toInt();
    QCOMPARE(lines.size(), count);
    double previous = 1e30;
    for (const QString &line : lines) {
        const QStringList fields = line.split(' ');
        QCOMPARE(fields.size(), 7 + 64);
        const double response = fields[4].toDouble();
        QVERIFY(response > 250 && response <= previous);
        previous = response;
        QVERIFY(fields[6] == "1" || fields[6] == "-1" || fields[6] == "0");
        double squares = 0;
        for (int i = 7; i < fields.size(); ++i)
            squares += fields[i].toDouble() * fields[i].toDouble();
        QVERIFY(qAbs(squares - 1.0) < 1e-3);
    }
}

void TestMatchingTool::compareDecides_data()
{
    QTest::addColumn<QString>("candidate");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("answer");
    QTest::newRow("turned and compressed") << "turned.jpg" << 0 << "match ";
    QTest::newRow("upside down") << "upside down.png" << 3 << "no match: outline\n";
    QTest::newRow("other stamp") << "other.png" << 3 << "no match: ";
    QTest::newRow("tiny") << "tiny.png" << 3 << "no match: picture\n";
}

void TestMatchingTool::compareDecides()
{
    QFETCH(QString, candidate);
    QFETCH(int, status);
    QFETCH(QString, answer);
    const ToolRun run = tool({"compare", picture("stamp.png"), picture(candidate)});
    QCOMPARE(run.status, status);
    QVERIFY2(run.out.startsWith(answer), qPrintable(run.out));
    if (status == 0)
        QVERIFY(run.out.mid(answer.size()).trimmed().toInt() > 100);

    // With the side-by-side picture asked for, the first line stays the same; a match writes the
    // picture, the two side by side, and prints its figures.
    const QString evidence = picture(candidate + "-evidence.png");
    const ToolRun explained = tool({"compare", picture("stamp.png"), picture(candidate), "--evidence", evidence});
    QCOMPARE(explained.status, status);
    QCOMPARE(explained.out.section('\n', 0, 0), run.out.section('\n', 0, 0));
    QCOMPARE(QFile::exists(evidence), status == 0);
    if (status == 0) {
        const QImage sideBySide(evidence);
        QVERIFY(sideBySide.width() > 2 * 200 && sideBySide.height() >= 200);
        QVERIFY2(explained.out.contains(" grid cells, ") && explained.out.contains(" keypoint pairs"), qPrintable(explained.out));
    }
}

void TestMatchingTool::unreadablePictures_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("surf, missing file") << QStringList{"surf", picture("none.png")};
    QTest::newRow("surf, garbage") << QStringList{"surf", picture("garbage.png")};
    QTest::newRow("compare, missing reference") << QStringList{"compare", picture("none.png"), picture("stamp.png")};
    QTest::newRow("compare, garbage candidate") << QStringList{"compare", picture("stamp.png"), picture("garbage.png")};
    QTest::newRow("surf, no argument") << QStringList{"surf"};
    QTest::newRow("compare, one argument") << QStringList{"compare", picture("stamp.png")};
    QTest::newRow("compare, --evidence without a file") << QStringList{"compare", picture("stamp.png"), picture("turned.jpg"), "--evidence"};
}

void TestMatchingTool::unreadablePictures()
{
    QFETCH(QStringList, args);
    const ToolRun run = tool(args);
    QVERIFY(run.status > 0);
    QVERIFY(run.out.isEmpty());
    QVERIFY(!run.err.trimmed().isEmpty());
}

QTEST_GUILESS_MAIN(TestMatchingTool)
#include "tst_matchingtool.moc"
