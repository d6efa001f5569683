#include "app/appconfig.h"
#include "temphome.h"
#include "sites/hostconfig.h"
#include "sites/keyvaluefile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFile>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

class TestAppConfig : public QObject
{
    Q_OBJECT
private slots:
    void defaultsWhenNothingExists();
    void roundTrip();
    void readsLines_data();
    void readsLines();
    void saveWrites_data();
    void saveWrites();
    void programFolderWithBlanksStillMatches();
    void garbageFileGivesDefaultsAndIsRewritten();
    void missingFileIsCreatedWhenFolderExists();
    void failedSaveKeepsTheOldFile();
    void filesTooLargeAreRefused_data();
    void filesTooLargeAreRefused();
};

void TestAppConfig::defaultsWhenNothingExists()
{
    TempHome home;
    AppConfig config;
    QVERIFY(config.firstStart);
    QCOMPARE(config.max_out, 10);
    QVERIFY(config.language.isEmpty());
    QVERIFY(QDir(home.configFolder()).exists()); // the load made the folder
    QVERIFY(!QFile::exists(home.configFolder() + "config.cfg"));
    config.save();
    QVERIFY(QFile::exists(home.configFolder() + "config.cfg"));
    AppConfig again;
    QVERIFY(!again.firstStart); // the save recorded this program's folder
}

void TestAppConfig::roundTrip()
{
    TempHome home;
    QDir(home.path()).mkpath("my pictures/old stamps");
    AppConfig config;
    config.language = "german";
    config.max_out = 17;
    config.last_path = home.path() + "/my pictures/old stamps/penny black.jpg";
    config.save();
    QVERIFY(home.readConfig().contains("my///pictures/old///stamps/\n"));

    AppConfig loaded;
    QCOMPARE(loaded.language, QString("german"));
    QCOMPARE(loaded.max_out, 17);
    QCOMPARE(loaded.last_path, home.path() + "/my pictures/old stamps/");
    QVERIFY(!loaded.firstStart);
}

void TestAppConfig::readsLines_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("language");
    QTest::addColumn<int>("maxOut");
    QTest::addColumn<QString>("lastPath");

    QTest::newRow("blanks around everything") << "   language   =   german   \n" << "german" << 10 << "";
    QTest::newRow("blank inside a value is lost") << "language = old english\n" << "oldenglish" << 10 << "";
    QTest::newRow("value ends at the next =") << "language = de=fr\n" << "de" << 10 << "";
    QTest::newRow("key without = is skipped") << "language\nmax_out\n" << "" << 10 << "";
    QTest::newRow("keys are case-sensitive") << "Language = german\nMAX_OUT = 5\n" << "" << 10 << "";
    QTest::newRow("max_out not a number reads as the default") << "max_out = many\n" << "" << 10 << "";
    QTest::newRow("colnet is ignored") << "colnet = 10\n" << "" << 10 << "";
    QTest::newRow("empty last_path") << "last_path = \n" << "" << 10 << "";
    QTest::newRow("last_path blanks restored") << "last_path = /a///b/c///d/\n" << "" << 10 << "/a b/c d/";
    QTest::newRow("windows line endings") << "language = german\r\nmax_out = 3\r\n" << "german" << 3 << "";
}

void TestAppConfig::readsLines()
{
    QFETCH(QString, file);
    TempHome home;
    home.writeConfig(file);
    AppConfig config;
    QTEST(config.language, "language");
    QTEST(int(config.max_out), "maxOut");
    QTEST(config.last_path, "lastPath");
    QVERIFY(config.firstStart);
}

void TestAppConfig::saveWrites_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<int>("maxOut");
    QTest::addColumn<QString>("expectedLines");
    QTest::addColumn<int>("reloadedMaxOut");

    QTest::newRow("empty language") << "" << 10 << "language = english\nmax_out = 10\nlast_path = \n" << 10;
    QTest::newRow("max_out 0") << "french" << 0 << "language = french\ncolnet = 10\nlast_path = \n" << 10;
    QTest::newRow("max_out 30") << "german" << 30 << "language = german\nmax_out = 30\nlast_path = \n" << 30;
}

void TestAppConfig::saveWrites()
{
    QFETCH(QString, language);
    QFETCH(int, maxOut);
    QFETCH(QString, expectedLines);
    TempHome home;
    AppConfig config;
    config.language = language;
    config.max_out = maxOut;
    config.save();
    QCOMPARE(home.readConfig(), "path = " + QCoreApplication::applicationDirPath() + "\n" + expectedLines);
    AppConfig reloaded;
    QTEST(int(reloaded.max_out), "reloadedMaxOut");
}

