#include "imaging/display.h"
#include "imaging/tepageitem.h"
#include "imaging/tepageitemhandle.h"
#include "picturewindow.h"

#include <QSignalSpy>
#include <QtTest>

using H = CTEPageItemHandle;

class TestSelectionFrame : public QObject
{
    Q_OBJECT
private slots:
    void newPictureIsFramedAtEightyPercent();
    void resizeHandles_data();
    void resizeHandles();
    void handleStopsNearFarSide();
    void insideDragStopsFlush_data();
    void insideDragStopsFlush();
    void frameFollowsWindowResize();
    void selectAllCoversShownPicture();
    void fourRightTurnsComeBack();
    void leftTurnIsThreeRightTurns();
    void rightClickOnFrameAsksForMenu();
};

void TestSelectionFrame::newPictureIsFramedAtEightyPercent()
{
    PictureWindow w;
    QVERIFY(w.show(PictureWindow::pattern(1000, 800)));
    const QRect shown = w.shownRect();
    const QRect frame = w.frame();
    QCOMPARE(frame.width(), int(shown.width() * 0.8));
    QCOMPARE(frame.height(), int(shown.height() * 0.8));
    QVERIFY(qAbs(frame.center().x() - shown.center().x()) <= 1);
    QVERIFY(qAbs(frame.center().y() - shown.center().y()) <= 1);
    QVERIFY(w.window().selectionFrame()->isSelected());
    QVERIFY(w.handle(H::Inside)->isVisible());
}

void TestSelectionFrame::resizeHandles_data()
{
    // Each row drags one handle by (dx, dy) from the handle's centre; the expected change of the
    // frame's edges: left, top, right, bottom. "min" stands for the 50-picture-pixel limit.
    QTest::addColumn<int>("position");
    QTest::addColumn<QPoint>("by");
    QTest::addColumn<QRect>("edgeChange"); // x: left, y: top, width: right, height: bottom

    QTest::newRow("BottomRight grows") << int(H::BottomRight) << QPoint(30, 20) << QRect(0, 0, 30, 20);
    QTest::newRow("Bottom shrinks") << int(H::Bottom) << QPoint(0, -25) << QRect(0, 0, 0, -25);
    QTest::newRow("Right shrinks") << int(H::Right) << QPoint(-40, 0) << QRect(0, 0, -40, 0);
    QTest::newRow("TopLeft grows") << int(H::TopLeft) << QPoint(-20, -10) << QRect(-20, -10, 0, 0);
    QTest::newRow("Top shrinks") << int(H::Top) << QPoint(0, 15) << QRect(0, 15, 0, 0);
    QTest::newRow("TopRight") << int(H::TopRight) << QPoint(10, -10) << QRect(0, -10, 10, 0);
    QTest::newRow("BottomLeft") << int(H::BottomLeft) << QPoint(12, 8) << QRect(12, 0, 0, 8);
    QTest::newRow("Left shrinks") << int(H::Left) << QPoint(15, 0) << QRect(15, 0, 0, 0);
}

void TestSelectionFrame::resizeHandles()
{
    QFETCH(int, position);
    QFETCH(QPoint, by);
    QFETCH(QRect, edgeChange);
    PictureWindow w;
    QVERIFY(w.show(PictureWindow::pattern(1000, 800)));
    const QRect before = w.frame();
    const QPoint from = w.handle(position)->geometry().center();
    w.drag(position, from, from + by);
    const QRect after = w.frame();
    QCOMPARE(after.left() - before.left(), edgeChange.x());
    QCOMPARE(after.top() - before.top(), edgeChange.y());
    QCOMPARE(after.right() - before.right(), edgeChange.width());
    QCOMPARE(after.bottom() - before.bottom(), edgeChange.height());
    // The handles sit on the frame's new corners and edges.
    QCOMPARE(w.handle(H::BottomRight)->pos(), after.bottomRight() - QPoint(5, 5));
    QCOMPARE(w.handle(H::TopLeft)->pos(), after.topLeft() - QPoint(6, 6));
}

