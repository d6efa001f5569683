#include "app/translationtable.h"
#include "testenv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// The install rules staged into a temporary DESTDIR, and the installed programs run from there:
// they must find their pictures and languages beside themselves, wherever that is.
class TestInstall : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void launchersPrintTheVersion_data();
    void launchersPrintTheVersion();
    void installedProgramFindsPicturesAndLanguages();
    void iconIsRenderedAtItsSize();
    void debianPackageNamesTheLibraries();

private:
    QString installed(const QString &path) const { return m_stage.path() + "/usr/" + path; }

    QTemporaryDir m_stage;
};

void TestInstall::initTestCase()
{
    QVERIFY(m_stage.isValid());
    QProcess install;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DESTDIR", m_stage.path());
    install.setProcessEnvironment(env);
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(qEnvironmentVariable("QUILLET_CMAKE"),
                  {"--install", qEnvironmentVariable("QUILLET_BUILD_DIR"), "--prefix", "/usr"});
    QVERIFY(install.waitForFinished(300000));
    QVERIFY2(install.exitStatus() == QProcess::NormalExit && install.exitCode() == 0,
             install.readAll().constData());
}

void TestInstall::launchersPrintTheVersion_data()
{
    QTest::addColumn<QString>("program");
    QTest::newRow("quillet") << "quillet";
    QTest::newRow("quillet-server") << "quillet-server";
}

void TestInstall::launchersPrintTheVersion()
{
    QFETCH(QString, program);
    const QString launcher = installed("bin/" + program);
    QVERIFY2(QFileInfo(launcher).isSymLink(), qPrintable(launcher));
    QProcess run;
    run.start(launcher, {"--version"});
    QVERIFY(run.waitForFinished(30000));
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(run.readAllStandardOutput()).trimmed(),
             program + " " + QUILLET_VERSION_STRING);
}

void TestInstall::installedProgramFindsPicturesAndLanguages()
{
    const QString folder = QFileInfo(installed("lib/quillet")).canonicalFilePath();
    QVERIFY(!folder.isEmpty());

    // A home whose configuration knows the installed folder (no first-start dialog) and asks for
    // German; hosts that answer nothing, so no update check leaves the machine.
    QTemporaryDir home;
    QVERIFY(QDir().mkpath(home.filePath("Documents/Quillet")));
    QFile config(home.filePath("Documents/Quillet/config.cfg"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(QString("path = %1\nlanguage = german\nmax_out = 10\nlast_path = \n").arg(folder).toUtf8());
    config.close();
    QFile hosts(home.filePath("hosts.cfg"));
    QVERIFY(hosts.open(QIODevice::WriteOnly));
    hosts.write("update = 127.0.0.1:1\nmaker = 127.0.0.1:1\n");
    hosts.close();
    QImage picture(120, 160, QImage::Format_RGB32);
    picture.fill(QColor("#a03020"));
    const QString picturePath = home.filePath("a stamp.png");
    QVERIFY(picture.save(picturePath));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home.path());
    env.remove("XDG_CONFIG_HOME");
    env.insert("QUILLET_HOSTS", home.filePath("hosts.cfg"));
    env.insert("QUILLET_LOCK_FILE", home.filePath("instance.lock"));
    env.insert("QUILLET_STARTUP_REPORT", home.filePath("report.txt"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess run;
    run.setProcessEnvironment(env);
    run.setProcessChannelMode(QProcess::ForwardedChannels);
    run.start(installed("bin/quillet"), {picturePath});
    QVERIFY(run.waitForFinished(120000));
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.exitCode(), 0);

    QFile reportFile(home.filePath("report.txt"));
    QVERIFY2(reportFile.open(QIODevice::ReadOnly), "the program wrote no start-up report");
    QMap<QString, QString> report;
    for (const QString &line : QString::fromUtf8(reportFile.readAll()).split('\n', Qt::SkipEmptyParts))
        report.insert(line.section('=', 0, 0), line.section('=', 1));

    QCOMPARE(report.value("folder"), folder);
    QCOMPARE(report.value("arguments"), picturePath);
    // As many texts as the build's German file holds, and every language the build made.
    CTranslationTable german;
    german.load(TestEnv::binDir() + "/german.lng");
    QVERIFY(german.size() > 0);
    QCOMPARE(report.value("language"), QString("german"));
    QCOMPARE(report.value("texts").toInt(), german.size());
    QCOMPARE(report.value("languages"), CTranslationTable::languages(TestEnv::binDir()).join(' '));
    // Every picture the window asked for, on its buttons and in its style sheets.
    for (const char *key : {"panel_pictures", "style_pictures"}) {
        const QStringList counts = report.value(key).split('/');
        QCOMPARE(counts.size(), 2);
        QVERIFY2(counts[1].toInt() > 0, key);
        QVERIFY2(counts[0] == counts[1], qPrintable(QString(key) + " " + report.value(key)));
    }
    QCOMPARE(report.value("missing"), QString());
}

void TestInstall::iconIsRenderedAtItsSize()
{
    const QImage icon(installed("share/icons/hicolor/48x48/apps/example.quillet.Quillet.png"));
    QCOMPARE(icon.size(), QSize(48, 48));
    QVERIFY(icon.hasAlphaChannel());
    QCOMPARE(qAlpha(icon.pixel(0, 0)), 0);    // the corner outside the rounded tile
    QCOMPARE(qAlpha(icon.pixel(24, 24)), 255); // the stamp
}

void TestInstall::debianPackageNamesTheLibraries()
{
    QTemporaryDir out;
    QProcess cpack;
    cpack.setProcessChannelMode(QProcess::MergedChannels);
    cpack.start(qEnvironmentVariable("QUILLET_CPACK"),
                {"-G", "DEB", "-B", out.path(), "--config",
                 qEnvironmentVariable("QUILLET_BUILD_DIR") + "/CPackConfig.cmake"});
    QVERIFY(cpack.waitForFinished(300000));
    QVERIFY2(cpack.exitCode() == 0, cpack.readAll().constData());
    const QStringList packages = QDir(out.path()).entryList({QString("quillet_%1_*.deb").arg(QUILLET_VERSION_STRING)});
    QCOMPARE(packages.size(), 1);
    const QString package = out.filePath(packages.first());

    const auto dpkgDeb = [&](const QString &option, const QStringList &after = {}) {
        QProcess run;
        run.start("dpkg-deb", QStringList{option, package} + after);
        run.waitForFinished(60000);
        return QString::fromUtf8(run.readAllStandardOutput());
    };
    // Found by dpkg-shlibdeps from what the programs link, not written by hand.
    const QString depends = dpkgDeb("--field", {"Depends"});
    for (const char *library : {"libqt6widgets6", "libqt6webenginecore6", "libopencv-core", "libgumbo"})
        QVERIFY2(depends.contains(library), qPrintable(library + (" not in: " + depends)));
    const QString contents = dpkgDeb("--contents");
    for (const char *entry : {"./usr/bin/quillet -> ../lib/quillet/quillet", "./usr/lib/quillet/german.lng",
                              "./usr/lib/quillet/resources/logo.png", "./usr/share/metainfo/example.quillet.Quillet",
                              "./usr/share/man/man1/quillet-server.1.gz"})
        QVERIFY2(contents.contains(entry), entry);
}

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
