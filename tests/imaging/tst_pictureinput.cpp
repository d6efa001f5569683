#include "app/appconfig.h"
#include "imaging/display.h"
#include "imaging/pictureloader.h"
#include "imaging/selectioncutout.h"
#include "imaging/tepageitem.h"
#include "modalanswerer.h"
#include "picturewindow.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QMenu>
#include <QMimeData>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A PNG that declares a size in its header and holds no picture data: only the header is read.
QByteArray pngHeader(quint32 width, quint32 height)
{
    QByteArray chunk("IHDR");
    for (quint32 value : {width, height}) {
        for (int shift = 24; shift >= 0; shift -= 8)
            chunk.append(char((value >> shift) & 0xFF));
    }
    chunk.append("\x08\x02\x00\x00\x00", 5); // 8 bits, RGB
    quint32 crc = 0xFFFFFFFF;
    for (char byte : chunk) {
        crc ^= quint8(byte);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    crc ^= 0xFFFFFFFF;
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    png.append("\x00\x00\x00\x0d", 4);
    png.append(chunk);
    for (int shift = 24; shift >= 0; shift -= 8)
        png.append(char((crc >> shift) & 0xFF));
    // The start of the picture data, which ends the header for a reader.
    png.append("\x00\x00\x00\x10IDAT", 8);
    png.append(QByteArray(20, '\0'));
    return png;
}

QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    QFile file(dir.filePath(name));
    file.open(QIODevice::WriteOnly);
    file.write(bytes);
    return file.fileName();
}