void TestSelectionFrame::handleStopsNearFarSide()
{
    PictureWindow w;
    QVERIFY(w.show(PictureWindow::pattern(1000, 800)));
    const QRect shown = w.shownRect();
    const int minimum = int(50 / (1000.0 / shown.width()));

    // TopLeft dragged far towards the bottom right: the frame stops at the minimum size with its
    // right and bottom edges where they were.
    QRect before = w.frame();
    QPoint from = w.handle(H::TopLeft)->geometry().center();
    w.drag(H::TopLeft, from, before.bottomRight() - QPoint(5, 5));
    QCOMPARE(w.frame().size(), QSize(minimum, minimum));
    QCOMPARE(w.frame().bottomRight(), before.bottomRight());

    // Left beyond the shown picture's left edge: that move changes nothing.
    before = w.frame();
    from = w.handle(H::Left)->geometry().center();
    w.drag(H::Left, from, QPoint(shown.left() - 30, from.y()), 1);
    QCOMPARE(w.frame(), before);

    // Right beyond the picture's right edge: the right edge stops at the picture's.
    from = w.handle(H::Right)->geometry().center();
    w.drag(H::Right, from, QPoint(shown.right() + 200, from.y()), 1);
    QVERIFY(qAbs(w.frame().right() - shown.right()) <= 1);

    // Bottom within 24 pixels of the view's top: ignored.
    before = w.frame();
    from = w.handle(H::Bottom)->geometry().center();
    w.drag(H::Bottom, from, QPoint(from.x(), 10), 1);
    QCOMPARE(w.frame(), before);

    // With a 1000 by 800 picture shown at half size the minimum is 25 shown pixels.
    QCOMPARE(int(50 / (1000.0 / 500)), 25);
}

void TestSelectionFrame::insideDragStopsFlush_data()
{
    QTest::addColumn<QPoint>("by");
    QTest::addColumn<QString>("edge");
    QTest::newRow("right and down") << QPoint(2000, 2000) << "bottomright";
    QTest::newRow("left and up") << QPoint(-2000, -2000) << "topleft";
    QTest::newRow("a little") << QPoint(7, -5) << "moved";
}

void TestSelectionFrame::insideDragStopsFlush()
{
    QFETCH(QPoint, by);
    QFETCH(QString, edge);
    PictureWindow w;
    QVERIFY(w.show(PictureWindow::pattern(1000, 800)));
    const QRect shown = w.shownRect();
    const QRect before = w.frame();
    const QPoint from = before.center();
    w.drag(H::Inside, from, from + by);
    const QRect after = w.frame();
    QCOMPARE(after.size(), before.size());
    if (edge == "bottomright") {
        QCOMPARE(after.x(), shown.x() + shown.width() - after.width());
        QCOMPARE(after.y(), shown.y() + shown.height() - after.height());
    } else if (edge == "topleft") {
        QCOMPARE(after.topLeft(), shown.topLeft());
    } else {
        QCOMPARE(after.topLeft(), before.topLeft() + by);
    }
    QCOMPARE(w.handle(H::Inside)->geometry(), after.adjusted(3, 3, -3, -3));
}

void TestSelectionFrame::frameFollowsWindowResize()
{
    PictureWindow w;
    QVERIFY(w.show(PictureWindow::pattern(1200, 900)));
    const QPoint from = w.handle(H::BottomRight)->geometry().center();
    w.drag(H::BottomRight, from, from - QPoint(60, 30));
    w.drag(H::Inside, w.frame().center(), w.frame().center() + QPoint(-40, 20));
    const QRectF before = w.frameInPicture();
    const double pixel = 1200.0 / w.shownRect().width();

    for (QSize size : {QSize(1400, 950), QSize(1000, 655), QSize(1250, 700)}) {
        w.window().resize(size);
        QTRY_COMPARE(w.window().size(), size);
        const QRectF after = w.frameInPicture();
        const double tolerance = 2 * qMax(pixel, 1200.0 / w.shownRect().width());
        QVERIFY2(qAbs(after.left() - before.left()) <= tolerance && qAbs(after.top() - before.top()) <= tolerance
                     && qAbs(after.width() - before.width()) <= tolerance
                     && qAbs(after.height() - before.height()) <= tolerance,
                 qPrintable(QString("%1x%2").arg(size.width()).arg(size.height())));
    }
}

