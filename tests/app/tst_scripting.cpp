// The real quillet executable driven by a script, as issue-prone environments drive it: what a
// script can rely on is the exit status of each start and the report. Its hosts are a real
// quillet-server on a demo catalogue and the test web (as an HTTP proxy). Each case runs a copy of
// its own (its own lock, home and report), started and stopped as a script would.
#include "matching/stampgenerator.h"
#include "server/democatalogue.h"
#include "serverprocess.h"
#include "sites/hostconfig.h"
#include "testenv.h"
#include "standins/testweb.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/mount.h>
#include <unistd.h>

using G = CStampGenerator;
using Site = TestWeb::Site;

namespace {

const QString frame = "/SEL:145,95,210,250";

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QStringList reportLinks(const QString &path)
{
    QStringList links;
    static const QRegularExpression href(QStringLiteral("<a href=\"([^\"]*)\">"));
    for (auto match = href.globalMatch(QString::fromLatin1(contents(path))); match.hasNext();)
        links << match.next().captured(1).replace("&amp;", "&");
    return links;
}

// The line of a report that says how a search without matches ended.
QByteArray reportEnding(const QString &path)
{
    const QList<QByteArray> lines = contents(path).split('\n');
    return lines.size() == 3 ? lines.at(1) : QByteArray();
}

// An old report as an earlier search would have left it: a page and a numbered picture.
void writeOldReport(const QString &path)
{
    writeFile(path, "<html><head></head><body>old</body></html>");
    QImage picture(8, 8, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    QDir().mkpath(QFileInfo(path).path() + "/" + QFileInfo(path).completeBaseName());
    QVERIFY(picture.save(QFileInfo(path).path() + "/" + QFileInfo(path).completeBaseName() + "/0.jpg"));
}

// Fills the file system that holds folder up to its last byte.
void fill(const QString &folder)
{
    QFile filler(folder + "/filler");
    QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    const QByteArray block(4096, 'f');
    while (filler.write(block) == block.size()) {
    }
    while (filler.write("f", 1) == 1) {
    }
}

} // namespace

class TestScripting : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void failedSearchAfterAGoodOne();
    void cancelDuringTheComparison();
    void twoStartsInQuickSuccession();
    void laterStartWhenTheFirstCannotTakeIt();
    void reportPaths_data();
    void reportPaths();
    void fullDisk_data();
    void fullDisk();

private:
    // A home with a configuration that is not a first start (unless bare), and its own lock.
    QString makeHome(bool bare = false);
    QProcessEnvironment environment(const QString &home) const;
    // Starts the running copy for home and waits until it holds the instance lock, and unless
    // told otherwise until it listens for lists; its standard error is kept in m_runningErrors.
    enum Wait { Listening, LockHeld };
    void startCopy(const QString &home, const QStringList &arguments, Wait wait = Listening);
    // A later start from folder; its exit code, its standard error in *errors.
    int later(const QString &home, const QStringList &arguments, const QString &folder = QString(),
              QByteArray *errors = nullptr);
    QString photograph(int n) const;
    bool mountSmallDisk(const QString &folder);

    QTemporaryDir m_dir;
    QTemporaryDir m_catalogue;
    ServerProcess m_server;
    TestWeb m_web;
    QProcess m_running;
    QByteArray m_runningErrors;
    QStringList m_mounts;
    QList<QPointer<QTcpSocket>> m_held;
    int m_homes = 0;
};

