// The main window around a search: what the progress panel, the buttons and the strip show, and
// closing the window while the search waits.
#include "app/mainwindow.h"
#include "matching/loadthreadimg.h"
#include "matching/stampgenerator.h"
#include "modalanswerer.h"
#include "results/pressbutton.h"
#include "search/pc1cipher.h"
#include "results/scrollpreview.h"
#include "search/stampsearch.h"
#include "server/democatalogue.h"
#include "serverprocess.h"
#include "sites/hostconfig.h"
#include "temphome.h"
#include "standins/testweb.h"

#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QProgressDialog>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

using G = CStampGenerator;
using Site = TestWeb::Site;

namespace {

// Answers every message box with OK and keeps its text; the progress panel is left alone.
ModalAnswerer::Answer acceptMessageBoxes(QStringList *texts)
{
    return [texts](QWidget *dialog) {
        if (auto *box = qobject_cast<QMessageBox *>(dialog)) {
            *texts << box->text();
            box->accept();
        }
    };
}

} // namespace

class TestSearchWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void searchFillsTheStrip();
    void closingDuringASearchEndsIt_data();
    void closingDuringASearchEndsIt();

private:
    // A window on a temporary home whose hosts are the test web and the recognition server.
    std::unique_ptr<MainWindow> openWindow(const QString &recognition);

    QTemporaryDir m_catalogue;
    ServerProcess m_server;
    TestWeb m_web;
    std::unique_ptr<TempHome> m_home;
    QList<QPointer<QTcpSocket>> m_held;
};

void TestSearchWindow::initTestCase()
{
    QVERIFY(CDemoCatalogue::write(m_catalogue.path(), 8));
    QVERIFY2(m_server.start(m_catalogue.path()), qPrintable(m_server.error()));
    QVERIFY(m_web.start());
    m_web.useAsProxyExceptLoopback();
    m_web.addHandler("i.ebayimg.test", [this](HttpServer::Request &request) {
        if (!request.url.path().contains("slow"))
            return false;
        m_held << request.socket; // a picture that never comes
        return true;
    });
}

void TestSearchWindow::init()
{
    m_home = std::make_unique<TempHome>();
    m_home->writeKnownConfig();
    m_web.clearStamps();
    m_web.clearRequests();
}

void TestSearchWindow::cleanup()
{
    for (const QPointer<QTcpSocket> &socket : std::as_const(m_held)) {
        if (socket)
            socket->abort();
    }
    m_held.clear();
    m_web.setBehaviour(TestWeb::siteHost(Site::Delcampe), TestWeb::Behaviour::Normal);
    m_home.reset();
}

std::unique_ptr<MainWindow> TestSearchWindow::openWindow(const QString &recognition)
{
    QString text = "recognition = " + recognition + "\nsearch_engine = http://" + m_web.hostAndPort() + "\n";
    for (const QString &key : HostConfig::keys()) {
        if (key != "recognition" && key != "search_engine" && !TestWeb::hostName(key).isEmpty())
            text += key + " = " + TestWeb::hostName(key) + "\n";
    }
    QFile file(m_home->configFolder() + "hosts.cfg");
    file.open(QIODevice::WriteOnly);
    file.write(text.toUtf8());
    file.close();
    qunsetenv("QUILLET_HOSTS");

    auto window = std::make_unique<MainWindow>(QStringList{"quillet"});
    window->resize(1000, 655);
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get()))
        return nullptr;
    window->slotOpenGrab(QString(), G::toImage(G::onPage(G::stamp(3), cv::Size(500, 500), cv::Point(150, 130))));
    // Frame the stamp alone.
    window->slotSelection();
    return window;
}

