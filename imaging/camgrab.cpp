#include "camgrab.h"

#include <QLabel>
#include <QTimerEvent>

#include <exception>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

CCamGrab::CCamGrab(QObject *parent, QLabel *view) : QObject(parent), view(view)
{
    frameImage = QImage(frameWidth, frameHeight, QImage::Format_RGB32);
    frameImage.fill(initialFill);
    if (view)
        view->setAlignment(Qt::AlignCenter);
    capture = openCamera(0);
    workImage.create(frameHeight, frameWidth, CV_8UC3);
    timerId = -1;
}

CCamGrab::~CCamGrab()
{
    capture.reset();
    stopGrab();
    workImage.release();
}

std::unique_ptr<cv::VideoCapture> CCamGrab::openCamera(int index)
{
    if (index < 0)
        return nullptr;
    std::unique_ptr<cv::VideoCapture> source;
    const QByteArray standIn = qgetenv("QUILLET_CAMERA");
    try {
        if (index == 0 && !standIn.isEmpty())
            source = std::make_unique<cv::VideoCapture>(standIn.toStdString());
        else
            source = std::make_unique<cv::VideoCapture>(index, cv::CAP_V4L2);
    } catch (const std::exception &) {
        return nullptr;
    }
    if (!source->isOpened())
        return nullptr;
    return source;
}

void CCamGrab::setCapture(std::unique_ptr<cv::VideoCapture> source)
{
    if (source && !source->isOpened())
        source.reset();
    capture = std::move(source);
}

void CCamGrab::slotSelectCam(int index)
{
    capture.reset();
    setCapture(openCamera(index));
}

void CCamGrab::startGrab()
{
    if (timerId == -1)
        timerId = startTimer(grabInterval);
}

void CCamGrab::stopGrab()
{
    if (timerId != -1)
        killTimer(timerId);
    timerId = -1;
}

void CCamGrab::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != timerId) {
        QObject::timerEvent(event);
        return;
    }
    grabFrame();
}

void CCamGrab::grabFrame()
{
    if (!capture)
        return;

    cv::Mat frame;
    try {
        if (!capture->grab()) {
            loseCamera();
            return;
        }
        capture->retrieve(frame);
    } catch (const std::exception &) {
        loseCamera();
        return;
    }

    // Only 8-bit colour frames are taken; anything else leaves the picture as it was.
    if (!frame.empty() && frame.depth() == CV_8U && frame.channels() == 3) {
        cv::resize(frame, workImage, cv::Size(frameWidth, frameHeight), 0, 0, cv::INTER_LINEAR);
        for (int y = 0; y < frameHeight; ++y) {
            const uchar *bgr = workImage.ptr<uchar>(y);
            auto *line = reinterpret_cast<QRgb *>(frameImage.scanLine(y));
            for (int x = 0; x < frameWidth; ++x, bgr += 3)
                line[x] = qRgb(bgr[2], bgr[1], bgr[0]);
        }
    }
    emitFrame();
}

void CCamGrab::loseCamera()
{
    capture.reset();
    frameImage.fill(0xffffffff);
    emitFrame();
}

void CCamGrab::emitFrame()
{
    emit signalOutPixmap(QPixmap::fromImage(frameImage));
    lastFrame = frameImage;
}
