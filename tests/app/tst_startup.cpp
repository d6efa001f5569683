#include "app/argumentdatagram.h"
#include "app/commandchannel.h"
#include "app/instancelock.h"
#include "commandsender.h"
#include "temphome.h"
#include "testenv.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <random>
#include <QtTest>

// The start-up of real program processes: handing the arguments to a running copy, and the lock
// that lets only one copy run.
class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void secondStartForwardsArguments_data();
    void secondStartForwardsArguments();
    void hostilePayloadsDecodeToWhatIsReadable_data();
    void hostilePayloadsDecodeToWhatIsReadable();
    void channelTakesListsInOrderAndDropsOversized();
    void killedCopyDoesNotBlockTheNextStart();
    void laterStartFailsWhenItsListIsNotTaken_data();
    void laterStartFailsWhenItsListIsNotTaken();

private:
    QProcessEnvironment environment() const;

    QTemporaryDir m_dir;
    QString m_lockFile;
};

void TestStartup::init()
{
    m_lockFile = m_dir.filePath("instance.lock");
    QFile hosts(m_dir.filePath("hosts.cfg"));
    QVERIFY(hosts.open(QIODevice::WriteOnly));
    hosts.write("update = 127.0.0.1:1\nmaker = 127.0.0.1:1\n"); // nothing outside is asked
}

QProcessEnvironment TestStartup::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUILLET_LOCK_FILE", m_lockFile);
    env.insert("QUILLET_HOSTS", m_dir.filePath("hosts.cfg"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    return env;
}

void TestStartup::secondStartForwardsArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no arguments") << QStringList();
    QTest::newRow("picture and commands, non-ASCII")
        << QStringList({"/START", "/tmp/Briefmarken ü/Пенни блэк.jpg", "/SEL:1,2,3,4"});
}

void TestStartup::secondStartForwardsArguments()
{
    QFETCH(QStringList, arguments);
    // This test is the running copy: it holds the lock and listens where the main window would.
    CInstanceLock running(m_lockFile);
    QVERIFY(!running.heldElsewhere());
    CCommandChannel receiver;
    QVERIFY(receiver.listen(CCommandChannel::socketPath(m_lockFile)));

    TempHome home;
    home.writeKnownConfig();
    QProcess second;
    second.setProcessEnvironment(environment());
    const QString program = TestEnv::binDir() + "/quillet";
    second.start(program, arguments);
    // The event loop turns meanwhile: the channel answers that it has the list.
    QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 30000);
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);

    QTRY_VERIFY(receiver.hasPendingLists());
    QCOMPARE(receiver.takeList(), QStringList(program) + arguments);
    QTest::qWait(200);
    QVERIFY(!receiver.hasPendingLists()); // exactly one
}

void TestStartup::hostilePayloadsDecodeToWhatIsReadable_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QStringList>("readable");
    const QByteArray good = CArgumentDatagram::encode({"quillet", "a.jpg", "/START"});
    QTest::newRow("whole") << good << QStringList{"quillet", "a.jpg", "/START"};
    QTest::newRow("cut short") << good.left(good.size() - 3) << QStringList{"quillet", "a.jpg"};
    QTest::newRow("empty") << QByteArray() << QStringList{};
    QTest::newRow("text") << QByteArray("garbage") << QStringList{};
    // Four billion strings announced, two there.
    QByteArray many = good;
    many.replace(0, 4, QByteArray("\xFF\xFF\xFF\xF0", 4));
    QTest::newRow("4 billion strings") << many << QStringList{"quillet", "a.jpg", "/START"};
    // A string announcing 2 GB in a payload of a few bytes.
    QTest::newRow("string longer than the payload")
        << QByteArray("\0\0\0\2\0\0\0\2\0a\x7F\xFF\xFF\xFEzz", 16) << QStringList{"a"};
    QTest::newRow("odd length") << QByteArray("\0\0\0\1\0\0\0\3abc", 11) << QStringList{};
    QTest::newRow("null string") << QByteArray("\0\0\0\1\xFF\xFF\xFF\xFF", 8) << QStringList{QString()};
}

