// The thumbnail strip: placement of its thumbnails, the fitting of pictures, clearing, and what a
// click reports, alone and inside the main window.
#include "app/mainwindow.h"
#include "matching/stampgenerator.h"
#include "matching/stampmatcher.h"
#include "results/evidenceview.h"
#include "results/pressbutton.h"
#include "results/scrollpreview.h"
#include "results/webbrowser.h"
#include "temphome.h"

#include <QAbstractButton>
#include <QLabel>
#include <QMenu>
#include <QSignalSpy>
#include <QTabWidget>
#include <QtTest>

namespace {

QPixmap picture(int width, int height)
{
    QPixmap pixmap(width, height);
    pixmap.fill(Qt::darkBlue);
    return pixmap;
}

// A real match: a drawn stamp against its turned, enlarged copy, with what the comparison saw.
struct Match
{
    QImage candidate;
    CMatchEvidence evidence;
};

Match comparedMatch()
{
    const cv::Mat stamp = CStampGenerator::stamp(12);
    Match match;
    match.candidate = CStampGenerator::toImage(CStampGenerator::scaled(CStampGenerator::rotated(stamp, 8), 1.4));
    CStampMatcher matcher;
    matcher.setReference(CStampGenerator::toImage(stamp));
    if (matcher.compareImage(match.candidate))
        match.evidence = matcher.evidence();
    return match;
}

// The main window with no outside host, shown at its usual size (in a TempHome that outlives it).
std::unique_ptr<MainWindow> shownWindow()
{
    qputenv("QUILLET_HOSTS", "/nonexistent");
    auto window = std::make_unique<MainWindow>(QStringList{"quillet"});
    window->resize(1000, 655);
    window->show();
    return window;
}

} // namespace

class TestScrollPreview : public QObject
{
    Q_OBJECT
private slots:
    void thumbnailsStackDownTheStrip();
    void clearStartsAgainAtTheTop();
    void picturesAreFitted_data();
    void picturesAreFitted();
    void captionFollowsItsText();
    void anyButtonReportsTheMatch_data();
    void anyButtonReportsTheMatch();
    void clickInWindowOpensBrowserTab();
    void evidenceShowsInTooltip();
    void compareOpensTheView();
    void compareViewOpensThePageInWindow();
};

void TestScrollPreview::thumbnailsStackDownTheStrip()
{
    QWidget parent;
    CScrollPreview strip(&parent);
    for (int i = 0; i < 3; ++i)
        strip.addThumbnail(picture(200, 240), QString("http://site.test/%1").arg(i), "site.test", Qt::white);
    QCOMPARE(strip.container()->size(), QSize(165, 485));
    QCOMPARE(strip.buttons().size(), 3);
    for (int i = 0; i < 3; ++i) {
        CPressButton *button = strip.buttons().at(i);
        QCOMPARE(button->id(), i);
        QCOMPARE(button->geometry(), QRect(5, 5 + 160 * i, 155, 155));
        QCOMPARE(button->captionLabel()->geometry(), QRect(0, 137, 155, 18));
    }
}

void TestScrollPreview::clearStartsAgainAtTheTop()
{
    QWidget parent;
    CScrollPreview strip(&parent);
    strip.addThumbnail(picture(50, 50), "http://a.test/", QString(), Qt::white);
    strip.addThumbnail(picture(50, 50), "http://b.test/", QString(), Qt::white);
    QPointer<CPressButton> old = strip.buttons().first();
    strip.clear();
    QVERIFY(old.isNull());
    QCOMPARE(strip.container()->size(), QSize(165, 5));
    strip.addThumbnail(picture(50, 50), "http://c.test/", QString(), Qt::white);
    QCOMPARE(strip.buttons().first()->id(), 0);
    QCOMPARE(strip.buttons().first()->pos(), QPoint(5, 5));
}