void TestScripting::initTestCase()
{
    QVERIFY(CDemoCatalogue::write(m_catalogue.path(), 12));
    QVERIFY2(m_server.start(m_catalogue.path()), qPrintable(m_server.error()));
    QVERIFY(m_web.start());

    // Stamps 5 and 7 are found on three sites, four matches each; stamp 9 nowhere; stamp 11 on
    // eBay, with pictures that never come.
    m_web.offerDemoStamp(5, {{"a1", G::toImage(G::rotated(G::stamp(5), 4))}, {"a2", G::toImage(G::scaled(G::stamp(5), 0.8))}},
                         {{"a3", G::toImage(G::jpeg(G::stamp(5), 50))}}, {{"a4", G::toImage(G::lit(G::stamp(5), 0.85, 10))}});
    m_web.offerDemoStamp(7, {{"b1", G::toImage(G::rotated(G::stamp(7), -3))}}, {{"b2", G::toImage(G::scaled(G::stamp(7), 1.2))}},
                         {{"b3", G::toImage(G::stamp(7))}, {"b4", G::toImage(G::jpeg(G::stamp(7), 60))}});
    QList<TestWeb::Stamp> slow;
    for (int i = 0; i < 8; ++i)
        slow << TestWeb::Stamp{QString("slow%1").arg(i)};
    m_web.offerDemoStamp(11, {}, {}, slow);
    m_web.addHandler(QUrl(TestWeb::pictureUrl(Site::Ebay, "slow0")).host(), [this](HttpServer::Request &request) {
        if (!request.url.path().contains("slow"))
            return false;
        m_held << request.socket;
        return true;
    });

    QString hosts = "recognition = " + m_server.hostAndPort() + "\nsearch_engine = http://" + m_web.hostAndPort()
                    + "\nupdate = 127.0.0.1:1\nmaker = 127.0.0.1:1\n";
    for (const QString &key : HostConfig::keys()) {
        if (!TestWeb::hostName(key).isEmpty() && key != "search_engine")
            hosts += key + " = " + TestWeb::hostName(key) + "\n";
    }
    writeFile(m_dir.filePath("hosts.cfg"), hosts.toUtf8());
    photograph(5);
    photograph(7);
    photograph(9);
    photograph(11);
}

void TestScripting::cleanup()
{
    if (QTest::currentTestFailed())
        qInfo("the running copy said:\n%s", m_runningErrors.right(4000).constData());
    if (m_running.state() != QProcess::NotRunning) {
        m_running.kill();
        m_running.waitForFinished();
    }
    m_running.disconnect();
    m_runningErrors.clear();
    for (const QPointer<QTcpSocket> &socket : std::as_const(m_held)) {
        if (socket)
            socket->abort();
    }
    m_held.clear();
    for (const QString &folder : std::as_const(m_mounts))
        ::umount2(QFile::encodeName(folder).constData(), MNT_DETACH);
    m_mounts.clear();
}

QString TestScripting::photograph(int n) const
{
    const QString path = m_dir.filePath(QString("photo-%1.png").arg(n));
    if (!QFileInfo::exists(path))
        G::toImage(G::onPage(G::stamp(n), cv::Size(520, 440), cv::Point(150, 100))).save(path);
    return path;
}

QString TestScripting::makeHome(bool bare)
{
    const QString home = m_dir.filePath(QString("home%1").arg(++m_homes));
    QDir().mkpath(home);
    if (!bare) {
        writeFile(home + "/Documents/Quillet/config.cfg",
                  QString("path = %1\nlanguage = english\nmax_out = 10\nlast_path = \n")
                      .arg(QCoreApplication::applicationDirPath())
                      .toUtf8());
    }
    return home;
}

