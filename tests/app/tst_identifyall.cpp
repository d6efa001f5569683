// "Identify all": every stamp of a page asked about, against the project's recognition server as a
// process, and against small servers that fail, hang or answer with hostile text.
#include "app/mainwindow.h"
#include "imaging/display.h"
#include "imaging/selectioncutout.h"
#include "imaging/tepageitem.h"
#include "matching/albumpagegenerator.h"
#include "matching/stampgenerator.h"
#include "results/identifyallview.h"
#include "search/identifyall.h"
#include "search/pc1cipher.h"
#include "search/stampsearch.h"
#include "server/httpserver.h"
#include "serverprocess.h"
#include "sites/hostconfig.h"
#include "temphome.h"

#include <opencv2/imgcodecs.hpp>

#include <QFile>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

using G = CStampGenerator;
using P = CAlbumPageGenerator;

namespace {

// A light album page of six generated stamps, 0 to 5 in the generator's order. The catalogue holds
// the page's own stamps 1 to 5, so stamp 0 is one the server does not know.
P::Page albumPage()
{
    P::Options options;
    options.seed = 1;
    options.background = P::LightAlbumPage;
    options.size = cv::Size(1500, 1000);
    options.rows = 2;
    options.columns = 3;
    return P::page(options);
}

// The generator's index of the stamp under a found box, -1 when the box is no stamp's.
int stampNumberAt(const P::Page &page, const QRect &box)
{
    const cv::Rect found(box.x(), box.y(), box.width(), box.height());
    for (size_t n = 0; n < page.stamps.size(); ++n) {
        const cv::Rect common = page.stamps.at(n) & found;
        if (common.area() * 2 > page.stamps.at(n).area())
            return int(n);
    }
    return -1;
}

QByteArray encipher(const QByteArray &plain)
{
    CPc1Cipher cipher;
    cipher.setLength(int(plain.size()));
    return cipher.encryptText(plain);
}

QToolButton *identifyAllButton(MainWindow *window)
{
    for (QToolButton *button : window->findChildren<QToolButton *>()) {
        if (button->toolTip() == QLatin1String("Identify all"))
            return button;
    }
    return nullptr;
}

} // namespace

class TestIdentifyAll : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void everyStampOfAPageIsAnswered();
    void commandLineWritesTheList();
    void rowSearchFramesAndSearchesThatStamp();
    void serverFailingHalfWay();
    void stopEndsEveryExchange();
    void hostileAnswersAreEscaped();

private:
    std::unique_ptr<MainWindow> openWindow(const QString &recognition, const QStringList &args = {"quillet"});
    QList<QByteArray> pageUploads();

    QTemporaryDir m_catalogue;
    ServerProcess m_server;
    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<HttpServer> m_stand;
    QList<QPointer<QTcpSocket>> m_held;
};

void TestIdentifyAll::initTestCase()
{
    const P::Page page = albumPage();
    QFile rows(m_catalogue.filePath("catalogue.tsv"));
    QVERIFY(rows.open(QIODevice::WriteOnly));
    for (size_t n = 1; n < page.stamps.size(); ++n) {
        const QString name = QString("page%1.png").arg(n);
        QVERIFY(cv::imwrite(m_catalogue.filePath(name).toStdString(), page.picture(page.stamps.at(n))));
        rows.write(QString("%1\tDemoland\t%2\tPage stamp\tSeed %2\t0001\n").arg(name).arg(n).toUtf8());
    }
    rows.close();
    QVERIFY2(m_server.start(m_catalogue.path()), qPrintable(m_server.error()));
}

void TestIdentifyAll::init()
{
    m_home = std::make_unique<TempHome>();
    m_home->writeKnownConfig();
}

void TestIdentifyAll::cleanup()
{
    for (const QPointer<QTcpSocket> &socket : std::as_const(m_held)) {
        if (socket)
            socket->abort();
    }
    m_held.clear();
    m_stand.reset();
    m_home.reset();
}

