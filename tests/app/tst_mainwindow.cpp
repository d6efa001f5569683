#include "app/aboutdlg.h"
#include "app/appconfig.h"
#include "app/euladlg.h"
#include "app/mainwindow.h"
#include "app/translationtable.h"
#include "app/windowsettings.h"
#include "modalanswerer.h"
#include "server/httpserver.h"
#include "temphome.h"
#include "urlrecorder.h"

#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QProgressDialog>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QToolButton>
#include <QtTest>

namespace {

QToolButton *buttonWithText(QWidget *parent, const QString &text)
{
    for (QToolButton *button : parent->findChildren<QToolButton *>()) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

// A hosts file that points the update check at a local server.
class HostsFile
{
public:
    explicit HostsFile(const QString &lines)
    {
        m_file.open();
        m_file.write(lines.toUtf8());
        m_file.flush();
        qputenv("QUILLET_HOSTS", m_file.fileName().toLocal8Bit());
    }
    ~HostsFile() { qunsetenv("QUILLET_HOSTS"); }

private:
    QTemporaryFile m_file;
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void widgetTreeAtStart();
    void languageChangeRetranslatesAtOnce();
    void settingsDialogRules();
    void firstStartShowsDialogsInOrder();
    void licenceClosedCountsAsRejected();
    void aboutBox_data();
    void aboutBox();
    void manualOpensPage();
    void updateCheck_data();
    void updateCheck();
};

void TestMainWindow::init()
{
    // Nothing the tests do may reach the maker's real site.
    qputenv("QUILLET_HOSTS", "/nonexistent");
}

void TestMainWindow::widgetTreeAtStart()
{
    TempHome home;
    home.writeKnownConfig();
    MainWindow window({"quillet"});
    window.setMinimumSize(1000, 655);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(window.width() >= 1000 && window.height() >= 655);
    QCOMPARE(window.windowTitle(), QString("Quillet"));

    for (const char *name : {"centralWidget", "widget_2", "tabWidget", "tab", "tab_2", "up_panel", "left_panel"})
        QVERIFY2(window.findChild<QWidget *>(name), name);
    auto *tabs = window.findChild<QTabWidget *>("tabWidget");
    QCOMPARE(tabs->currentIndex(), 0);
    QCOMPARE(tabs->tabText(0), QString("Stamp"));
    QCOMPARE(tabs->tabText(1), QString("Browser"));

    auto *panel = window.findChild<QWidget *>("up_panel");
    QVERIFY(buttonWithText(panel, "Open")->isEnabled());
    QVERIFY(!buttonWithText(panel, "Search")->isEnabled());
    QCOMPARE(buttonWithText(panel, "Search")->toolTip(), QString("Start Stamp Searching"));
    int disabled = 0;
    for (QToolButton *button : panel->findChildren<QToolButton *>())
        disabled += !button->isEnabled();
    QCOMPARE(disabled, 5); // Search, Select All, both turns and Identify all wait for a picture

    const QList<QCheckBox *> sites = window.findChildren<QCheckBox *>();
    QCOMPARE(sites.size(), 3);
    for (QCheckBox *site : sites) {
        QVERIFY(site->isChecked());
        QVERIFY(!site->isVisible());
    }
    QVERIFY(!window.progress()->isVisible());
    QCOMPARE(window.progress()->size(), QSize(400, 360));
    QTest::qWait(100); // the progress dialog must not show itself after its delay either
    QVERIFY(!window.progress()->isVisible());
}

void TestMainWindow::languageChangeRetranslatesAtOnce()
{
    TempHome home;
    home.writeKnownConfig("german");
    MainWindow window({"quillet"});
    auto *panel = window.findChild<QWidget *>("up_panel");
    QVERIFY(buttonWithText(panel, "Öffnen"));
    QCOMPARE(window.progress()->windowTitle(), QString("Suche läuft ..."));

    CWindowSettings *settings = window.settings();
    QComboBox *languages = settings->languageBox();
    QVERIFY(languages->findText("Français") >= 0);
    QCOMPARE(languages->currentText(), QString("Deutsch"));
    languages->setCurrentText("Français");
    settings->slotOnOk();

    QVERIFY(buttonWithText(panel, "Ouvrir"));
    QCOMPARE(settings->windowTitle(), QString("Réglages"));
    QVERIFY(home.readConfig().contains("language = french\n"));
}

void TestMainWindow::settingsDialogRules()
{
    TempHome home;
    home.writeConfig("language = german\nmax_out = 45\n");
    AppConfig config;
    QVERIFY(config.firstStart);
    CTranslationTable table;
    CWindowSettings settings(nullptr, &config, &table);
    QCOMPARE(settings.limitBox()->value(), 30); // shown clamped
    QCOMPARE(table.tr("Ok"), QString("OK"));   // the dialog loaded the configured language

    // Edits are thrown away by Cancel; on a first start Cancel still records the program folder.
    settings.limitBox()->setValue(5);
    settings.slotOnCancel();
    QCOMPARE(settings.limitBox()->value(), 30);
    QVERIFY(home.readConfig().startsWith("path = " + QCoreApplication::applicationDirPath() + "\n"));
    QVERIFY(home.readConfig().contains("max_out = 45\n"));

    AppConfig later;
    QVERIFY(!later.firstStart);
    home.writeConfig("path = " + QCoreApplication::applicationDirPath() + "\nmax_out = 45\n");
    later.load();
    CWindowSettings laterSettings(nullptr, &later, &table);
    laterSettings.slotOnCancel();
    QCOMPARE(home.readConfig(), "path = " + QCoreApplication::applicationDirPath() + "\nmax_out = 45\n");
    laterSettings.slotOnOk(); // Ok saves the clamped value
    AppConfig reread;
    QCOMPARE(reread.max_out, 30);
}

void TestMainWindow::firstStartShowsDialogsInOrder()
{
    TempHome home;
    UrlRecorder browser;
    QStringList order;
    ModalAnswerer answerer([&](QWidget *dialog) {
        order << dialog->metaObject()->className();
        QVERIFY(browser.urls.isEmpty()); // the setup page comes last
        if (auto *eula = qobject_cast<CEulaDlg *>(dialog))
            eula->findChild<QPushButton *>()->click(); // the first button is "Accept"
        else if (auto *settings = qobject_cast<CWindowSettings *>(dialog))
            settings->slotOnOk();
    });
    MainWindow window({"quillet"});
    QCOMPARE(order, QStringList({"CEulaDlg", "CWindowSettings"}));
    QCOMPARE(browser.urls.size(), 1);
    QCOMPARE(browser.urls.first().path(), QString("/qv-setup.html"));
    QVERIFY(!window.isVisible());
    AppConfig next;
    QVERIFY(!next.firstStart);
}

void TestMainWindow::licenceClosedCountsAsRejected()
{
    CEulaDlg eula;
    eula.show();
    eula.close();
    QCOMPARE(eula.decision(), -1);
    CEulaDlg accepted;
    accepted.OnOk();
    QCOMPARE(accepted.decision(), 0);
    QVERIFY(CEulaDlg::agreementText().contains("Accept"));
}

void TestMainWindow::aboutBox_data()
{
    QTest::addColumn<bool>("visit");
    QTest::addColumn<int>("pagesOpened");
    QTest::newRow("Close opens nothing") << false << 0;
    QTest::newRow("Visit opens the home page once") << true << 1;
}

void TestMainWindow::aboutBox()
{
    QFETCH(bool, visit);
    TempHome home;
    home.writeKnownConfig();
    UrlRecorder browser;
    MainWindow window({"quillet"});
    window.move(-600, -500); // partly off the screen: the box must still land at 0 or more
    QPoint boxPosition(-1, -1);
    ModalAnswerer answerer([&](QWidget *dialog) {
        auto *about = qobject_cast<CAboutDlg *>(dialog);
        QVERIFY(about);
        boxPosition = about->pos();
        visit ? about->OnVisit() : about->OnOk();
    });
    window.slotAbout();
    QVERIFY(boxPosition.x() >= 0 && boxPosition.y() >= 0);
    QTEST(int(browser.urls.size()), "pagesOpened");
    if (visit)
        QCOMPARE(browser.urls.first().path(), QString("/"));
}

void TestMainWindow::manualOpensPage()
{
    TempHome home;
    home.writeKnownConfig();
    UrlRecorder browser;
    MainWindow window({"quillet"});
    window.slotManual();
    QCOMPARE(browser.urls.size(), 1);
    QCOMPARE(browser.urls.first().path(), QString("/qv-manual.html"));
}

void TestMainWindow::updateCheck_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("yes");
    QTest::addColumn<bool>("asked");

    QTest::newRow("equal is not newer") << 200 << QByteArray("30006") << true << false;
    QTest::newRow("newer, answered Yes") << 200 << QByteArray("30007") << true << true;
    QTest::newRow("newer, answered No") << 200 << QByteArray("30007") << false << true;
    QTest::newRow("other fields ignored") << 200 << QByteArray("30100,2026-01-01,notes") << true << true;
    QTest::newRow("not hexadecimal") << 200 << QByteArray("3.0.7") << true << false;
    QTest::newRow("empty") << 200 << QByteArray() << true << false;
    QTest::newRow("server error") << 404 << QByteArray("30007") << true << false;
    QTest::newRow("megabytes after the version") << 200 << QByteArray("30007," + QByteArray(8 << 20, 'z')) << true << true;
}

void TestMainWindow::updateCheck()
{
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QFETCH(bool, yes);
    QFETCH(bool, asked);

    QList<QByteArray> requests;
    HttpServer server([&](HttpServer::Request &request) {
        requests << request.method + ' ' + request.target + ' ' + request.header("User-Agent") + ' '
                        + request.header("Content-Type");
        HttpServer::respond(request.socket, status, answer, "text/plain");
    });
    QVERIFY(server.listen());
    HostsFile hosts("update = " + server.hostAndPort() + "\nmaker = makers.example\n");

    TempHome home;
    home.writeKnownConfig();
    UrlRecorder browser;
    QStringList questions;
    ModalAnswerer answerer([&](QWidget *dialog) {
        auto *box = qobject_cast<QMessageBox *>(dialog);
        QVERIFY(box);
        questions << box->windowTitle() + "|" + box->text();
        box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
    });
    MainWindow window({"quillet"});
    auto *manager = window.findChild<QNetworkAccessManager *>();
    QVERIFY(manager);
    QSignalSpy finished(manager, &QNetworkAccessManager::finished);
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);

    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first(),
             QByteArray("GET /qvupd1.php Check for updates application/x-www-form-urlencoded"));
    if (asked) {
        QCOMPARE(questions, QStringList({"Quillet Update|New version of Quillet available for "
                                         "download\r\nWould you like to update?"}));
        QCOMPARE(browser.urls.size(), yes ? 1 : 0);
        if (yes)
            QCOMPARE(browser.urls.first(), QUrl("http://makers.example/qvdownload.html"));
    } else {
        QTest::qWait(100);
        QVERIFY(questions.isEmpty());
        QVERIFY(browser.urls.isEmpty());
    }
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
