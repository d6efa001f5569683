#include "imaging/camgrab.h"
#include "imaging/campreview.h"
#include "imaging/display.h"
#include "imaging/tepageitem.h"
#include "modalanswerer.h"
#include "picturewindow.h"
#include "temphome.h"
#include "app/translationtable.h"

#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

namespace {

// A distinct colour per frame, with red, green and blue apart, so that the frame on show names
// the frame it came from and a swap of channels shows.
QRgb colourOf(int i)
{
    return qRgb((40 + 53 * i) % 256, (90 + 29 * i) % 256, (200 + 71 * i) % 256);
}

cv::Mat solid(cv::Size size, QRgb colour, int type = CV_8UC3)
{
    return cv::Mat(size, type, cv::Scalar(qBlue(colour), qGreen(colour), qRed(colour), 255));
}

// A lossless video (FFV1 in AVI), so that frames come back with exactly the pixels written.
bool writeVideo(const QString &path, const std::vector<cv::Mat> &frames)
{
    cv::VideoWriter writer(path.toStdString(), cv::VideoWriter::fourcc('F', 'F', 'V', '1'), 10, frames.front().size());
    if (!writer.isOpened())
        return false;
    for (const cv::Mat &frame : frames)
        writer.write(frame);
    return true;
}

std::vector<cv::Mat> solidFrames(cv::Size size, int count)
{
    std::vector<cv::Mat> frames;
    for (int i = 0; i < count; ++i)
        frames.push_back(solid(size, colourOf(i)));
    return frames;
}

// The first pixel that differs from the colour, or none.
std::optional<QPoint> differsFrom(const QImage &image, QRgb colour)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < rgb.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x) {
            if (line[x] != (colour | 0xff000000))
                return QPoint(x, y);
        }
    }
    return std::nullopt;
}

bool isUniform(const QImage &image, QRgb colour)
{
    return !image.isNull() && !differsFrom(image, colour);
}

// The number of the solid frame a picture shows, or -1.
int frameNumberOf(const QImage &image)
{
    for (int i = 0; i < 256; ++i) {
        if (isUniform(image, colourOf(i)))
            return i;
    }
    return -1;
}

QImage rgb(const QPixmap &pixmap)
{
    return pixmap.toImage().convertToFormat(QImage::Format_RGB32);
}

// QUILLET_CAMERA for one test: what camera 0 reads.
class CameraStandIn
{
public:
    explicit CameraStandIn(const QString &source) : m_old(qgetenv("QUILLET_CAMERA"))
    {
        qputenv("QUILLET_CAMERA", QFile::encodeName(source));
    }
    ~CameraStandIn() { qputenv("QUILLET_CAMERA", m_old); }

private:
    QByteArray m_old;
};

// A preview on its own, shown, as the main window would hold it.
class Preview
{
public:
    Preview()
    {
        widget = new CCamPreview(nullptr, {});
        widget->resize(800, 600);
        widget->show();
    }
    ~Preview() { delete widget.data(); }
    QPushButton *button(const char *name) const { return widget->findChild<QPushButton *>(name); }
    void click(const char *name) const { QTest::mouseClick(button(name), Qt::LeftButton); }

    QPointer<CCamPreview> widget;
};

// Counts the timer events an object receives, by timer.
class TimerWatch : public QObject
{
public:
    explicit TimerWatch(QObject *watched) { watched->installEventFilter(this); }
    QList<int> ids;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Timer)
            ids << static_cast<QTimerEvent *>(event)->timerId();
        return false;
    }
};

QToolButton *buttonWithToolTip(QWidget *window, const QString &tip)
{
    for (QToolButton *button : window->findChildren<QToolButton *>()) {
        if (button->toolTip() == tip)
            return button;
    }
    return nullptr;
}

bool noDevice(int index)
{
    return !QFileInfo::exists(QStringLiteral("/dev/video%1").arg(index));
}

} // namespace

class TestWebcam : public QObject
{
    Q_OBJECT
private slots:
    void captureThenApplyGivesTheFrozenFrame();
    void sourceIsStretchedToFrameSize_data();
    void sourceIsStretchedToFrameSize();
    void startingTwiceKeepsOneTimer();
    void missingCameraDeliversNothingUntilAnotherIsChosen();
    void endedStreamTurnsWhite();
    void framesOfAnotherFormatLeaveThePicture_data();
    void framesOfAnotherFormatLeaveThePicture();
    void webCamButtonTakesThePicture();
    void noCameraIsReportedInTheWindowsLanguage_data();
    void noCameraIsReportedInTheWindowsLanguage();
};