std::unique_ptr<MainWindow> TestIdentifyAll::openWindow(const QString &recognition, const QStringList &args)
{
    QFile file(m_home->configFolder() + "hosts.cfg");
    if (!file.open(QIODevice::WriteOnly))
        return nullptr;
    file.write("recognition = " + recognition.toUtf8() + "\n");
    file.close();
    qunsetenv("QUILLET_HOSTS");
    auto window = std::make_unique<MainWindow>(args);
    window->resize(1000, 655);
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get()))
        return nullptr;
    return window;
}

// The page's six stamps as JPEG cut-outs, in the generator's order.
QList<QByteArray> TestIdentifyAll::pageUploads()
{
    const P::Page page = albumPage();
    QList<QByteArray> uploads;
    for (const cv::Rect &box : page.stamps) {
        std::vector<uchar> jpeg;
        cv::imencode(".jpg", page.picture(box), jpeg);
        uploads << QByteArray(reinterpret_cast<const char *>(jpeg.data()), qsizetype(jpeg.size()));
    }
    return uploads;
}

// Each found stamp gets the server's answer for the stamp it covers, in the list and in the view;
// the one outside the catalogue is "not recognised".
void TestIdentifyAll::everyStampOfAPageIsAnswered()
{
    auto window = openWindow(m_server.hostAndPort());
    QVERIFY(window);
    const P::Page page = albumPage();
    QVERIFY(window->slotOpenGrab(QString(), G::toImage(page.picture)));
    QToolButton *button = identifyAllButton(window.get());
    QVERIFY(button);
    QVERIFY(button->isEnabled());

    QSignalSpy finished(window->identifyAll(), &CIdentifyAll::signalFinished);
    QTest::mouseClick(button, Qt::LeftButton);
    CIdentifyAllView *view = window->identifyAllView();
    QVERIFY(view);
    QCOMPARE(window->findChild<QTabWidget *>()->currentWidget(), view);
    QVERIFY(finished.wait(60000));
    QCOMPARE(finished.count(), 1);

    const CIdentifyAll *all = window->identifyAll();
    QCOMPARE(all->count(), 6);
    QCOMPARE(view->stampCount(), 6);
    QSet<int> numbers;
    for (int i = 0; i < all->count(); ++i) {
        const int number = stampNumberAt(page, window->identifiedBoxes().at(i));
        QVERIFY2(number >= 0, qPrintable(QString("box %1 covers no stamp").arg(i)));
        numbers << number;
        if (number == 0) {
            QCOMPARE(all->state(i), CIdentifyAll::NotRecognised);
            QCOMPARE(view->outcomeText(i), QString("not recognised"));
        } else {
            QCOMPARE(all->state(i), CIdentifyAll::Answered);
            const QStringList stamp = CIdentifyAll::firstStamp(all->answer(i));
            QCOMPARE(stamp, (QStringList{"Demoland", QString::number(number), QString("Page stamp Seed %1").arg(number)}));
            QCOMPARE(view->outcomeText(i), stamp.join(", "));
        }
    }
    QCOMPARE(numbers.size(), 6);

    // The next picture loaded (here a paste, as a command list would load it) is shown at once.
    QVERIFY(window->slotOpenGrab(QString(), G::toImage(page.picture)));
    QCOMPARE(window->findChild<QTabWidget *>()->currentIndex(), 0);
}

