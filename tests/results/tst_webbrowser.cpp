#include "app/mainwindow.h"
#include "imaging/display.h"
#include "picturewindow.h"
#include "results/webbrowser.h"
#include "results/webview.h"
#include "server/httpserver.h"

#include <QLineEdit>
#include <QMimeData>
#include <QSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QToolButton>
#include <QWebEngineHistory>
#include <QtTest>

// The embedded browser against pages served on 127.0.0.1.
class TestWebBrowser : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void addresses_data();
    void addresses();
    void typedAddressLoadsWithFirefoxAgent();
    void localFilesAndScriptsNeverLoad();
    void zoomFollowsSlider_data();
    void zoomFollowsSlider();
    void backAndForwardFollowHistory();
    void droppedPictureGoesToImageView();

private:
    bool loadAndWait(CWebBrowser &browser, const QString &typed);

    HttpServer *m_server = nullptr;
    QList<QByteArray> m_requests; // target and user agent of each request
};

void TestWebBrowser::initTestCase()
{
    m_server = new HttpServer([this](HttpServer::Request &request) {
        m_requests << request.target + " | " + request.header("User-Agent");
        HttpServer::respond(request.socket, 200,
                            "<html><head><title>" + request.target + "</title></head><body><h1>Stamp "
                                + request.target + "</h1></body></html>");
    }, this);
    QVERIFY(m_server->listen());
}

void TestWebBrowser::addresses_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("typed");
    QTest::addColumn<QString>("expected"); // empty: nothing is loaded

    QTest::newRow("bare host gets http") << "stamps.example/list" << true << "http://stamps.example/list";
    QTest::newRow("escaped blank decoded") << "stamps.example/a%20b" << true << "http://stamps.example/a%20b";
    QTest::newRow("https kept") << "https://stamps.example/" << true << "https://stamps.example/";
    QTest::newRow("bare word") << "penny" << true << "http://penny";
    QTest::newRow("non-ASCII") << "marken.example/größe" << true << "http://marken.example/gr%C3%B6%C3%9Fe";
    QTest::newRow("file typed") << "file:///etc/passwd" << true << "";
    QTest::newRow("file in capitals gets http") << "FILE:///etc" << true << "http://FILE:///etc";
    QTest::newRow("javascript") << "javascript:alert(1)" << true << "";
    QTest::newRow("file passed in") << "file:///etc/passwd" << false << "";
    QTest::newRow("FILE passed in") << "FILE:///etc/passwd" << false << "";
    QTest::newRow("ftp passed in") << "ftp://stamps.example/" << false << "";
    QTest::newRow("page passed in") << "http://stamps.example/item?id=5" << false << "http://stamps.example/item?id=5";
}

void TestWebBrowser::addresses()
{
    QFETCH(QString, text);
    QFETCH(bool, typed);
    QFETCH(QString, expected);
    const QUrl url = CWebBrowser::addressFor(text, typed);
    if (expected.isEmpty())
        QVERIFY2(!url.isValid(), qPrintable(url.toString()));
    else if (expected.startsWith("http://FILE"))
        QVERIFY(!url.isValid() || url.scheme() == "http"); // never a local file
    else
        QCOMPARE(url.toEncoded(), expected.toUtf8());
}

bool TestWebBrowser::loadAndWait(CWebBrowser &browser, const QString &typed)
{
    QSignalSpy finished(browser.view(), &QWebEngineView::loadFinished);
    browser.urlEdit()->setText(typed);
    QTest::keyClick(browser.urlEdit(), Qt::Key_Return);
    return finished.wait(30000);
}

void TestWebBrowser::typedAddressLoadsWithFirefoxAgent()
{
    CWebBrowser browser;
    browser.resize(800, 600);
    browser.show();
    m_requests.clear();
    QVERIFY(loadAndWait(browser, m_server->hostAndPort() + "/album%20page"));
    QTRY_VERIFY(!m_requests.isEmpty());
    QCOMPARE(m_requests.first(), QByteArray("/album%20page | Mozilla/5.0 (Windows NT 6.1; WOW64; rv:24.0) "
                                            "Gecko/20100101 Firefox/24.0"));
    QTRY_COMPARE(browser.urlEdit()->text(), "http://" + m_server->hostAndPort() + "/album page");
    QCOMPARE(browser.urlEdit()->cursorPosition(), 0);
}

