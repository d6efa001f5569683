#include "app/commandchannel.h"
#include "app/instancelock.h"
#include "temphome.h"
#include "testenv.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// --help and --version as the first argument print and end the program without taking the lock or
// sending anything; anywhere else in the list they are arguments like any other and go to the
// running copy.
class TestCommandLineHelp : public QObject
{
    Q_OBJECT
private slots:
    void printsAndEnds_data();
    void printsAndEnds();
    void laterArgumentGoesToTheRunningCopy();

private:
    QProcessEnvironment environment() const;

    QTemporaryDir m_dir;
    TempHome m_home;
};

QProcessEnvironment TestCommandLineHelp::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUILLET_LOCK_FILE", m_dir.filePath("instance.lock"));
    env.insert("QUILLET_HOSTS", m_dir.filePath("hosts.cfg"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    return env;
}

void TestCommandLineHelp::printsAndEnds_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("expected");
    const QStringList usage = {"Usage: ", "[picture]", "/SEL:X,Y,W,H", "/SELALL", "/SAVEDATA:FILE",
                               "/START", "hosts.cfg", "QUILLET_HOSTS", "config.cfg",
                               m_home.configFolder()};
    const QStringList version = {QStringLiteral("quillet " QUILLET_VERSION_STRING "\n")};
    QTest::newRow("--help") << QStringList{"--help"} << usage;
    QTest::newRow("-h, more after it") << QStringList{"-h", "/START"} << usage;
    QTest::newRow("--version") << QStringList{"--version"} << version;
    QTest::newRow("-v") << QStringList{"-v"} << version;
}

void TestCommandLineHelp::printsAndEnds()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, expected);
    CCommandChannel receiver;
    QVERIFY(receiver.listen(CCommandChannel::socketPath(m_dir.filePath("instance.lock"))));

    QProcess run;
    run.setProcessEnvironment(environment());
    run.start(TestEnv::binDir() + "/quillet", arguments);
    QVERIFY(run.waitForFinished(30000));
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.exitCode(), 0);
    const QString out = QString::fromUtf8(run.readAllStandardOutput());
    for (const QString &text : expected)
        QVERIFY2(out.contains(text), qPrintable("no \"" + text + "\" in:\n" + out));

    QTest::qWait(300);
    QVERIFY(!receiver.hasPendingLists());
    QVERIFY(!QFile::exists(m_dir.filePath("instance.lock")));
}

void TestCommandLineHelp::laterArgumentGoesToTheRunningCopy()
{
    CInstanceLock running(m_dir.filePath("instance.lock"));
    QVERIFY(!running.heldElsewhere());
    CCommandChannel receiver;
    QVERIFY(receiver.listen(CCommandChannel::socketPath(m_dir.filePath("instance.lock"))));

    const QString program = TestEnv::binDir() + "/quillet";
    const QStringList arguments = {"/START", "--help", "--version"};
    QProcess second;
    second.setProcessEnvironment(environment());
    second.start(program, arguments);
    // The channel answers the later start from the event loop, which must turn meanwhile.
    QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 30000);
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(second.readAllStandardOutput(), QByteArray());

    QTRY_VERIFY(receiver.hasPendingLists());
    QCOMPARE(receiver.takeList(), QStringList(program) + arguments);
}

QTEST_GUILESS_MAIN(TestCommandLineHelp)
#include "tst_commandlinehelp.moc"
