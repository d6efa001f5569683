// What reaches the terminal: the libraries' chatter stays off it unless asked for, and the
// program's own warnings still show.
#include "app/platformsetup.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestTerminal : public QObject
{
    Q_OBJECT
private slots:
    void chatterIsToldFromWarnings_data();
    void chatterIsToldFromWarnings();
    void startIsQuietUnlessAsked_data();
    void startIsQuietUnlessAsked();
};

void TestTerminal::chatterIsToldFromWarnings_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("category");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("chatter");
    // Messages as the libraries write them at a start without a display.
    QTest::newRow("web engine's start-up report") << int(QtInfoMsg) << QByteArray("qt.webenginecontext")
                                                  << "\n\nGL Type: disabled\nSurface Type: ..." << true;
    QTest::newRow("sandbox note") << int(QtInfoMsg) << QByteArray("default") << "Sandboxing disabled by user." << true;
    QTest::newRow("display plugin") << int(QtWarningMsg) << QByteArray("qt.qpa.plugin")
                                    << "This plugin does not support propagateSizeHints()" << true;
    QTest::newRow("runtime folder") << int(QtWarningMsg) << QByteArray("default")
                                    << "QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to '/tmp/runtime-root'" << true;
    QTest::newRow("graphics backend") << int(QtWarningMsg) << QByteArray("default") << "No suitable graphics backend found" << true;
    QTest::newRow("page script") << int(QtWarningMsg) << QByteArray("js") << "Uncaught ReferenceError: x" << true;
    QTest::newRow("our debug line") << int(QtDebugMsg) << QByteArray("default") << "report path error" << true;
    // What the user must see.
    QTest::newRow("our warning") << int(QtWarningMsg) << QByteArray("default")
                                 << "cannot write the list of stamps to /tmp/x.html" << false;
    QTest::newRow("critical") << int(QtCriticalMsg) << QByteArray("qt.core") << "out of memory" << false;
}

void TestTerminal::chatterIsToldFromWarnings()
{
    QFETCH(int, type);
    QFETCH(QByteArray, category);
    QFETCH(QString, text);
    QFETCH(bool, chatter);
    QCOMPARE(CPlatformSetup::isChatter(QtMsgType(type), category.constData(), text), chatter);
}

void TestTerminal::startIsQuietUnlessAsked_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("debug");
    QTest::addColumn<bool>("verbose");
    QTest::newRow("plain start") << QStringList{} << "" << false;
    QTest::newRow("--verbose") << QStringList{"--verbose"} << "" << true;
    QTest::newRow("QUILLET_DEBUG=1") << QStringList{} << "1" << true;
    QTest::newRow("QUILLET_DEBUG=0") << QStringList{} << "0" << false;
}

// The real program, shown for a second on the offscreen platform (its start-up report ends it).
void TestTerminal::startIsQuietUnlessAsked()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, debug);
    QFETCH(bool, verbose);
    QTemporaryDir home;
    QVERIFY(QDir().mkpath(home.filePath("Documents/Quillet")));
    QFile config(home.filePath("Documents/Quillet/config.cfg"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("path = " + qgetenv("QUILLET_BIN_DIR") + "\nlanguage = english\n");
    config.close();
    QFile hosts(home.filePath("hosts.cfg"));
    QVERIFY(hosts.open(QIODevice::WriteOnly));
    hosts.write("update = 127.0.0.1:1\nmaker = 127.0.0.1:1\n"); // nothing outside is asked
    hosts.close();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home.path());
    env.remove("XDG_CONFIG_HOME");
    env.remove("XDG_RUNTIME_DIR");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QUILLET_HOSTS", hosts.fileName());
    env.insert("QUILLET_LOCK_FILE", home.filePath("instance.lock"));
    env.insert("QUILLET_STARTUP_REPORT", home.filePath("report.txt"));
    env.remove("QUILLET_DEBUG");
    if (!debug.isEmpty())
        env.insert("QUILLET_DEBUG", debug);
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(qEnvironmentVariable("QUILLET_BIN_DIR") + "/quillet", arguments);
    QVERIFY(program.waitForFinished(60000));
    QCOMPARE(program.exitCode(), 0);
    const QString err = QString::fromLocal8Bit(program.readAllStandardError());
    // A start with nothing wrong leaves the terminal empty; asked, the web engine's report shows.
    if (verbose)
        QVERIFY2(err.contains("qt.webenginecontext"), qPrintable(err));
    else
        QVERIFY2(err.trimmed().isEmpty(), qPrintable(err));
    QVERIFY(QFile::exists(home.filePath("report.txt")));
}

QTEST_MAIN(TestTerminal)
#include "tst_terminal.moc"
