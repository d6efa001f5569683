// The real quillet executable, driven from its command line as a user would: a first start that
// searches and writes a report, a later start that hands its list to the running copy, and a start
// by another user that stays apart. Its hosts are a real quillet-server on a demo catalogue and the
// test web (as an HTTP proxy, through the standard http_proxy setting).
#include "matching/stampgenerator.h"
#include "server/democatalogue.h"
#include "serverprocess.h"
#include "sites/hostconfig.h"
#include "temphome.h"
#include "testenv.h"
#include "standins/testweb.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using G = CStampGenerator;
using Site = TestWeb::Site;

namespace {

// A photograph of catalogue stamp n on an album page; the stamp's box in it.
const QRect stampBox(150, 100, 200, 240);

QString photograph(const QString &folder, int n)
{
    const QString path = folder + QString("/photo-%1.png").arg(n);
    G::toImage(G::onPage(G::stamp(n), cv::Size(520, 440), cv::Point(stampBox.x(), stampBox.y()))).save(path);
    return path;
}

QStringList reportLinks(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList links;
    static const QRegularExpression href(QStringLiteral("<a href=\"([^\"]*)\">"));
    for (auto match = href.globalMatch(QString::fromLatin1(file.readAll())); match.hasNext();)
        links << match.next().captured(1).replace("&amp;", "&");
    return links;
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void firstStartSearchesAndWritesTheReport();
    void laterStartDrivesTheRunningCopy();
    void reportPathWithBackslashes();
    void listWithoutAPictureStartsNothing();
    void anotherUsersStartStaysApart();

private:
    QProcessEnvironment environment() const;

    QTemporaryDir m_dir;
    QTemporaryDir m_catalogue;
    ServerProcess m_server;
    TestWeb m_web;
    std::unique_ptr<TempHome> m_home;
    QProcess m_running;
    QString m_report;
};

void TestEndToEnd::initTestCase()
{
    QVERIFY(CDemoCatalogue::write(m_catalogue.path(), 12));
    QVERIFY2(m_server.start(m_catalogue.path()), qPrintable(m_server.error()));
    QVERIFY(m_web.start());
    m_home = std::make_unique<TempHome>();
    m_home->writeKnownConfig();
    m_report = m_dir.filePath("out/report.html");

    // Each stamp's searches find pictures of it, among others; four matches, so one pass.
    m_web.offerDemoStamp(5, {{"a1", G::toImage(G::rotated(G::stamp(5), 4))}, {"x1", G::toImage(G::stamp(9))}, {"a2", G::toImage(G::scaled(G::stamp(5), 0.8))}},
                         {{"a3", G::toImage(G::jpeg(G::stamp(5), 50))}}, {{"a4", G::toImage(G::lit(G::stamp(5), 0.85, 10))}});
    m_web.offerDemoStamp(7, {{"b1", G::toImage(G::rotated(G::stamp(7), -3))}}, {{"b2", G::toImage(G::scaled(G::stamp(7), 1.2))}},
                         {{"b3", G::toImage(G::stamp(7))}, {"b4", G::toImage(G::jpeg(G::stamp(7), 60))}});

    QString hosts = "recognition = " + m_server.hostAndPort() + "\nsearch_engine = http://" + m_web.hostAndPort()
                    + "\nupdate = 127.0.0.1:1\nmaker = 127.0.0.1:1\n";
    for (const QString &key : HostConfig::keys()) {
        if (!TestWeb::hostName(key).isEmpty() && key != "search_engine")
            hosts += key + " = " + TestWeb::hostName(key) + "\n";
    }
    QFile file(m_dir.filePath("hosts.cfg"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(hosts.toUtf8());
}

void TestEndToEnd::cleanupTestCase()
{
    m_running.terminate();
    if (!m_running.waitForFinished(10000))
        m_running.kill();
}

QProcessEnvironment TestEndToEnd::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUILLET_LOCK_FILE", m_dir.filePath("instance.lock"));
    env.insert("QUILLET_HOSTS", m_dir.filePath("hosts.cfg"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("http_proxy", "http://127.0.0.1:" + QString::number(m_web.port()));
    env.insert("no_proxy", "127.0.0.1,localhost");
    return env;
}

void TestEndToEnd::firstStartSearchesAndWritesTheReport()
{
    const QString picture = photograph(m_dir.path(), 5);
    m_running.setProcessEnvironment(environment());
    m_running.setProcessChannelMode(QProcess::ForwardedChannels);
    m_running.start(TestEnv::binDir() + "/quillet",
                    {picture,
                     QString("/SEL:%1,%2,%3,%4").arg(stampBox.x() - 5).arg(stampBox.y() - 5).arg(stampBox.width() + 10).arg(stampBox.height() + 10),
                     "/SAVEDATA:" + m_report, "/START"});
    QVERIFY(m_running.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_report), 90000);

    const QStringList links = reportLinks(m_report);
    QCOMPARE(links.size(), 4);
    // Delcampe's two (best first, whichever that is), then Colnect's, then eBay's.
    QCOMPARE(QSet<QString>(links.begin(), links.begin() + 2),
             QSet<QString>({TestWeb::pageUrl(Site::Delcampe, "a1"), TestWeb::pageUrl(Site::Delcampe, "a2")}));
    QCOMPARE(links.at(2), TestWeb::pageUrl(Site::Colnect, "a3"));
    QCOMPARE(links.at(3), TestWeb::pageUrl(Site::Ebay, "a4"));
    for (int i = 0; i < 4; ++i)
        QVERIFY(!QImage(m_dir.filePath(QString("out/report/%1.jpg").arg(i))).isNull());
}

void TestEndToEnd::laterStartDrivesTheRunningCopy()
{
    QVERIFY(m_running.state() == QProcess::Running);
    const QString picture = photograph(m_dir.path(), 7);
    QProcess later;
    later.setProcessEnvironment(environment());
    QElapsedTimer clock;
    clock.start();
    later.start(TestEnv::binDir() + "/quillet", {picture, "/SEL:145,95,210,250", "/start"});
    QVERIFY(later.waitForFinished(10000));
    qInfo("the later start ended after %lld ms", clock.elapsed());
    QVERIFY(clock.elapsed() < 3000);
    QCOMPARE(later.exitStatus(), QProcess::NormalExit);
    QCOMPARE(later.exitCode(), 0);

    // The running copy searched again for the new picture and rewrote the same report.
    QTRY_VERIFY_WITH_TIMEOUT(reportLinks(m_report).contains(TestWeb::pageUrl(Site::Colnect, "b2")), 90000);
    const QStringList links = reportLinks(m_report);
    QCOMPARE(links.size(), 4);
    QCOMPARE(links.at(0), TestWeb::pageUrl(Site::Delcampe, "b1"));
    QCOMPARE(links.at(1), TestWeb::pageUrl(Site::Colnect, "b2"));
}

void TestEndToEnd::reportPathWithBackslashes()
{
    // Written as on Windows; stored and used with forward slashes.
    const QString path = m_dir.filePath("second/found.html");
    QProcess later;
    later.setProcessEnvironment(environment());
    later.start(TestEnv::binDir() + "/quillet", {photograph(m_dir.path(), 5), "/SEL:145,95,210,250",
                                                 "/SAVEDATA:" + QString(path).replace('/', '\\'), "/START"});
    QVERIFY(later.waitForFinished(10000));
    QCOMPARE(later.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(reportLinks(path).contains(TestWeb::pageUrl(Site::Colnect, "a3")), 90000);
    m_report = path; // later starts without /SAVEDATA: write here
}

void TestEndToEnd::listWithoutAPictureStartsNothing()
{
    const QDateTime written = QFileInfo(m_report).lastModified();
    const QString elsewhere = m_dir.filePath("never.html");
    QProcess later;
    later.setProcessEnvironment(environment());
    later.start(TestEnv::binDir() + "/quillet", {m_dir.filePath("missing.png"), "/SAVEDATA:" + elsewhere, "/START"});
    QVERIFY(later.waitForFinished(10000));
    QCOMPARE(later.exitCode(), 0);
    QTest::qWait(3000);
    QVERIFY(!QFileInfo::exists(elsewhere));
    QCOMPARE(QFileInfo(m_report).lastModified(), written);
}

void TestEndToEnd::anotherUsersStartStaysApart()
{
    if (::getuid() != 0)
        QSKIP("switching to another user needs root");
    QVERIFY(m_running.state() == QProcess::Running);
    const QDateTime written = QFileInfo(m_report).lastModified();

    // Another user's own home and a picture it can read.
    QTemporaryDir theirs("/tmp/quillet-other-XXXXXX");
    QVERIFY(::chown(QFile::encodeName(theirs.path()).constData(), 65534, 65534) == 0);
    const QString picture = photograph(theirs.path(), 5);
    QVERIFY(::chmod(QFile::encodeName(picture).constData(), 0644) == 0);
    QProcessEnvironment env = environment();
    env.insert("HOME", theirs.path());
    env.remove("XDG_CONFIG_HOME");
    // It even names our lock: our folder is ours alone, so it cannot reach lock or channel.
    QProcess other;
    other.setProcessEnvironment(env);
    other.setProcessChannelMode(QProcess::ForwardedChannels);
    other.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", TestEnv::binDir() + "/quillet",
                            picture, "/SAVEDATA:" + m_report, "/START"});
    QVERIFY(other.waitForStarted());
    // It runs a copy of its own instead of handing its list over and ending.
    QVERIFY(!other.waitForFinished(4000));
    QCOMPARE(QFileInfo(m_report).lastModified(), written);
    other.kill();
    other.waitForFinished();

    // And our own later start still reaches our copy alone.
    QProcess ours;
    ours.setProcessEnvironment(environment());
    ours.start(TestEnv::binDir() + "/quillet", {photograph(m_dir.path(), 7), "/SEL:145,95,210,250", "/START"});
    QVERIFY(ours.waitForFinished(10000));
    QCOMPARE(ours.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(reportLinks(m_report).contains(TestWeb::pageUrl(Site::Colnect, "b2")), 90000);
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