QProcessEnvironment TestScripting::environment(const QString &home) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home);
    env.insert("XDG_CONFIG_HOME", home + "/.config");
    env.insert("QUILLET_LOCK_FILE", home + "/instance.lock");
    env.insert("QUILLET_HOSTS", m_dir.filePath("hosts.cfg"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("http_proxy", "http://127.0.0.1:" + QString::number(m_web.port()));
    env.insert("no_proxy", "127.0.0.1,localhost");
    return env;
}

void TestScripting::startCopy(const QString &home, const QStringList &arguments, Wait wait)
{
    m_running.setProcessEnvironment(environment(home));
    m_running.setWorkingDirectory(home);
    connect(&m_running, &QProcess::readyReadStandardError, this, [this] {
        m_runningErrors += m_running.readAllStandardError();
    });
    m_running.start(TestEnv::binDir() + "/quillet", arguments);
    QVERIFY(m_running.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(TestEnv::holdsLock(m_running.processId()), 60000);
    // The socket appears once the window is built and SIGTERM ends it gracefully.
    if (wait == Listening)
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(home + "/instance.lock.socket"), 60000);
}

int TestScripting::later(const QString &home, const QStringList &arguments, const QString &folder, QByteArray *errors)
{
    QProcess process;
    process.setProcessEnvironment(environment(home));
    process.setWorkingDirectory(folder.isEmpty() ? home : folder);
    process.start(TestEnv::binDir() + "/quillet", arguments);
    // The running copy is a process of its own: waiting here holds up nothing of it.
    const bool finished = process.waitForFinished(30000);
    const QByteArray said = process.readAllStandardError();
    if (errors)
        *errors = said;
    if (!finished || process.exitStatus() != QProcess::NormalExit) {
        qInfo("the later start %s:\n%s", finished ? "crashed" : "did not end", said.right(2000).constData());
        process.kill();
        process.waitForFinished();
        return -1;
    }
    return process.exitCode();
}

bool TestScripting::mountSmallDisk(const QString &folder)
{
    QDir().mkpath(folder);
    if (::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", 0, "size=1m,mode=0755") != 0)
        return false;
    m_mounts << folder;
    return true;
}

void TestScripting::failedSearchAfterAGoodOne()
{
    const QString home = makeHome();
    const QString report = home + "/out/report.html";
    startCopy(home, {photograph(5), frame, "/SAVEDATA:" + report, "/START"});
    QTRY_COMPARE_WITH_TIMEOUT(reportLinks(report).size(), 4, 60000);
    QVERIFY(QFileInfo::exists(home + "/out/report/3.jpg"));

    // Stamp 9 is on no site: the report says so, and nothing of the good one is left.
    QCOMPARE(later(home, {photograph(9), frame, "/START"}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(reportEnding(report), QByteArray("<p>no match</p>"), 60000);
    QVERIFY(reportLinks(report).isEmpty());
    QCOMPARE(QDir(home + "/out/report").entryList(QDir::Files), QStringList());

    // The copy shows "Stamp not found" in a box; the next list closes it and runs.
    QCOMPARE(later(home, {photograph(7), frame, "/START"}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(reportLinks(report).contains(TestWeb::pageUrl(Site::Colnect, "b2")), 60000);
}

void TestScripting::cancelDuringTheComparison()
{
    const QString home = makeHome();
    const QString report = home + "/report.html";
    writeOldReport(report);
    startCopy(home, {photograph(11), frame, "/SAVEDATA:" + report, "/START"});
    // The comparison waits for pictures that never come; the script ends the copy as a logout would.
    QTRY_VERIFY_WITH_TIMEOUT(!m_held.isEmpty(), 60000);
    m_running.terminate();
    QVERIFY(m_running.waitForFinished(20000));
    QCOMPARE(m_running.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_running.exitCode(), 0);
    QCOMPARE(reportEnding(report), QByteArray("<p>cancelled</p>"));
    QVERIFY(!QFileInfo::exists(home + "/report/0.jpg"));
}

void TestScripting::twoStartsInQuickSuccession()
{
    const QString home = makeHome();
    const QString first = home + "/first.html";
    const QString second = home + "/second.html";
    writeOldReport(first);
    writeOldReport(second);
    const QByteArray old = contents(first);
    // The second start comes while the first builds its window, long before its own list would
    // run (500 ms after): the first holds the lock, so it is the running copy.
    startCopy(home, {photograph(5), frame, "/SAVEDATA:" + first, "/START"}, LockHeld);
    // Taken once the first copy listens, after its own list.
    QCOMPARE(later(home, {photograph(7), frame, "/SAVEDATA:" + second, "/START"}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(reportLinks(second).contains(TestWeb::pageUrl(Site::Colnect, "b2")), 60000);
    // The first list ran before: its search started (and set the old report aside); the second's
    // then replaced it, so it wrote nothing, unless it was over by then.
    QVERIFY(contents(first) != old);
    QVERIFY(!QFileInfo::exists(first) || reportLinks(first).contains(TestWeb::pageUrl(Site::Colnect, "a3")));
}

void TestScripting::laterStartWhenTheFirstCannotTakeIt()
{
    // A first start ever: the copy waits at its licence agreement and takes no list.
    const QString home = makeHome(true);
    startCopy(home, {}, LockHeld);
    QTest::qWait(2000);
    QElapsedTimer clock;
    clock.start();
    QByteArray errors;
    QCOMPARE(later(home, {photograph(5), frame, "/START"}, QString(), &errors), 1);
    QVERIFY2(errors.contains("did not take this command list"), errors.constData());
    QVERIFY2(clock.elapsed() < 15000, qPrintable(QString::number(clock.elapsed())));
}

void TestScripting::reportPaths_data()
{
    QTest::addColumn<QString>("argument"); // as the script writes it
    QTest::addColumn<QString>("written");  // where the report lands, from the script's folder
    QTest::addColumn<QString>("refusal");  // or what the copy says
    QTest::newRow("a folder") << "/SAVEDATA:mine" << QString() << "The report path is a folder: FOLDER/mine";
    QTest::newRow("a bare name") << "/SAVEDATA:found.html" << "found.html" << QString();
    QTest::newRow("a relative path") << "/SAVEDATA:out/found.html" << "out/found.html" << QString();
}

void TestScripting::reportPaths()
{
    QFETCH(QString, argument);
    QFETCH(QString, written);
    QFETCH(QString, refusal);
    const QString home = makeHome();
    startCopy(home, {});
    // The script runs in a folder of its own, not the copy's; a folder of the user's is there.
    const QString folder = home + "/script";
    writeFile(folder + "/mine/letter.txt", "mine");
    QCOMPARE(later(home, {photograph(5), frame, argument, "/START"}, folder), 0);
    if (!written.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(reportLinks(folder + "/" + written).size(), 4, 60000);
        QVERIFY(!QFileInfo::exists(home + "/" + written));
    } else {
        refusal.replace("FOLDER", folder);
        QTRY_VERIFY_WITH_TIMEOUT(m_runningErrors.contains(refusal.toUtf8()), 20000);
        QTest::qWait(3000);
        QCOMPARE(QDir(folder + "/mine").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList({"letter.txt"}));
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList({"mine"}));
    }
}

void TestScripting::fullDisk_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("report") << "report";
    QTest::newRow("config.cfg") << "config.cfg";
}

void TestScripting::fullDisk()
{
    QFETCH(QString, file);
    const QString home = makeHome();
    if (file == "report") {
        const QString disk = home + "/disk";
        if (!mountSmallDisk(disk))
            QSKIP(qPrintable("a small tmpfs cannot be mounted here: " + qt_error_string(errno)));
        const QString report = disk + "/report.html";
        startCopy(home, {photograph(5), frame, "/SAVEDATA:" + report, "/START"});
        QTRY_COMPARE_WITH_TIMEOUT(reportLinks(report).size(), 4, 60000);
        QMap<QString, QByteArray> old;
        old["report.html"] = contents(report);
        for (const QString &name : QDir(disk + "/report").entryList(QDir::Files))
            old["report/" + name] = contents(disk + "/report/" + name);
        QCOMPARE(old.size(), 9); // the page, four pictures and their evidence

        fill(disk);
        QCOMPARE(later(home, {photograph(7), frame, "/START"}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(m_runningErrors.contains("The report could not be written"), 60000);
        QVERIFY2(m_runningErrors.contains(qt_error_string(ENOSPC).toUtf8()), m_runningErrors.constData());
        // No report passes for this search's, nothing is half written, and the old one is whole
        // where the copy said it keeps it.
        QVERIFY(!QFileInfo::exists(report));
        QCOMPARE(QDir(disk + "/report").entryList(QDir::Files), QStringList());
        for (auto it = old.cbegin(); it != old.cend(); ++it)
            QCOMPARE(contents(disk + "/.report.html.previous/" + it.key()), it.value());
    } else {
        const QString folder = home + "/Documents/Quillet";
        const QByteArray config = contents(folder + "/config.cfg");
        QVERIFY(QDir(folder).removeRecursively());
        if (!mountSmallDisk(folder))
            QSKIP(qPrintable("a small tmpfs cannot be mounted here: " + qt_error_string(errno)));
        writeFile(folder + "/config.cfg", config);
        // The copy changes a setting it will save at its quit: the folder of the last picture.
        startCopy(home, {photograph(5)});
        fill(folder);
        m_running.terminate();
        QVERIFY(m_running.waitForFinished(20000));
        QCOMPARE(m_running.exitStatus(), QProcess::NormalExit);
        QVERIFY2(m_runningErrors.contains("The settings could not be saved"), m_runningErrors.constData());
        QVERIFY2(m_runningErrors.contains(qt_error_string(ENOSPC).toUtf8()), m_runningErrors.constData());
        QCOMPARE(contents(folder + "/config.cfg"), config);
    }
}

QTEST_MAIN(TestScripting)
#include "tst_scripting.moc"