void TestScrollPreview::picturesAreFitted_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QSize>("fitted"); // handed to the thumbnail
    QTest::addColumn<QSize>("shown");  // as its picture label shows it

    QTest::newRow("wide, shrunk") << QSize(310, 100) << "" << QSize(155, 50) << QSize(155, 50);
    QTest::newRow("tall, shrunk") << QSize(100, 400) << "" << QSize(38, 155) << QSize(38, 155);
    QTest::newRow("tall and wide") << QSize(200, 1000) << "" << QSize(31, 155) << QSize(31, 155);
    QTest::newRow("small, enlarged") << QSize(50, 50) << "" << QSize(155, 155) << QSize(155, 155);
    QTest::newRow("small, enlarged above a caption") << QSize(50, 50) << "ebay.com" << QSize(155, 155)
                                                     << QSize(137, 137);
}

void TestScrollPreview::picturesAreFitted()
{
    QFETCH(QSize, picture);
    QFETCH(QString, caption);
    QFETCH(QSize, fitted);
    QFETCH(QSize, shown);
    QCOMPARE(CScrollPreview::fittedSize(picture), fitted);
    QWidget parent;
    CScrollPreview strip(&parent);
    strip.addThumbnail(::picture(picture.width(), picture.height()), "http://a.test/", caption, Qt::white);
    QCOMPARE(strip.buttons().first()->pictureLabel()->pixmap().size(), shown);
}

void TestScrollPreview::captionFollowsItsText()
{
    QWidget parent;
    parent.resize(200, 600);
    CScrollPreview strip(&parent);
    strip.resize(195, 500);
    parent.show();
    strip.addThumbnail(picture(80, 80), "http://a.test/", QString(), Qt::white);
    strip.addThumbnail(picture(80, 80), "http://b.test/", "stamps.test", QColor(255, 197, 157));
    const CPressButton *plain = strip.buttons().at(0);
    const CPressButton *captioned = strip.buttons().at(1);
    QVERIFY(!plain->captionLabel()->isVisible());
    QCOMPARE(plain->pictureLabel()->maximumSize(), QSize(155, 155));
    QVERIFY(captioned->captionLabel()->isVisible());
    QCOMPARE(captioned->captionLabel()->text(), QString("stamps.test"));
    QCOMPARE(captioned->captionLabel()->styleSheet(), QString("color: #ffc59d;"));
    QCOMPARE(captioned->pictureLabel()->maximumSize(), QSize(155, 137));
}

void TestScrollPreview::anyButtonReportsTheMatch_data()
{
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::newRow("left") << Qt::LeftButton;
    QTest::newRow("right") << Qt::RightButton;
}

void TestScrollPreview::anyButtonReportsTheMatch()
{
    QFETCH(Qt::MouseButton, button);
    QWidget parent;
    parent.resize(200, 600);
    CScrollPreview strip(&parent);
    strip.resize(195, 500);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    strip.addThumbnail(picture(80, 80), "http://a.test/1", QString(), Qt::white);
    strip.addThumbnail(picture(80, 80), "http://a.test/2", QString(), Qt::white);
    QSignalSpy ids(&strip, &CScrollPreview::signalPressId);
    QSignalSpy urls(&strip, &CScrollPreview::signalPressUrl);
    QTest::mouseClick(strip.buttons().at(1)->pictureLabel(), button);
    QCOMPARE(ids.size(), 1);
    QCOMPARE(ids.first().first().toInt(), 1);
    QCOMPARE(urls.size(), 1);
    QCOMPARE(urls.first().first().toString(), QString("http://a.test/2"));
}

void TestScrollPreview::clickInWindowOpensBrowserTab()
{
    TempHome home;
    home.writeKnownConfig();
    const std::unique_ptr<MainWindow> window = shownWindow();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    // An address the browser refuses to load: the tab changes all the same. (Inside a test executable
    // the web engine crashes in Qt's focus handling on a main window's first page load, which the
    // program itself does not; tst_webbrowser loads pages in a browser of its own.)
    window->slotAddImg(picture(120, 160).toImage(), "ftp://stamps.invalid/offer/7", "ebay.com", QString(), 0);
    QCOMPARE(window->thumbnails()->buttons().size(), 1);
    QCOMPARE(window->thumbnails()->buttons().first()->captionLabel()->text(), QString("ebay.com"));
    QSignalSpy opened(window->thumbnails(), &CScrollPreview::signalPressUrl);
    QTest::mouseClick(window->thumbnails()->buttons().first(), Qt::LeftButton);
    QCOMPARE(opened.size(), 1);
    QCOMPARE(opened.first().first().toString(), QString("ftp://stamps.invalid/offer/7"));
    QCOMPARE(window->findChild<QTabWidget *>("tabWidget")->currentIndex(), 1);
    qunsetenv("QUILLET_HOSTS");
}