void TestWebcam::captureThenApplyGivesTheFrozenFrame()
{
    QTemporaryDir dir;
    const QString video = dir.filePath("colours.avi");
    QVERIFY(writeVideo(video, solidFrames({1024, 768}, 60)));
    CameraStandIn camera(video);
    Preview preview;
    QSignalSpy frames(preview.widget->grabber(), &CCamGrab::signalOutPixmap);

    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 3, 5000);
    preview.click("bCapture");
    const int frozenAt = frames.count();
    QTest::qWait(350);
    QCOMPARE(frames.count(), frozenAt);
    // Frames come in the source's order, one per tick: the one on show is the last grabbed.
    QVERIFY(isUniform(preview.widget->lastFrame().toImage(), colourOf(frozenAt - 1)));

    // "Start" resumes the live picture where the source stands.
    preview.click("bStart");
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= frozenAt + 2, 5000);
    preview.click("bCapture");
    const int shown = frames.count();
    const QImage frozen = rgb(preview.widget->lastFrame());
    QVERIFY(isUniform(frozen, colourOf(shown - 1)));
    QCOMPARE(frozen, preview.widget->grabber()->lastFrameImage().convertToFormat(QImage::Format_RGB32));

    QPointer<CCamGrab> grabber = preview.widget->grabber();
    QSignalSpy applied(preview.widget.data(), &CCamPreview::signalOutPixmap);
    QTest::qWait(250);
    preview.click("bApply");
    QCOMPARE(applied.count(), 1);
    const QImage picture = rgb(applied.at(0).at(0).value<QPixmap>());
    QCOMPARE(picture.size(), QSize(1024, 768));
    QCOMPARE(picture, frozen);
    QCOMPARE(frames.count(), shown);
    // The preview closes and takes the grabber, and with it the camera, along.
    QTRY_VERIFY(preview.widget.isNull());
    QVERIFY(grabber.isNull());
}

void TestWebcam::sourceIsStretchedToFrameSize_data()
{
    QTest::addColumn<QSize>("source");
    QTest::newRow("1280 by 720") << QSize(1280, 720);
    QTest::newRow("640 by 480") << QSize(640, 480);
    QTest::newRow("600 by 800 upright") << QSize(600, 800);
}

void TestWebcam::sourceIsStretchedToFrameSize()
{
    QFETCH(QSize, source);
    // White, with a black block over the middle half of each side: stretched (not letter-boxed)
    // to 1024 by 768, the block covers x 256..767 and y 192..575 whatever the source's shape.
    const int w = source.width(), h = source.height();
    cv::Mat frame(h, w, CV_8UC3, cv::Scalar(255, 255, 255));
    frame(cv::Rect(w / 4, h / 4, w / 2, h / 2)).setTo(cv::Scalar(0, 0, 0));
    QTemporaryDir dir;
    QVERIFY(writeVideo(dir.filePath("block.avi"), std::vector<cv::Mat>(5, frame)));
    CameraStandIn camera(dir.filePath("block.avi"));
    Preview preview;
    QSignalSpy applied(preview.widget.data(), &CCamPreview::signalOutPixmap);
    QSignalSpy frames(preview.widget->grabber(), &CCamGrab::signalOutPixmap);
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 1, 5000);
    preview.click("bApply");

    QCOMPARE(applied.count(), 1);
    const QImage picture = rgb(applied.at(0).at(0).value<QPixmap>());
    QCOMPARE(picture.size(), QSize(1024, 768));
    const int m = 6; // clear of the blend at the edges
    for (QPoint inside : {QPoint(256 + m, 192 + m), QPoint(767 - m, 575 - m), QPoint(512, 192 + m), QPoint(256 + m, 575 - m)})
        QCOMPARE(picture.pixel(inside), qRgb(0, 0, 0));
    for (QPoint outside : {QPoint(256 - m, 384), QPoint(767 + m, 384), QPoint(512, 192 - m), QPoint(512, 575 + m),
                           QPoint(0, 0), QPoint(1023, 767)})
        QCOMPARE(picture.pixel(outside), qRgb(255, 255, 255));
}