void TestAppConfig::programFolderWithBlanksStillMatches()
{
    // Blanks are dropped on both sides of the comparison, so a program folder whose name holds a
    // blank is still recognised on the next start.
    TempHome home;
    QString folder = QCoreApplication::applicationDirPath();
    folder.insert(folder.size() / 2, " ");
    home.writeConfig("path = " + folder + "\n");
    AppConfig config;
    QVERIFY(!config.firstStart);
}

void TestAppConfig::garbageFileGivesDefaultsAndIsRewritten()
{
    TempHome home;
    QByteArray garbage;
    for (int i = 0; i < 5000; ++i)
        garbage.append(char((i * 37) % 256));
    garbage += QByteArray(200000, 'x'); // a line far longer than any setting
    garbage += "=german\nlanguage = french\n";
    QDir().mkpath(home.configFolder());
    QFile file(home.configFolder() + "config.cfg");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(garbage);
    file.close();

    AppConfig config;
    QCOMPARE(config.language, QString("french")); // the good line after the garbage still counts
    QCOMPARE(config.max_out, 10);
    QVERIFY(config.firstStart);
    config.save();
    QCOMPARE(home.readConfig(), "path = " + QCoreApplication::applicationDirPath()
                                    + "\nlanguage = french\nmax_out = 10\nlast_path = \n");
}

void TestAppConfig::missingFileIsCreatedWhenFolderExists()
{
    TempHome home;
    QDir().mkpath(home.configFolder());
    AppConfig config;
    QVERIFY(QFile::exists(home.configFolder() + "config.cfg"));
    QVERIFY(config.firstStart);
}

void TestAppConfig::failedSaveKeepsTheOldFile()
{
    TempHome home;
    home.writeKnownConfig("german");
    const QString before = home.readConfig();
    AppConfig config;
    config.language = "french";
    // Files may grow no larger than 20 bytes now, as on a disk that fills up while writing.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit normal{};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &normal) == 0);
    rlimit tight = normal;
    tight.rlim_cur = 20;
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &tight) == 0);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^The settings could not be saved: .*config.cfg: "
                                                          + QRegularExpression::escape(qt_error_string(EFBIG)) + "$"));
    const QString error = config.save();
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &normal) == 0);
    QVERIFY(error.endsWith(qt_error_string(EFBIG)));
    QCOMPARE(home.readConfig(), before);
    QCOMPARE(QDir(home.configFolder()).entryList(QDir::Files | QDir::Hidden), QStringList({"config.cfg"}));
}

void TestAppConfig::filesTooLargeAreRefused_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("read");
    for (const char *file : {"config.cfg", "hosts.cfg"}) {
        QTest::addRow("%s at the limit", file) << QString(file) << KeyValueFile::maxFileSize << true;
        QTest::addRow("%s a byte over", file) << QString(file) << KeyValueFile::maxFileSize + 1 << false;
        QTest::addRow("%s of 100 MB", file) << QString(file) << qint64(100) * 1024 * 1024 << false;
    }
}

void TestAppConfig::filesTooLargeAreRefused()
{
    QFETCH(QString, file);
    QFETCH(qint64, size);
    QFETCH(bool, read);
    TempHome home;
    QDir().mkpath(home.configFolder());
    // A good setting first, then zero bytes up to the size (a sparse file: no disk is used).
    QFile out(home.configFolder() + file);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(file == "config.cfg" ? "language = french\n" : "recognition = 127.0.0.1:9\n");
    QVERIFY(out.resize(size));
    out.close();
    QCOMPARE(QFileInfo(out).size(), size);

    QElapsedTimer clock;
    clock.start();
    if (file == "config.cfg") {
        AppConfig config;
        QCOMPARE(config.language, read ? QString("french") : QString());
        QCOMPARE(config.fileTooLarge, !read);
    } else {
        const HostConfig hosts = HostConfig::load(home.configFolder());
        QCOMPARE(hosts.value("recognition"), read ? QString("127.0.0.1:9") : HostConfig::defaultValue("recognition"));
        QCOMPARE(hosts.refusedFiles(), read ? QStringList() : QStringList{home.configFolder() + file});
    }
    qInfo("read or refused in %lld ms", clock.elapsed());
}

QTEST_GUILESS_MAIN(TestAppConfig)
#include "tst_appconfig.moc"