// "/IDENTIFYALL" with "/SAVEDATA:" writes the list as a page with each cut-out beside it, and
// runs in place of a search.
void TestIdentifyAll::commandLineWritesTheList()
{
    QTemporaryDir out;
    const QString picture = out.filePath("page.png");
    QVERIFY(cv::imwrite(picture.toStdString(), albumPage().picture));
    const QString list = out.filePath("report/list.html");
    auto window = openWindow(m_server.hostAndPort(), {"quillet", picture, "/SAVEDATA:" + list, "/START", "/identifyall"});
    QVERIFY(window);
    QSignalSpy finished(window->identifyAll(), &CIdentifyAll::signalFinished);
    QSignalSpy searched(window->search(), &CStampSearch::signalStarted);
    QVERIFY(finished.wait(60000));
    QCOMPARE(searched.count(), 0);

    QFile file(list);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray page = file.readAll();
    QCOMPARE(page.count("<tr "), 6);
    QCOMPARE(page.count("not recognised"), 1);
    QCOMPARE(page.count("<td>Demoland</td>"), 5);
    for (int i = 0; i < 6; ++i) {
        QVERIFY(page.contains("src=\"list/" + QByteArray::number(i) + ".jpg\""));
        QVERIFY(!QImage(out.filePath(QString("report/list/%1.jpg").arg(i))).isNull());
    }
}

// A row's "Search" frames that stamp on the page and searches its cut-out.
void TestIdentifyAll::rowSearchFramesAndSearchesThatStamp()
{
    auto window = openWindow(m_server.hostAndPort());
    QVERIFY(window);
    QVERIFY(window->slotOpenGrab(QString(), G::toImage(albumPage().picture)));
    QSignalSpy finished(window->identifyAll(), &CIdentifyAll::signalFinished);
    window->slotIdentifyAll();
    QVERIFY(finished.wait(60000));

    const int row = 3;
    auto *search = window->identifyAllView()->findChild<QPushButton *>(QString("searchButton%1").arg(row));
    QVERIFY(search);
    QCOMPARE(search->text(), QString("Search"));
    // The search is let start, then stopped: what it was given is what counts here.
    connect(window->search(), &CStampSearch::signalStarted, window.get(),
            [&window] { QTimer::singleShot(0, window->search(), &CStampSearch::cancel); });
    QSignalSpy started(window->search(), &CStampSearch::signalStarted);
    QTest::mouseClick(search, Qt::LeftButton);
    QCOMPARE(started.count(), 1);
    QCOMPARE(window->findChild<QTabWidget *>()->currentIndex(), 0);

    const QRect box = window->identifiedBoxes().at(row);
    QCOMPARE(window->selection().size(), CSelectionCutout::cutBox(window->picture().toImage(), box).size());
    // The frame, taken back into the picture's pixels, lies on the stamp's box.
    const QImage framed = CSelectionCutout::cut(window->picture().toImage(), window->display()->shownSize(),
                                                window->display()->size(), window->selectionFrame()->geometry());
    QVERIFY(qAbs(framed.width() - box.width()) <= box.width() / 20 + 3);
    QVERIFY(qAbs(framed.height() - box.height()) <= box.height() / 20 + 3);
}

// The server goes away after its first answer: the stamps asked later are marked as failed, the
// list ends, and what was answered stays.
void TestIdentifyAll::serverFailingHalfWay()
{
    ServerProcess server;
    QVERIFY2(server.start(m_catalogue.path()), qPrintable(server.error()));
    HostConfig::global().setValue("recognition", server.hostAndPort());
    CIdentifyAll all;
    QSignalSpy finished(&all, &CIdentifyAll::signalFinished);
    connect(&all, &CIdentifyAll::signalStampChanged, &all, [&all, &server](int index) {
        if (all.state(index) == CIdentifyAll::Answered || all.state(index) == CIdentifyAll::NotRecognised)
            server.stop();
    });
    all.start(pageUploads());
    QVERIFY(finished.wait(60000));
    QCOMPARE(finished.count(), 1);
    QVERIFY(!all.isRunning());
    int answered = 0, failed = 0;
    for (int i = 0; i < all.count(); ++i) {
        if (all.state(i) == CIdentifyAll::Failed) {
            ++failed;
            QCOMPARE(all.answer(i).message(), QString("Server not responding"));
            QCOMPARE(all.outcomeText(i), QString("Server not responding"));
        } else {
            ++answered;
            QVERIFY(all.state(i) == CIdentifyAll::Answered || all.state(i) == CIdentifyAll::NotRecognised);
        }
    }
    QVERIFY(answered >= 1);
    // At most the exchanges already under way can still have been answered.
    QVERIFY2(failed >= all.count() - CIdentifyAll::parallel, qPrintable(QString::number(failed)));
}