void TestWebcam::startingTwiceKeepsOneTimer()
{
    QTemporaryDir dir;
    QVERIFY(writeVideo(dir.filePath("long.avi"), solidFrames({64, 48}, 200)));
    CameraStandIn camera(dir.filePath("long.avi"));
    Preview preview;
    CCamGrab *grabber = preview.widget->grabber();
    TimerWatch watch(grabber);
    const int running = grabber->timer();
    QVERIFY(running != -1);

    preview.click("bStart");
    preview.click("bStart");
    QCOMPARE(grabber->timer(), running);
    QTRY_VERIFY_WITH_TIMEOUT(watch.ids.size() >= 6, 5000);
    QCOMPARE(QSet<int>(watch.ids.begin(), watch.ids.end()), QSet<int>{running});

    preview.click("bCapture");
    QCOMPARE(grabber->timer(), -1);
    const int ticks = watch.ids.size();
    QTest::qWait(350);
    QCOMPARE(watch.ids.size(), ticks);
}

void TestWebcam::missingCameraDeliversNothingUntilAnotherIsChosen()
{
    if (!noDevice(3))
        QSKIP("this machine has a fourth camera");
    QTemporaryDir dir;
    QVERIFY(writeVideo(dir.filePath("colours.avi"), solidFrames({320, 240}, 100)));
    CameraStandIn camera(dir.filePath("colours.avi"));
    Preview preview;
    CCamGrab *grabber = preview.widget->grabber();
    QSignalSpy frames(grabber, &CCamGrab::signalOutPixmap);
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 2, 5000);

    preview.widget->cameraBox()->setCurrentIndex(3);
    QVERIFY(!grabber->hasCapture());
    QVERIFY(grabber->timer() != -1);
    const int before = frames.count();
    const QImage onShow = preview.widget->lastFrame().toImage();
    QTest::qWait(350);
    QCOMPARE(frames.count(), before);
    QCOMPARE(preview.widget->lastFrame().toImage(), onShow);

    // Camera 0 again: the stand-in opens afresh and plays from its first frame.
    preview.widget->cameraBox()->setCurrentIndex(0);
    QVERIFY(grabber->hasCapture());
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() > before, 5000);
    QVERIFY(isUniform(frames.at(before).at(0).value<QPixmap>().toImage(), colourOf(0)));
}

void TestWebcam::endedStreamTurnsWhite()
{
    QTemporaryDir dir;
    QVERIFY(writeVideo(dir.filePath("short.avi"), solidFrames({640, 480}, 3)));
    CameraStandIn camera(dir.filePath("short.avi"));
    Preview preview;
    CCamGrab *grabber = preview.widget->grabber();
    QSignalSpy frames(grabber, &CCamGrab::signalOutPixmap);
    QTRY_VERIFY_WITH_TIMEOUT(!grabber->hasCapture(), 5000);

    // Three frames, then the grab that fails: white, and nothing more while the timer runs on.
    QCOMPARE(frames.count(), 4);
    QVERIFY(isUniform(frames.at(2).at(0).value<QPixmap>().toImage(), colourOf(2)));
    QVERIFY(isUniform(preview.widget->lastFrame().toImage(), qRgb(255, 255, 255)));
    QVERIFY(grabber->timer() != -1);
    QTest::qWait(350);
    QCOMPARE(frames.count(), 4);

    QSignalSpy applied(preview.widget.data(), &CCamPreview::signalOutPixmap);
    preview.click("bApply");
    QCOMPARE(applied.count(), 1);
    const QImage picture = applied.at(0).at(0).value<QPixmap>().toImage();
    QCOMPARE(picture.size(), QSize(1024, 768));
    QVERIFY(isUniform(picture, qRgb(255, 255, 255)));
}

void TestWebcam::framesOfAnotherFormatLeaveThePicture_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("taken");
    QTest::newRow("grey 8-bit") << int(CV_8UC1) << QSize(320, 240) << false;
    QTest::newRow("grey 16-bit") << int(CV_16UC1) << QSize(320, 240) << false;
    QTest::newRow("colour 16-bit") << int(CV_16UC3) << QSize(320, 240) << false;
    QTest::newRow("colour and alpha") << int(CV_8UC4) << QSize(320, 240) << false;
    QTest::newRow("colour float") << int(CV_32FC3) << QSize(320, 240) << false;
    QTest::newRow("colour 1 by 1") << int(CV_8UC3) << QSize(1, 1) << true;
    QTest::newRow("colour 4000 by 3") << int(CV_8UC3) << QSize(4000, 3) << true;
    QTest::newRow("colour 3 by 4000") << int(CV_8UC3) << QSize(3, 4000) << true;
}