QByteArray encoded(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

// A drag over the widget and a drop on it, as the toolkit delivers them. Returns whether the
// widget accepted the drag.
bool drop(QWidget *target, const QList<QUrl> &urls)
{
    QMimeData data;
    data.setUrls(urls);
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent event(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
    return true;
}

} // namespace

class TestPictureInput : public QObject
{
    Q_OBJECT
private slots:
    void cutout_data();
    void cutout();
    void cutoutOffThePicture();
    void badFilesChangeNothing_data();
    void badFilesChangeNothing();
    void loadsPictureFiles_data();
    void loadsPictureFiles();
    void dropPicksFirstAcceptedEnding();
    void droppedFileIsLoaded();
    void pasteAndContextMenu();
    void cancelledDialogChangesNothing();
    void searchCutOutMatchesFrame();
};

void TestPictureInput::cutout_data()
{
    QTest::addColumn<QSize>("selection");
    QTest::addColumn<QSize>("expected");
    QTest::newRow("3000 by 2000 reduced") << QSize(3000, 2000) << QSize(512, 341);
    QTest::newRow("3000 by 400 kept") << QSize(3000, 400) << QSize(3000, 400);
    QTest::newRow("600 by 3000 reduced") << QSize(600, 3000) << QSize(102, 512);
    QTest::newRow("512 by 512 kept") << QSize(512, 512) << QSize(512, 512);
}

void TestPictureInput::cutout()
{
    QFETCH(QSize, selection);
    QFETCH(QSize, expected);
    const QImage source = PictureWindow::pattern(selection.width(), selection.height());
    // The picture shown at a quarter of its size, centred in a view 40 pixels larger, framed whole.
    const QSize shown = selection / 4;
    const QSize view = shown + QSize(40, 40);
    const QImage cut = CSelectionCutout::cut(source, shown, view, QRect(QPoint(20, 20), shown));
    QCOMPARE(cut.size(), expected);

    const QByteArray jpeg = CSelectionCutout::encode(cut);
    QVERIFY(jpeg.startsWith("\xFF\xD8"));
    QImage decoded;
    QVERIFY(decoded.loadFromData(jpeg, "JPG"));
    QCOMPARE(decoded.size(), expected);
    // Same picture up to JPEG's losses: compare a few sample points.
    for (QPoint p : {QPoint(2, 2), QPoint(expected.width() / 2, expected.height() / 2)}) {
        const QColor a = cut.pixelColor(p), b = decoded.pixelColor(p);
        QVERIFY(qAbs(a.red() - b.red()) < 40 && qAbs(a.green() - b.green()) < 40 && qAbs(a.blue() - b.blue()) < 40);
    }
}

void TestPictureInput::cutoutOffThePicture()
{
    const QImage source = PictureWindow::pattern(400, 300);
    const QSize shown(200, 150), view(300, 250);
    QVERIFY(CSelectionCutout::cut(source, shown, view, QRect(50, 50, 0, 40)).isNull());
    QVERIFY(CSelectionCutout::cut(source, shown, view, QRect(50, 50, 40, -5)).isNull());
    QVERIFY(CSelectionCutout::cut(source, shown, view, QRect(260, 210, 30, 30)).isNull()); // beside the picture
    QVERIFY(CSelectionCutout::encode(QImage()).isEmpty());
    // Partly outside: a picture of the frame's size, the outside part empty.
    const QImage partly = CSelectionCutout::cut(source, shown, view, QRect(30, 30, 40, 40));
    QCOMPARE(partly.size(), QSize(80, 80));
}

void TestPictureInput::badFilesChangeNothing_data()
{
    QTest::addColumn<QString>("kind");
    for (const char *kind : {"not a picture", "truncated PNG", "truncated JPEG", "empty file", "directory",
                             "missing path", "50000 by 50000 header", "20001 wide header",
                             // Cut inside the pixels, where decoders would show what they have.
                             "JPEG cut at 60 percent", "PNG cut at 90 percent", "BMP cut at 90 percent",
                             "TIFF cut at 90 percent"})
        QTest::newRow(kind) << QString(kind);
}

void TestPictureInput::badFilesChangeNothing()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    const QImage good = PictureWindow::pattern(300, 200);
    const QByteArray png = encoded(good, "PNG");
    const QByteArray jpeg = encoded(good, "JPG");
    QString path;
    if (kind == "not a picture")
        path = writeFile(dir, "notes.png", "these are not the pixels you are looking for\n");
    else if (kind == "truncated PNG")
        path = writeFile(dir, "cut.png", png.left(png.size() / 3));
    else if (kind == "truncated JPEG")
        path = writeFile(dir, "cut.jpg", jpeg.left(200));
    else if (kind.contains("percent")) {
        const QString format = kind.section(' ', 0, 0);
        const QByteArray whole = encoded(good, qPrintable(format));
        QVERIFY(!whole.isEmpty());
        path = writeFile(dir, "cut." + format.toLower(), whole.left(whole.size() * kind.section(' ', 3, 3).toInt() / 100));
    } else if (kind == "empty file")
        path = writeFile(dir, "empty.jpg", QByteArray());
    else if (kind == "directory")
        path = dir.path();
    else if (kind == "missing path")
        path = dir.filePath("nothing-here.png");
    else if (kind == "50000 by 50000 header")
        path = writeFile(dir, "huge.png", pngHeader(50000, 50000));
    else
        path = writeFile(dir, "wide.png", pngHeader(20001, 10));

    if (kind.contains("header")) {
        for (int i = 0; i < 2; ++i) // refused before decoding, with a word why
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression("picture too large"));
    }
    QImage picture;
    QVERIFY(!CPictureLoader::load(path, &picture));

    PictureWindow w;
    QVERIFY(w.show(good));
    const QRect frame = w.frame();
    QVERIFY(!w.window().slotOpenGrab(path));
    QCOMPARE(w.window().picture().size(), good.size());
    QCOMPARE(w.frame(), frame);
}

void TestPictureInput::loadsPictureFiles_data()
{
    QTest::addColumn<QString>("format");
    for (const char *format : {"png", "jpg", "bmp", "tif"})
        QTest::newRow(format) << QString(format);
}

void TestPictureInput::loadsPictureFiles()
{
    QFETCH(QString, format);
    QTemporaryDir dir;
    const QString path = dir.filePath("stamp." + format);
    QVERIFY(PictureWindow::pattern(640, 480).save(path));
    PictureWindow w;
    QVERIFY(w.window().slotOpenGrab(path));
    QCOMPARE(w.window().picture().size(), QSize(640, 480));
}