void TestScrollPreview::evidenceShowsInTooltip()
{
    const Match match = comparedMatch();
    QVERIFY(!match.evidence.isEmpty());
    QWidget parent;
    CScrollPreview strip(&parent);
    strip.addThumbnail(QPixmap::fromImage(match.candidate), "http://a.test/1", "stamps.test", Qt::white, match.evidence);
    strip.addThumbnail(picture(80, 80), "http://a.test/2", "other.test", Qt::white);
    // Site, agreement and the candidate with the outline; nothing for a match without evidence.
    const QString tip = strip.buttons().at(0)->toolTip();
    QVERIFY2(tip.contains("stamps.test") && tip.contains(match.evidence.agreementText({})), qPrintable(tip.left(200)));
    QVERIFY(strip.buttons().at(1)->toolTip().isEmpty());
    // The picture is inline and does show: rendered, the tip is taller than its two lines of text.
    QLabel rendered(tip);
    QVERIFY2(rendered.sizeHint().height() > 150, qPrintable(QString::number(rendered.sizeHint().height())));
}

void TestScrollPreview::compareOpensTheView()
{
    const Match match = comparedMatch();
    QVERIFY(!match.evidence.isEmpty());
    QWidget parent;
    parent.resize(200, 600);
    CScrollPreview strip(&parent);
    strip.resize(195, 500);
    strip.setTranslator([](const QString &text) { return text == "Compare" ? QString("Vergleichen") : text; });
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    strip.addThumbnail(picture(80, 80), "http://a.test/plain", QString(), Qt::white);
    strip.addThumbnail(QPixmap::fromImage(match.candidate), "http://a.test/match", "stamps.test", Qt::white, match.evidence);
    QSignalSpy urls(&strip, &CScrollPreview::signalPressUrl);

    // The right button on a match with evidence offers the menu instead of opening the page.
    QTest::mouseClick(strip.buttons().at(1)->pictureLabel(), Qt::RightButton);
    QCOMPARE(urls.size(), 0);
    QTRY_VERIFY(strip.menu()->isVisible());
    QCOMPARE(strip.menu()->actions().size(), 1);
    QAction *compare = strip.menu()->actions().first();
    QCOMPARE(compare->text(), QString("Vergleichen"));
    compare->trigger();

    CEvidenceView *view = strip.evidenceView();
    QVERIFY(view);
    QVERIFY(view->isVisible());
    QCOMPARE(view->picture().size(), match.evidence.sideBySide(match.candidate).size());
    QVERIFY(view->figuresText().contains(match.evidence.agreementText({})));
    QVERIFY(view->windowTitle().contains("stamps.test"));
    // Its button asks for the match's page, as a click on the thumbnail would.
    QTest::mouseClick(view->openPageButton(), Qt::LeftButton);
    QCOMPARE(urls.size(), 1);
    QCOMPARE(urls.first().first().toString(), QString("http://a.test/match"));
    view->close();
    QTRY_VERIFY(!strip.evidenceView());
    // A thumbnail without evidence has nothing to compare.
    QVERIFY(!strip.compare(0));
    QVERIFY(!strip.compare(7));
}

void TestScrollPreview::compareViewOpensThePageInWindow()
{
    TempHome home;
    home.writeKnownConfig();
    const std::unique_ptr<MainWindow> window = shownWindow();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    const Match match = comparedMatch();
    window->slotAddImg(match.candidate, "ftp://stamps.invalid/offer/9", "ebay.com", QString(), 0, match.evidence);
    CEvidenceView *view = window->thumbnails()->compare(0);
    QVERIFY(view);
    QCOMPARE(window->findChild<QTabWidget *>("tabWidget")->currentIndex(), 0);
    QTest::mouseClick(view->openPageButton(), Qt::LeftButton);
    QCOMPARE(window->findChild<QTabWidget *>("tabWidget")->currentIndex(), 1);
    qunsetenv("QUILLET_HOSTS");
}

QTEST_MAIN(TestScrollPreview)
#include "tst_scrollpreview.moc"
