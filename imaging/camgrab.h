#pragma once

#include <QImage>
#include <QObject>
#include <QPixmap>

#include <memory>
#include <opencv2/core/mat.hpp>

class QLabel;
namespace cv {
class VideoCapture;
}

// Grabs camera frames on the GUI thread, one per 100 ms timer tick while started, and hands each
// one on as a 1024 x 768 pixmap. The camera's own size is stretched to that size, whatever its
// aspect ratio. A camera that stops delivering counts as lost: the picture turns white and stays
// so until another camera is chosen.
class CCamGrab : public QObject
{
    Q_OBJECT
public:
    static constexpr int frameWidth = 1024;
    static constexpr int frameHeight = 768;
    static constexpr int grabInterval = 100; // ms
    // The picture on show before any camera delivered a frame.
    static constexpr uint initialFill = 0xf00fffff;

    // Opens camera 0; without one the grabber stays without a capture and delivers nothing.
    CCamGrab(QObject *parent, QLabel *view);
    ~CCamGrab() override;

    // Starts the grab timer unless it runs already: starting twice keeps one timer.
    void startGrab();
    void stopGrab();

    int timer() const { return timerId; }
    bool hasCapture() const { return capture != nullptr; }
    const QImage &frame() const { return frameImage; }
    const QImage &lastFrameImage() const { return lastFrame; }

    // Makes an open capture the grabber's camera; a null or unopened one leaves it without.
    void setCapture(std::unique_ptr<cv::VideoCapture> source);

    // The capture behind a camera number (a V4L2 device), or null when it does not open. The
    // environment variable QUILLET_CAMERA may name a video file or a device path that stands in
    // for camera 0, so the preview can be tried and tested without a camera.
    static std::unique_ptr<cv::VideoCapture> openCamera(int index);

signals:
    void signalOutPixmap(const QPixmap &pixmap);

public slots:
    // Opens the camera with that number and makes it the capture; the one open before is
    // released first (a device is not opened twice). A negative number (no entry chosen) leaves
    // the grabber without a capture.
    void slotSelectCam(int index);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void grabFrame();
    void loseCamera();
    void emitFrame();

    QImage frameImage;
    QImage lastFrame;
    QLabel *view = nullptr;
    std::unique_ptr<cv::VideoCapture> capture;
    cv::Mat workImage;
    int timerId = -1;
};
