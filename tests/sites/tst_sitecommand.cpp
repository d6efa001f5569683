// quillet-tool site: one parser operation from the command line, hosts from the configuration.

#include "testenv.h"
#include "standins/testweb.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestSiteCommand : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void printsTheHitList_data();
    void printsTheHitList();
    void usageErrors_data();
    void usageErrors();

private:
    struct Outcome
    {
        int status = -1;
        QString out;
        QString err;
    };
    Outcome runTool(const QStringList &arguments);

    TestWeb m_web;
    QTemporaryDir m_home;
};

void TestSiteCommand::initTestCase()
{
    QVERIFY(m_web.start());
    QVERIFY(m_home.isValid());
    // The tool reaches the test web by its address: Poppe Stamps' pages link relatively, so the
    // catalogue host can be 127.0.0.1.
    m_web.addHandler("127.0.0.1", [](HttpServer::Request &request) {
        const QString number = QUrlQuery(request.url).queryItemValue("sgno");
        QList<TestWeb::Stamp> stamps;
        for (int i = 1; i <= 3; ++i)
            stamps << TestWeb::Stamp{number + "_" + QString::number(i)};
        HttpServer::respond(request.socket, 200, TestWeb::resultPage(TestWeb::Poppe, stamps));
        return true;
    });
    QFile hosts(m_home.filePath("hosts.cfg"));
    QVERIFY(hosts.open(QIODevice::WriteOnly));
    hosts.write("poppe = " + m_web.hostAndPort().toUtf8() + "\n");
}

TestSiteCommand::Outcome TestSiteCommand::runTool(const QStringList &arguments)
{
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", m_home.path()); // no user's hosts.cfg
    environment.insert("QUILLET_HOSTS", m_home.filePath("hosts.cfg"));
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    tool.setProcessEnvironment(environment);
    QSignalSpy finished(&tool, &QProcess::finished);
    tool.start(TestEnv::binDir() + "/quillet-tool", QStringList{"site"} + arguments);
    // The test web answers from this process's event loop, which the spy keeps running.
    if (!finished.wait(30000))
        tool.kill();
    return {tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1, QString::fromUtf8(tool.readAllStandardOutput()),
            QString::fromUtf8(tool.readAllStandardError())};
}

void TestSiteCommand::printsTheHitList_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("pairs");
    QTest::newRow("default limit") << QStringList{"poppe", "searchByNumber", "Atlantis[c]SG 5[inf]x", "sgno"} << 3;
    QTest::newRow("limit 1") << QStringList{"poppe", "searchByNumber", "Atlantis[c]SG 5[inf]x", "sgno", "1"} << 1;
    QTest::newRow("no marker, nothing asked") << QStringList{"poppe", "searchByNumber", "Atlantis", "sgno"} << 0;
}

void TestSiteCommand::printsTheHitList()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, pairs);
    m_web.clearRequests();
    const Outcome outcome = runTool(arguments);
    QCOMPARE(outcome.status, 0);
    QStringList expected;
    for (int i = 1; i <= pairs; ++i) {
        const QString id = "5_" + QString::number(i);
        expected << "http://" + m_web.hostAndPort() + "/?t=34&stamp_no=" + id + "\t"
                        + TestWeb::pictureUrl(TestWeb::Poppe, id);
    }
    QCOMPARE(outcome.out.split('\n', Qt::SkipEmptyParts), expected);
    QCOMPARE(m_web.requestCount(), pairs ? 1 : 0);
}

void TestSiteCommand::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("nothing") << QStringList{};
    QTest::newRow("unknown site") << QStringList{"altavista", "searchByNumber", "a[c]1[inf]x"};
    QTest::newRow("operation the site lacks") << QStringList{"colnect", "searchByInfo", "a[c]1[inf]x"};
    QTest::newRow("Poppe without field") << QStringList{"poppe", "searchByNumber"};
    QTest::newRow("limit not a number") << QStringList{"ebay", "loadPage", "http://x.test/", "many"};
    QTest::newRow("too many arguments") << QStringList{"ebay", "loadPage", "http://x.test/", "5", "6"};
}

void TestSiteCommand::usageErrors()
{
    QFETCH(QStringList, arguments);
    m_web.clearRequests();
    const Outcome outcome = runTool(arguments);
    QCOMPARE(outcome.status, 2);
    QVERIFY(outcome.out.isEmpty());
    QVERIFY(outcome.err.contains("quillet-tool site"));
    QCOMPARE(m_web.requestCount(), 0);
}

QTEST_GUILESS_MAIN(TestSiteCommand)
#include "tst_sitecommand.moc"