void TestSearchWindow::searchFillsTheStrip()
{
    const QImage match = G::toImage(G::rotated(G::stamp(3), 4));
    m_web.setStamps(Site::Delcampe, {{"m1", match}, {"x1", G::toImage(G::stamp(6))}});
    m_web.setStamps(Site::Ebay, {{"m2", G::toImage(G::scaled(G::stamp(3), 0.8))}, {"m3", match}, {"m4", match}});
    auto window = openWindow(m_server.hostAndPort());
    QVERIFY(window);
    QStringList boxes;
    ModalAnswerer answerer(acceptMessageBoxes(&boxes));
    int liveThumbnails = 0;
    connect(window->search(), &CStampSearch::signalOutImg, this, [&] { ++liveThumbnails; });
    bool panelShown = false;
    connect(window->search(), &CStampSearch::signalStage, this, [&] { panelShown |= window->progress()->isVisible(); });

    window->slotIdentify();

    QVERIFY2(boxes.isEmpty(), qPrintable(boxes.join('|')));
    QVERIFY(panelShown);
    QVERIFY(!window->progress()->isVisible());
    const QList<CPressButton *> thumbnails(window->thumbnails()->buttons().begin(), window->thumbnails()->buttons().end());
    QCOMPARE(thumbnails.size(), 4);
    QCOMPARE(liveThumbnails, 8); // four live, then the same four ranked
    QCOMPARE(thumbnails.first()->caption(), HostConfig::siteLabels().at(0));
    QCOMPARE(thumbnails.first()->url(), TestWeb::pageUrl(Site::Delcampe, "m1"));
    QVERIFY(window->thumbnails()->isEnabled());
    for (QToolButton *button : window->findChildren<QToolButton *>()) {
        if (button->text() == "Search")
            QVERIFY(button->isEnabled());
    }
    // Every stage done, each with its check mark but the one the additional pass would have had.
    const QList<QLabel *> labels = window->progress()->findChildren<QLabel *>();
    int done = 0, checked = 0;
    for (QLabel *label : labels) {
        done += !label->text().isEmpty() && label->styleSheet() == "color: #00de15; font-size: 14px;";
        checked += label->size() == QSize(11, 11) && !label->pixmap().isNull();
    }
    QCOMPARE(done, 5);
    QCOMPARE(checked, 4);
}

void TestSearchWindow::closingDuringASearchEndsIt_data()
{
    QTest::addColumn<QString>("stage");
    QTest::newRow("upload") << "upload";
    QTest::newRow("site search") << "sites";
    QTest::newRow("comparison") << "comparison";
}

void TestSearchWindow::closingDuringASearchEndsIt()
{
    QFETCH(QString, stage);
    int uploads = 0;
    HttpServer silent([&](HttpServer::Request &request) {
        if (request.target.contains("cache=get")) {
            // A count, so that the upload follows; the upload is never answered.
            CPc1Cipher cipher;
            cipher.setLength(6);
            HttpServer::respond(request.socket, 200, cipher.encryptText("abcd12"), "text/plain");
            return;
        }
        ++uploads;
        m_held << request.socket;
    });
    QVERIFY(silent.listen());
    if (stage == "sites")
        m_web.setBehaviour(TestWeb::siteHost(Site::Delcampe), TestWeb::Behaviour::Stall, 20);
    QList<TestWeb::Stamp> slow;
    for (int i = 0; i < 40; ++i)
        slow << TestWeb::Stamp{QString("slow%1").arg(i)};
    m_web.setStamps(Site::Ebay, slow);

    auto window = openWindow(stage == "upload" ? silent.hostAndPort() : m_server.hostAndPort());
    QVERIFY(window);
    QStringList boxes;
    ModalAnswerer answerer(acceptMessageBoxes(&boxes));
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        const bool due = stage == "upload"   ? uploads > 0
                         : stage == "sites" ? m_web.requestCount(TestWeb::siteHost(Site::Delcampe)) > 0
                                            : m_held.size() >= 32;
        if (due) {
            poll.stop();
            window->close();
        }
    });
    poll.start(5);
    QElapsedTimer clock;
    clock.start();
    window->slotIdentify();
    QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!window->search()->isRunning());
    QVERIFY2(boxes.isEmpty(), qPrintable(boxes.join('|')));
    for (CLoadThreadImg *worker : window->search()->workers())
        QVERIFY(worker->wait(5000));
    window.reset(); // the window goes with its search, its workers and its parsers
}

QTEST_MAIN(TestSearchWindow)
#include "tst_searchwindow.moc"