// "Stop" ends the exchanges under way at once and marks every stamp still without an answer.
void TestIdentifyAll::stopEndsEveryExchange()
{
    m_stand = std::make_unique<HttpServer>([this](HttpServer::Request &request) { m_held << request.socket; });
    QVERIFY(m_stand->listen());
    auto window = openWindow(m_stand->hostAndPort());
    QVERIFY(window);
    QVERIFY(window->slotOpenGrab(QString(), G::toImage(albumPage().picture)));
    QSignalSpy finished(window->identifyAll(), &CIdentifyAll::signalFinished);
    window->slotIdentifyAll();
    QTRY_COMPARE(m_held.size(), CIdentifyAll::parallel);
    auto *stop = window->identifyAllView()->findChild<QPushButton *>("stopButton");
    QVERIFY(stop && stop->isEnabled());
    QTest::mouseClick(stop, Qt::LeftButton);
    QCOMPARE(finished.count(), 1);
    QVERIFY(!stop->isEnabled());
    for (int i = 0; i < window->identifyAll()->count(); ++i) {
        QCOMPARE(window->identifyAll()->state(i), CIdentifyAll::Stopped);
        QCOMPARE(window->identifyAllView()->outcomeText(i), QString("stopped"));
    }
    // The held connections are closed by the client, and nothing more is asked.
    QTRY_VERIFY(std::all_of(m_held.cbegin(), m_held.cend(), [](const QPointer<QTcpSocket> &socket) {
        return !socket || socket->state() != QAbstractSocket::ConnectedState;
    }));
    QTest::qWait(200);
    QCOMPARE(m_held.size(), CIdentifyAll::parallel);
    QCOMPARE(finished.count(), 1);
}

// An answer is text from outside: in the list's page it is escaped, and the page stays ASCII.
void TestIdentifyAll::hostileAnswersAreEscaped()
{
    const QByteArray hostile = "<script>alert(1)</script>\"&[c]1'><img src=x>[inf]\xc3\x9c" "ber & \xe2\x80\x9cmore\xe2\x80\x9d[i]0001[i]0001";
    m_stand = std::make_unique<HttpServer>([&hostile](HttpServer::Request &request) {
        HttpServer::respond(request.socket, 200, encipher("XXXXid7[n]" + hostile), "text/plain");
    });
    QVERIFY(m_stand->listen());
    HostConfig::global().setValue("recognition", m_stand->hostAndPort());
    CIdentifyAll all;
    QSignalSpy finished(&all, &CIdentifyAll::signalFinished);
    all.start(pageUploads().mid(0, 2));
    QVERIFY(finished.wait(20000));
    QCOMPARE(all.state(0), CIdentifyAll::Answered);
    QCOMPARE(CIdentifyAll::firstStamp(all.answer(0)),
             (QStringList{"<script>alert(1)</script>\"&", "1'><img src=x>", QString::fromUtf8("\xc3\x9c" "ber & \xe2\x80\x9cmore\xe2\x80\x9d")}));

    QTemporaryDir out;
    QVERIFY(all.writePage(out.filePath("list.html")));
    QFile file(out.filePath("list.html"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray page = file.readAll();
    QVERIFY(!page.contains("<script"));
    QVERIFY(!page.contains("<img src=x"));
    QVERIFY(page.contains("&lt;script&gt;alert(1)&lt;/script&gt;&quot;&amp;"));
    QVERIFY(page.contains("&#220;ber &amp; &#8220;more&#8221;"));
    QVERIFY(std::all_of(page.cbegin(), page.cend(), [](char c) { return uchar(c) < 0x80; }));
}

QTEST_MAIN(TestIdentifyAll)
#include "tst_identifyall.moc"