void TestWebcam::framesOfAnotherFormatLeaveThePicture()
{
    QFETCH(int, type);
    QFETCH(QSize, size);
    QFETCH(bool, taken);
    // A picture sequence keeps each picture's own format and size, as an odd camera might
    // deliver them: a good frame, the odd one, a good one, then the end.
    QTemporaryDir dir;
    const QRgb before = colourOf(1), odd = colourOf(2), after = colourOf(3);
    cv::Mat oddFrame = solid({size.width(), size.height()}, odd, CV_8UC(CV_MAT_CN(type)));
    oddFrame.convertTo(oddFrame, type, CV_MAT_DEPTH(type) == CV_16U ? 257.0 : CV_MAT_DEPTH(type) == CV_32F ? 1 / 255.0 : 1.0);
    const std::vector<cv::Mat> sequence = {solid({320, 240}, before), oddFrame, solid({320, 240}, after)};
    for (size_t i = 0; i < sequence.size(); ++i)
        QVERIFY(cv::imwrite(dir.filePath(QString::asprintf("f_%03zu.tiff", i)).toStdString(), sequence[i]));
    const std::string pattern = dir.filePath("f_%03d.tiff").toStdString();
    {
        cv::VideoCapture check(pattern, cv::CAP_IMAGES);
        cv::Mat frame;
        QVERIFY(check.read(frame) && check.read(frame));
        QCOMPARE(frame.type(), type);
        QCOMPARE(QSize(frame.cols, frame.rows), size);
    }

    CameraStandIn camera(dir.filePath("no-camera.avi"));
    Preview preview;
    CCamGrab *grabber = preview.widget->grabber();
    QVERIFY(!grabber->hasCapture());
    QSignalSpy frames(grabber, &CCamGrab::signalOutPixmap);
    grabber->setCapture(std::make_unique<cv::VideoCapture>(pattern, cv::CAP_IMAGES));
    QVERIFY(grabber->hasCapture());
    QTRY_VERIFY_WITH_TIMEOUT(!grabber->hasCapture(), 5000);

    QCOMPARE(frames.count(), 4);
    const QList<QRgb> expected = {before, taken ? odd : before, after, qRgb(255, 255, 255)};
    for (int i = 0; i < 4; ++i) {
        const QImage shown = frames.at(i).at(0).value<QPixmap>().toImage();
        QCOMPARE(shown.size(), QSize(1024, 768));
        const std::optional<QPoint> at = differsFrom(shown, expected.at(i));
        QVERIFY2(!at, qPrintable(QString("frame %1 differs at %2,%3").arg(i).arg(at ? at->x() : 0).arg(at ? at->y() : 0)));
    }
}

