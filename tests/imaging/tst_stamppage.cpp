// The frame follows the stamp: on load it goes onto the first stamp found; on a page of several, a
// click frames the stamp under it and Tab and Shift+Tab step through them; the found boxes follow
// the picture's turns.
#include "imaging/display.h"
#include "imaging/pictureeditor.h"
#include "imaging/stampfinder.h"
#include "imaging/stamppage.h"
#include "matching/albumpagegenerator.h"
#include "matching/stampgenerator.h"
#include "picturewindow.h"

#include <QtTest>

namespace {

// The box the frame is on (to the view's scale), or -1.
int framedBox(const PictureWindow &w, const QList<QRect> &boxes)
{
    for (int n = 0; n < boxes.size(); ++n) {
        if (CStampFinder::overlap(w.frameInPicture().toRect(), boxes.at(n)) > 0.9)
            return n;
    }
    return -1;
}

// Three generated stamps lying apart on grey card: a page any finder must read.
QImage threeStamps()
{
    cv::Mat card(1200, 1800, CV_8UC3, cv::Scalar(70, 70, 70));
    for (int n = 0; n < 3; ++n) {
        const cv::Mat stamp = CStampGenerator::scaled(CStampGenerator::stamp(n + 3), 1.0);
        stamp.copyTo(card(cv::Rect(150 + n * 550, 250 + n * 120, stamp.cols, stamp.rows)));
    }
    return CStampGenerator::toImage(card);
}

QPoint viewPoint(const PictureWindow &w, const QPointF &pictureFrom, const QSize &pictureSize)
{
    const QRect shown = w.shownRect();
    return QPoint(shown.x() + int(pictureFrom.x() * shown.width() / pictureSize.width()),
                  shown.y() + int(pictureFrom.y() * shown.height() / pictureSize.height()));
}

} // namespace

class TestStampPage : public QObject
{
    Q_OBJECT
private slots:
    void frameGoesOntoTheStamp_data();
    void frameGoesOntoTheStamp();
    void clickAndTabStepThroughThePage();
    void boxesFollowTheTurns();
    void editorNeedsNoWindow();
};

void TestStampPage::frameGoesOntoTheStamp_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("stamps on a card") << 0;
    QTest::newRow("one stamp on a table") << 1;
    QTest::newRow("a plain picture") << 2;
}

void TestStampPage::frameGoesOntoTheStamp()
{
    QFETCH(int, kind);
    QImage picture;
    if (kind == 0) {
        picture = threeStamps();
    } else if (kind == 1) {
        picture = CStampGenerator::toImage(CAlbumPageGenerator::single(7, CAlbumPageGenerator::Table, 0.6, 5).picture);
    } else {
        picture = QImage(1200, 900, QImage::Format_RGB32);
        picture.fill(QColor(160, 140, 120));
    }
    PictureWindow w;
    QVERIFY(w.show(picture));
    const QList<QRect> found = CStampFinder::findStamps(picture);
    if (kind == 2) { // none found: over 80 percent, centred, as before
        QVERIFY(found.isEmpty());
        const QRectF frame = w.frameInPicture();
        QVERIFY2(qAbs(frame.width() - 0.8 * picture.width()) < 8 && qAbs(frame.center().x() - picture.width() / 2.0) < 8,
                 qPrintable(QStringLiteral("%1 %2").arg(frame.width()).arg(frame.center().x())));
        return;
    }
    QVERIFY(!found.isEmpty());
    QCOMPARE(framedBox(w, found), 0);
}