void TestWebBrowser::localFilesAndScriptsNeverLoad()
{
    CWebBrowser browser;
    browser.show();
    QVERIFY(loadAndWait(browser, m_server->hostAndPort() + "/start"));
    const QUrl before = browser.view()->url();
    QSignalSpy started(browser.view(), &QWebEngineView::loadStarted);
    for (const char *text : {"file:///etc/passwd", "javascript:alert(1)"}) {
        browser.urlEdit()->setText(text);
        QTest::keyClick(browser.urlEdit(), Qt::Key_Return);
    }
    browser.slotOpenUrl("file:///etc/hostname");
    QTest::qWait(300);
    QCOMPARE(started.size(), 0);
    QCOMPARE(browser.view()->url(), before);
}

void TestWebBrowser::zoomFollowsSlider_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<double>("zoom");
    QTest::newRow("40") << 40 << 0.5;
    QTest::newRow("110") << 110 << 1.2;
    QTest::newRow("below range") << 10 << 0.5;
}

void TestWebBrowser::zoomFollowsSlider()
{
    QFETCH(int, value);
    QFETCH(double, zoom);
    CWebBrowser browser;
    QCOMPARE(browser.zoomSlider()->value(), 90);
    QCOMPARE(browser.view()->zoomFactor(), 1.0);
    browser.zoomSlider()->setValue(value);
    QCOMPARE(browser.view()->zoomFactor(), zoom);
}

void TestWebBrowser::backAndForwardFollowHistory()
{
    CWebBrowser browser;
    browser.show();
    QVERIFY(!browser.backButton()->isEnabled());
    QVERIFY(!browser.forwardButton()->isEnabled());
    QVERIFY(loadAndWait(browser, m_server->hostAndPort() + "/one"));
    QVERIFY(loadAndWait(browser, m_server->hostAndPort() + "/two"));
    QTRY_VERIFY(browser.backButton()->isEnabled());
    QVERIFY(!browser.forwardButton()->isEnabled());

    QSignalSpy finished(browser.view(), &QWebEngineView::loadFinished);
    browser.backButton()->click();
    QVERIFY(finished.wait(30000));
    QTRY_VERIFY(browser.forwardButton()->isEnabled());
    QTRY_COMPARE(browser.view()->url().path(), QString("/one"));
}

namespace {
// A drag over the widget and a drop on it, as the toolkit delivers them.
bool dragAndDrop(QWidget *target, const QString &path)
{
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    return true;
}
} // namespace

void TestWebBrowser::droppedPictureGoesToImageView()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("dropped.png");
    QVERIFY(PictureWindow::pattern(420, 560).save(path));

    // On a page: the drop goes to the picture view and the page stays where it was. The engine's
    // drops arrive at the view's render widget.
    CWebBrowser browser;
    browser.show();
    CDisplay view;
    connect(&browser, &CWebBrowser::signalDrop, &view, &CDisplay::slotDropOverboard);
    QSignalSpy picked(&view, &CDisplay::signalOutUrl);
    QVERIFY(loadAndWait(browser, m_server->hostAndPort() + "/shown"));
    const QUrl before = browser.view()->url();
    QWidget *target = browser.view()->focusProxy();
    QVERIFY(target);
    QVERIFY(dragAndDrop(target, path));
    QCOMPARE(picked.size(), 1);
    QCOMPARE(picked.first().first().toString(), path);
    QTest::qWait(300);
    QCOMPARE(browser.view()->url(), before);

    // In the main window the picture is loaded and its tab shown.
    PictureWindow w;
    w.window().findChild<QTabWidget *>("tabWidget")->setCurrentIndex(1);
    QVERIFY(dragAndDrop(w.window().browser()->view(), path));
    QCOMPARE(w.window().picture().size(), QSize(420, 560));
    QCOMPARE(w.window().findChild<QTabWidget *>("tabWidget")->currentIndex(), 0);
}

QTEST_MAIN(TestWebBrowser)
#include "tst_webbrowser.moc"