void TestSelectionFrame::selectAllCoversShownPicture()
{
    PictureWindow w;
    QVERIFY(w.show(PictureWindow::pattern(800, 1000)));
    w.window().slotSelection();
    QCOMPARE(w.frame(), w.shownRect());
    w.window().resize(1300, 900);
    QTRY_COMPARE(w.frame(), w.shownRect());
}

void TestSelectionFrame::fourRightTurnsComeBack()
{
    PictureWindow w;
    const QImage picture = PictureWindow::pattern(1000, 700);
    QVERIFY(w.show(picture));
    const QPoint from = w.handle(H::TopLeft)->geometry().center();
    w.drag(H::TopLeft, from, from + QPoint(50, 30)); // an off-centre frame shows a wrong turn
    const QRectF before = w.frameInPicture();
    const QImage corner = w.window().picture().toImage().copy(0, 0, 20, 20);

    w.window().slotTurnRight();
    QCOMPARE(w.window().picture().size(), QSize(700, 1000));
    // The dark corner mark moved to the top right.
    const QImage turned = w.window().picture().toImage();
    QCOMPARE(turned.pixelColor(690, 5), QColor(Qt::darkBlue));
    const double portraitPixel = 1000.0 / w.shownRect().height();
    for (int i = 0; i < 3; ++i)
        w.window().slotTurnRight();

    QCOMPARE(w.window().picture().toImage().convertToFormat(QImage::Format_RGB32), picture);
    const QRectF after = w.frameInPicture();
    // One pixel of the view per turn, at the scale of each turn.
    const double tolerance = 2 * (1000.0 / w.shownRect().width()) + 2 * portraitPixel;
    QVERIFY(qAbs(after.left() - before.left()) <= tolerance);
    QVERIFY(qAbs(after.top() - before.top()) <= tolerance);
    QVERIFY(qAbs(after.width() - before.width()) <= tolerance);
    QVERIFY(qAbs(after.height() - before.height()) <= tolerance);
    QCOMPARE(corner.convertToFormat(QImage::Format_RGB32),
             w.window().picture().toImage().copy(0, 0, 20, 20).convertToFormat(QImage::Format_RGB32));
}

void TestSelectionFrame::leftTurnIsThreeRightTurns()
{
    PictureWindow left, right;
    const QImage picture = PictureWindow::pattern(900, 600);
    QVERIFY(left.show(picture));
    QVERIFY(right.show(picture));
    left.window().slotTurnLeft();
    for (int i = 0; i < 3; ++i)
        right.window().slotTurnRight();
    right.window().slotResize();
    QCOMPARE(left.window().picture().toImage().convertToFormat(QImage::Format_RGB32),
             right.window().picture().toImage().convertToFormat(QImage::Format_RGB32));
    QCOMPARE(left.frame(), right.frame());
    // The dark corner mark is now at the bottom left.
    QCOMPARE(left.window().picture().toImage().pixelColor(5, 895), QColor(Qt::darkBlue));
}

void TestSelectionFrame::rightClickOnFrameAsksForMenu()
{
    PictureWindow w;
    QVERIFY(w.show(PictureWindow::pattern(600, 600)));
    QSignalSpy menu(w.window().selectionFrame(), &CTEPageItem::signalContextMenu);
    QSignalSpy viewMenu(w.window().display(), &CDisplay::signalContextMenu);
    for (int position : {int(H::Inside), int(H::TopLeft), int(H::Bottom)})
        QTest::mouseClick(w.handle(position), Qt::RightButton, Qt::NoModifier, QPoint(3, 3));
    QCOMPARE(menu.size(), 3);
    QTest::mouseClick(w.window().display(), Qt::RightButton, Qt::NoModifier, QPoint(2, 2));
    QTest::mouseClick(w.window().display(), Qt::LeftButton, Qt::NoModifier, QPoint(2, 2));
    QCOMPARE(viewMenu.size(), 1);
    QApplication::closeAllWindows();
}

QTEST_MAIN(TestSelectionFrame)
#include "tst_selectionframe.moc"