void TestStampPage::clickAndTabStepThroughThePage()
{
    const QImage picture = threeStamps();
    const QList<QRect> found = CStampFinder::findStamps(picture);
    QVERIFY2(found.size() >= 2, qPrintable(QString::number(found.size())));
    PictureWindow w;
    QVERIFY(w.show(picture));
    QCOMPARE(framedBox(w, found), 0);

    // A click in the middle of another stamp (outside the frame) frames that one.
    const int other = int(found.size()) - 1;
    const QPoint click = viewPoint(w, QRectF(found.at(other)).center(), picture.size());
    QVERIFY(!w.frame().contains(click));
    QWidget *view = w.window().findChild<CDisplay *>();
    QVERIFY(view);
    QTest::mouseClick(view, Qt::LeftButton, {}, click);
    QCOMPARE(framedBox(w, found), other);

    // Tab goes on round the page, Shift+Tab goes back.
    QTest::keyClick(&w.window(), Qt::Key_Tab);
    QCOMPARE(framedBox(w, found), 0);
    QTest::keyClick(&w.window(), Qt::Key_Tab);
    QCOMPARE(framedBox(w, found), 1 % int(found.size()));
    QTest::keyClick(&w.window(), Qt::Key_Backtab);
    QTest::keyClick(&w.window(), Qt::Key_Backtab);
    QCOMPARE(framedBox(w, found), other);
}

void TestStampPage::boxesFollowTheTurns()
{
    // The stamp of a picture turned a quarter clockwise, where the turned picture shows it.
    QImage picture(300, 200, QImage::Format_RGB32);
    picture.fill(Qt::white);
    const QRect stamp(40, 30, 60, 90);
    for (int y = stamp.top(); y <= stamp.bottom(); ++y)
        for (int x = stamp.left(); x <= stamp.right(); ++x)
            picture.setPixel(x, y, qRgb(200, 30, 30));
    CStampPage page;
    page.setPicture(picture);
    QImage turned = picture;
    QSize size = picture.size();
    for (int turn = 0; turn < 4; ++turn) {
        page.turnRight(size);
        turned = turned.transformed(QTransform().rotate(90));
        size = turned.size();
        for (const QRect &box : page.stamps()) {
            QVERIFY(QRect(QPoint(0, 0), size).contains(box));
            QCOMPARE(turned.pixel(box.center()), qRgb(200, 30, 30));
        }
    }
}

QTEST_MAIN(TestStampPage)
#include "tst_stamppage.moc"

// The picture's editing works on a bare view: the frame goes onto the first stamp, steps to the
// next, and follows a turn; the cut-out is the framed stamp each time.
void TestStampPage::editorNeedsNoWindow()
{
    CDisplay view;
    view.resize(900, 600);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    CPictureEditor editor(&view, [](const QString &text) { return text; });
    const QImage picture = threeStamps();
    const QList<QRect> found = CStampFinder::findStamps(picture);
    QVERIFY2(found.size() >= 2, qPrintable(QString::number(found.size())));
    editor.open(picture);
    QCOMPARE(editor.page().stamps(), found);

    // Which of the page's stamps the cut-out shows: the one whose picture it resembles most (the
    // frame is placed in view pixels, so the cut-out is the box only to within the view's scale).
    const auto cutStamp = [&editor] {
        const QImage source = editor.picture().toImage();
        const auto small = [](const QImage &image) { return image.scaled(24, 24).convertToFormat(QImage::Format_Grayscale8); };
        const QImage cut = small(editor.cutSelection());
        int best = -1;
        qint64 bestDifference = 0;
        for (int n = 0; n < editor.page().stamps().size(); ++n) {
            const QImage box = small(source.copy(editor.page().stamps().at(n)));
            qint64 difference = 0;
            for (int y = 0; y < 24; ++y) {
                for (int x = 0; x < 24; ++x)
                    difference += qAbs(int(cut.constScanLine(y)[x]) - int(box.constScanLine(y)[x]));
            }
            if (best < 0 || difference < bestDifference) {
                best = n;
                bestDifference = difference;
            }
        }
        return best;
    };
    QCOMPARE(cutStamp(), 0);
    editor.step(1);
    QCOMPARE(cutStamp(), 1);
    editor.turnRight();
    QCOMPARE(editor.picture().size(), picture.size().transposed());
    QCOMPARE(cutStamp(), 1);
}