void TestWebcam::webCamButtonTakesThePicture()
{
    QTemporaryDir dir;
    QVERIFY(writeVideo(dir.filePath("wide.avi"), solidFrames({1280, 720}, 60)));
    CameraStandIn camera(dir.filePath("wide.avi"));
    PictureWindow w;
    MainWindow &window = w.window();
    QVERIFY(w.show(PictureWindow::pattern(500, 400)));
    auto *panel = window.findChild<QWidget *>("up_panel");

    QToolButton *webCam = buttonWithToolTip(&window, "Web Cam");
    QVERIFY(webCam);
    QTest::mouseClick(webCam, Qt::LeftButton);
    QPointer<CCamPreview> preview = window.display()->findChild<CCamPreview *>();
    QVERIFY(preview);
    QVERIFY(!panel->isEnabled());
    QVERIFY(!window.selectionFrame()->isSelected());
    QCOMPARE(window.picture().size(), QSize(400, 300)); // the old picture is gone
    // The preview fills the picture area.
    QVERIFY(preview->isVisible());
    QTRY_COMPARE(preview->geometry(), window.display()->rect());
    QCOMPARE(preview->findChild<QPushButton *>("bStart")->text(), QString("Start"));
    window.slotStartGrab(); // one preview at a time
    QCOMPARE(window.display()->findChildren<CCamPreview *>().size(), 1);

    QSignalSpy frames(preview->grabber(), &CCamGrab::signalOutPixmap);
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 2, 5000);
    QTest::mouseClick(preview->findChild<QPushButton *>("bCapture"), Qt::LeftButton);
    const QImage frozen = rgb(preview->lastFrame());
    QVERIFY(frameNumberOf(frozen) >= 1);
    QCOMPARE(frozen, preview->grabber()->lastFrameImage().convertToFormat(QImage::Format_RGB32));
    QTest::mouseClick(preview->findChild<QPushButton *>("bApply"), Qt::LeftButton);

    QCOMPARE(window.picture().size(), QSize(1024, 768));
    QCOMPARE(rgb(window.picture()), frozen);
    QVERIFY(panel->isEnabled());
    QVERIFY(window.selectionFrame()->isSelected());
    QVERIFY(buttonWithToolTip(&window, "turn left")->isEnabled());
    // Shown fitted in the view, like a loaded picture.
    QCOMPARE(window.display()->shownSize(), QSize(1024, 768).scaled(window.display()->size(), Qt::KeepAspectRatio));

    // The applied preview is on its way out; "Web Cam" at once opens a new one.
    QVERIFY(!preview->isVisible());
    QTest::mouseClick(webCam, Qt::LeftButton);
    QTRY_VERIFY(preview.isNull());
    const QList<CCamPreview *> open = window.display()->findChildren<CCamPreview *>();
    QCOMPARE(open.size(), 1);
    QVERIFY(open.first()->isVisible());
    QVERIFY(open.first()->grabber()->hasCapture());
}

void TestWebcam::noCameraIsReportedInTheWindowsLanguage_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QStringList>("texts"); // "Camera:", "Start", "Capture", "Apply", the message
    QTest::newRow("english") << "english"
                             << QStringList{"Camera:", "Start", "Capture", "Apply", "Webcam is not connected"};
    QTest::newRow("german") << "german"
                            << QStringList{"Kamera:", "Starten", "Aufnehmen", "Übernehmen", "Keine Webcam angeschlossen"};
}

void TestWebcam::noCameraIsReportedInTheWindowsLanguage()
{
    QFETCH(QString, language);
    QFETCH(QStringList, texts);
    QTemporaryDir dir;
    CameraStandIn camera(dir.filePath("no-camera.avi"));
    TempHome home;
    home.writeKnownConfig(language);
    MainWindow window({"quillet"});
    window.resize(1000, 655);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(window.slotOpenGrab(QString(), PictureWindow::pattern(500, 400)));
    window.slotStartGrab();
    QPointer<CCamPreview> preview = window.display()->findChild<CCamPreview *>();
    QVERIFY(preview);

    QComboBox *cameras = preview->cameraBox();
    QCOMPARE(cameras->count(), 10);
    for (int i = 0; i < 10; ++i)
        QCOMPARE(cameras->itemText(i), texts.at(0) + ' ' + QString::number(i));
    QCOMPARE(cameras->currentIndex(), 0);
    QCOMPARE(preview->findChild<QPushButton *>("bStart")->text(), texts.at(1));
    QCOMPARE(preview->findChild<QPushButton *>("bCapture")->text(), texts.at(2));
    QCOMPARE(preview->findChild<QPushButton *>("bApply")->text(), texts.at(3));

    QVERIFY(!preview->grabber()->hasCapture());
    QTest::qWait(300);
    QVERIFY(preview->lastFrame().isNull());

    QString message;
    ModalAnswerer answerer([&](QWidget *dialog) {
        if (auto *box = qobject_cast<QMessageBox *>(dialog))
            message = box->text();
        dialog->close();
    });
    QTest::mouseClick(preview->findChild<QPushButton *>("bApply"), Qt::LeftButton);
    QCOMPARE(message, texts.at(4));
    QVERIFY(window.findChild<QWidget *>("up_panel")->isEnabled());
    for (const char *tip : {"Start Stamp Searching", "Select All", "turn left", "turn Right"}) {
        QToolButton *button = buttonWithToolTip(&window, window.translations()->tr(tip));
        QVERIFY2(button, tip);
        QVERIFY2(!button->isEnabled(), tip);
    }
    QTRY_VERIFY(preview.isNull());
    QCOMPARE(window.picture().size(), QSize(400, 300));
}

QTEST_MAIN(TestWebcam)
#include "tst_webcam.moc"