void TestStartup::hostilePayloadsDecodeToWhatIsReadable()
{
    QFETCH(QByteArray, payload);
    QFETCH(QStringList, readable);
    QCOMPARE(CArgumentDatagram::decode(payload), readable);
    // Random bytes never crash and never yield more text than they hold.
    std::mt19937 random(uint(payload.size()));
    for (int round = 0; round < 200; ++round) {
        QByteArray bytes(int(random() % 64), Qt::Uninitialized);
        for (char &c : bytes)
            c = char(random());
        qsizetype chars = 0;
        for (const QString &text : CArgumentDatagram::decode(bytes))
            chars += text.size();
        QVERIFY(chars * 2 <= bytes.size());
    }
}

void TestStartup::channelTakesListsInOrderAndDropsOversized()
{
    CCommandChannel channel;
    const QString path = CCommandChannel::socketPath(m_lockFile);
    QVERIFY(channel.listen(path));
    // Three starts at once, one of them far too long.
    QVERIFY(CommandSender::send({"quillet", "first"}, path));
    QLocalSocket oversized;
    oversized.connectToServer(path);
    QVERIFY(oversized.waitForConnected());
    oversized.write(QByteArray(CCommandChannel::maxPayloadBytes + 100, 'x'));
    QVERIFY(CommandSender::send({"quillet", "second"}, path));
    QTRY_VERIFY(channel.hasPendingLists());
    QTRY_COMPARE(oversized.state(), QLocalSocket::UnconnectedState);
    QTest::qWait(100);
    QCOMPARE(channel.takeList(), QStringList({"quillet", "first"}));
    QCOMPARE(channel.takeList(), QStringList({"quillet", "second"}));
    QVERIFY(!channel.hasPendingLists());
}

void TestStartup::killedCopyDoesNotBlockTheNextStart()
{
    TempHome home;
    home.writeKnownConfig();
    const QString program = TestEnv::binDir() + "/quillet";

    QProcess first;
    first.setProcessEnvironment(environment());
    first.start(program);
    QVERIFY(first.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(TestEnv::holdsLock(first.processId()), 30000);
    first.kill(); // SIGKILL: no destructor runs, the kernel drops the lock
    QVERIFY(first.waitForFinished());

    QProcess next;
    next.setProcessEnvironment(environment());
    next.start(program);
    QVERIFY(next.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(TestEnv::holdsLock(next.processId()), 30000);
    QVERIFY(next.state() == QProcess::Running);
    next.kill();
    next.waitForFinished();
}

void TestStartup::laterStartFailsWhenItsListIsNotTaken_data()
{
    QTest::addColumn<bool>("listening");
    // The running copy is still starting, or shows its licence agreement: nobody listens.
    QTest::newRow("nobody listens") << false;
    // Something listens and takes the connection but never the list: a hung copy.
    QTest::newRow("never taken") << true;
}

void TestStartup::laterStartFailsWhenItsListIsNotTaken()
{
    QFETCH(bool, listening);
    CInstanceLock running(m_lockFile);
    QVERIFY(!running.heldElsewhere());
    QLocalServer hung;
    if (listening)
        QVERIFY(hung.listen(CCommandChannel::socketPath(m_lockFile)));

    TempHome home;
    home.writeKnownConfig();
    QProcess later;
    later.setProcessEnvironment(environment());
    QElapsedTimer clock;
    clock.start();
    later.start(TestEnv::binDir() + "/quillet", {"/START"});
    QTRY_VERIFY_WITH_TIMEOUT(later.state() == QProcess::NotRunning, 30000);
    QCOMPARE(later.exitStatus(), QProcess::NormalExit);
    QCOMPARE(later.exitCode(), 1);
    QVERIFY(later.readAllStandardError().contains("did not take this command list"));
    // A few seconds, not forever.
    QVERIFY2(clock.elapsed() < 15000, qPrintable(QString::number(clock.elapsed())));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
