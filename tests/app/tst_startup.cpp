#include "app/argumentdatagram.h"
#include "app/instancelock.h"
#include "temphome.h"
#include "testenv.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
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
    void datagramOfGarbageDecodesToWhatIsReadable();
    void killedCopyDoesNotBlockTheNextStart();

private:
    QProcessEnvironment environment() const;
    static bool holdsLock(qint64 pid);

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

bool TestStartup::holdsLock(qint64 pid)
{
    // The kernel's table of file locks names the process that holds each one.
    QFile locks("/proc/locks");
    if (!locks.open(QIODevice::ReadOnly))
        return false;
    const QByteArray pidText = ' ' + QByteArray::number(pid) + ' ';
    for (const QByteArray &line : locks.readAll().split('\n')) {
        if (line.contains("FLOCK") && line.contains(pidText))
            return true;
    }
    return false;
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
    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress::LocalHost, CArgumentDatagram::receiverPort));

    TempHome home;
    home.writeKnownConfig();
    QProcess second;
    second.setProcessEnvironment(environment());
    const QString program = TestEnv::binDir() + "/quillet";
    second.start(program, arguments);
    QVERIFY(second.waitForFinished(30000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);

    QTRY_VERIFY(receiver.hasPendingDatagrams());
    QByteArray datagram(int(receiver.pendingDatagramSize()), 0);
    receiver.readDatagram(datagram.data(), datagram.size());
    QTest::qWait(200);
    QVERIFY(!receiver.hasPendingDatagrams()); // exactly one

    // Big-endian count, then the program path as UTF-16 with its length in bytes.
    QCOMPARE(qFromBigEndian<quint32>(datagram.constData()), quint32(arguments.size() + 1));
    QCOMPARE(qFromBigEndian<quint32>(datagram.constData() + 4), quint32(program.size() * 2));
    const QStringList received = CArgumentDatagram::decode(datagram);
    QCOMPARE(received, QStringList(program) + arguments);
}

void TestStartup::datagramOfGarbageDecodesToWhatIsReadable()
{
    QByteArray good = CArgumentDatagram::encode({"quillet", "a.jpg", "/START"});
    QCOMPARE(CArgumentDatagram::decode(good), QStringList({"quillet", "a.jpg", "/START"}));
    QCOMPARE(CArgumentDatagram::decode(good.left(good.size() - 3)), QStringList({"quillet", "a.jpg"}));
    QByteArray hugeCount("\xFF\xFF\xFF\xF0", 4);
    QVERIFY(CArgumentDatagram::decode(hugeCount).isEmpty());
    QVERIFY(CArgumentDatagram::decode(QByteArray("garbage")).isEmpty());
    QVERIFY(CArgumentDatagram::decode(QByteArray()).isEmpty());
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
    QTRY_VERIFY_WITH_TIMEOUT(holdsLock(first.processId()), 30000);
    first.kill(); // SIGKILL: no destructor runs, the kernel drops the lock
    QVERIFY(first.waitForFinished());

    QProcess next;
    next.setProcessEnvironment(environment());
    next.start(program);
    QVERIFY(next.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(holdsLock(next.processId()), 30000);
    QVERIFY(next.state() == QProcess::Running);
    next.kill();
    next.waitForFinished();
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