void TestPictureInput::dropPicksFirstAcceptedEnding()
{
    CDisplay view;
    view.show();
    QSignalSpy spy(&view, &CDisplay::signalOutUrl);
    QVERIFY(drop(&view, {QUrl::fromLocalFile("/p/notes.txt"), QUrl::fromLocalFile("/p/second.PNG"),
                         QUrl::fromLocalFile("/p/third.jpg")}));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.first().first().toString(), QString("/p/second.PNG"));
    drop(&view, {QUrl::fromLocalFile("/p/scan.tiff"), QUrl::fromLocalFile("/p/scan.tif")});
    drop(&view, {QUrl("http://stamps.example/penny.png")});
    QCOMPARE(spy.size(), 1);
    drop(&view, {QUrl::fromLocalFile("/p/photojpeg")}); // the bare ending counts, no dot needed
    QCOMPARE(spy.size(), 2);

    // A drag of plain text is not taken at all.
    QMimeData text;
    text.setText("penny black");
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&view, &enter);
    QVERIFY(!enter.isAccepted());
}

void TestPictureInput::droppedFileIsLoaded()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("dropped.png");
    QVERIFY(PictureWindow::pattern(500, 700).save(path));
    PictureWindow w;
    w.window().findChild<QTabWidget *>("tabWidget")->setCurrentIndex(1);
    // Dropped on the browser tab, handed to the view: the picture is loaded and its tab shown.
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(dir.filePath("readme.txt")), QUrl::fromLocalFile(path)});
    QDropEvent event(QPointF(1, 1), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    w.window().display()->slotDropOverboard(&event);
    QCOMPARE(w.window().picture().size(), QSize(500, 700));
    QCOMPARE(w.window().findChild<QTabWidget *>("tabWidget")->currentIndex(), 0);
}

void TestPictureInput::pasteAndContextMenu()
{
    PictureWindow w;
    auto *menu = w.window().findChild<QMenu *>(QString(), Qt::FindDirectChildrenOnly);
    QVERIFY(menu);
    QClipboard *clipboard = QApplication::clipboard();

    clipboard->setText("just text");
    w.window().slotOnContextMenu();
    QVERIFY(!menu->actions().first()->isEnabled());
    menu->hide();
    w.window().slotPasteImg(); // text only: nothing happens
    QCOMPARE(w.window().picture().size(), QSize(400, 300));

    clipboard->setImage(PictureWindow::pattern(321, 234));
    w.window().slotOnContextMenu();
    QVERIFY(menu->actions().first()->isEnabled());
    menu->hide();

    // Ctrl+V on the window pastes.
    QTest::keyPress(&w.window(), Qt::Key_Control);
    QTest::keyPress(&w.window(), Qt::Key_V, Qt::ControlModifier);
    QTest::keyRelease(&w.window(), Qt::Key_V, Qt::ControlModifier);
    QTest::keyRelease(&w.window(), Qt::Key_Control);
    QCOMPARE(w.window().picture().size(), QSize(321, 234));
    clipboard->clear();
}

void TestPictureInput::cancelledDialogChangesNothing()
{
    PictureWindow w;
    QVERIFY(w.show(PictureWindow::pattern(300, 300)));
    w.window().config()->last_path = "/somewhere/old.png";
    ModalAnswerer answerer([](QWidget *dialog) {
        auto *files = qobject_cast<QFileDialog *>(dialog);
        QVERIFY(files);
        QCOMPARE(files->windowTitle(), QString("Open File"));
        files->reject();
    });
    QVERIFY(!w.window().slotOpenGrab());
    QCOMPARE(answerer.seen, QStringList("QFileDialog"));
    QCOMPARE(w.window().config()->last_path, QString("/somewhere/old.png"));
    QCOMPARE(w.window().picture().size(), QSize(300, 300));
}

void TestPictureInput::searchCutOutMatchesFrame()
{
    PictureWindow w;
    const QImage picture = PictureWindow::pattern(3000, 2000);
    QVERIFY(w.show(picture));
    w.window().slotSelection();
    const QByteArray jpeg = w.window().takeSelection();
    QCOMPARE(w.window().selection().size(), QSize(512, 341));
    QImage decoded;
    QVERIFY(decoded.loadFromData(jpeg));
    QCOMPARE(decoded.size(), QSize(512, 341));
    // The dark mark of the picture's top-left corner is in the cut-out's top-left corner.
    const QColor corner = decoded.pixelColor(10, 10);
    QVERIFY(corner.blue() > 80 && corner.red() < 60);
}

QTEST_MAIN(TestPictureInput)
#include "tst_pictureinput.moc"
