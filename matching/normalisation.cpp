#include "normalisation.h"

#include <QDebug>
#include <opencv2/imgproc.hpp>

cv::Mat toColorImage(const QImage &image)
{
    if (image.isNull()) {
        qDebug() << "colorImage = 0";
        return cv::Mat();
    }
    QImage rgb32 = image;
    if (rgb32.format() != QImage::Format_RGB32 && rgb32.format() != QImage::Format_ARGB32)
        rgb32 = image.convertToFormat(QImage::Format_RGB32);
    if (rgb32.isNull()) {
        qDebug() << "colorImage = 0";
        return cv::Mat();
    }
    // Four bytes a pixel, blue, green, red and one unused: drop the fourth, keep the order.
    const cv::Mat view(rgb32.height(), rgb32.width(), CV_8UC4, const_cast<uchar *>(rgb32.constBits()),
                       size_t(rgb32.bytesPerLine()));
    if (view.cols < 10 || view.rows < 10) {
        qDebug() << "colorImage->width < 10 || colorImage->height < 10";
        return cv::Mat();
    }
    cv::Mat colour;
    cv::cvtColor(view, colour, cv::COLOR_BGRA2BGR);
    return colour;
}

cv::Mat cropImage(const cv::Mat &image, const cv::Rect &rect, int channels)
{
    if (image.empty() || rect.width <= 0 || rect.height <= 0 || (rect & cv::Rect(0, 0, image.cols, image.rows)) != rect)
        return cv::Mat();
    const cv::Mat region = image(rect);
    if (channels == 0 || channels == image.channels())
        return region.clone();
    cv::Mat out;
    if (image.channels() == 3 && channels == 1)
        cv::cvtColor(region, out, cv::COLOR_RGB2GRAY);
    else if (image.channels() == 1 && channels == 3)
        cv::cvtColor(region, out, cv::COLOR_GRAY2BGR);
    return out;
}

cv::Mat toComparisonGrey(const cv::Mat &colour)
{
    cv::Mat grey;
    if (colour.type() == CV_8UC3)
        cv::cvtColor(colour, grey, cv::COLOR_RGB2GRAY);
    else if (colour.type() == CV_8UC1)
        grey = colour.clone();
    return grey;
}

cv::Rect referenceCrop(cv::Size size)
{
    const int mx = int(size.width / 100.0 * 10), my = int(size.height / 100.0 * 10);
    return cv::Rect(mx, my, size.width - 2 * mx, size.height - 2 * my);
}

cv::Mat normaliseReference(const QImage &picture, int side)
{
    const cv::Mat colour = toColorImage(picture);
    if (colour.empty())
        return cv::Mat();
    const int w = colour.cols, h = colour.rows;
    if (w < 10 || h < 10) {
        qDebug() << "if (obj->width < 10 || obj->height < 10)";
        return cv::Mat();
    }
    const cv::Rect crop = referenceCrop(colour.size());
    const int mx = crop.x, my = crop.y, pw = crop.width, ph = crop.height;
    if (pw < 10 || ph < 10) {
        qDebug() << "if (pWidth < 10 || pHeightt < 10)";
        return cv::Mat();
    }
    const cv::Mat grey = toComparisonGrey(colour);
    if (grey.empty()) {
        qDebug() << "tmpGrayObj == 0";
        return cv::Mat();
    }
    const cv::Mat inner = cropImage(grey, cv::Rect(mx, my, pw, ph));
    if (inner.empty()) {
        qDebug() << "imag_obg_tmp == 0";
        return cv::Mat();
    }
    const double k = 2.0 * side / std::min(inner.cols, inner.rows);
    const cv::Size size(int(inner.cols * k * 0.5), int(k * inner.rows * 0.5));
    if (size.width <= 0 || size.height <= 0) {
        qDebug() << "object == 0";
        return cv::Mat();
    }
    cv::Mat reference;
    cv::resize(inner, reference, size, 0, 0, cv::INTER_LINEAR);
    if (reference.cols < 10 || reference.rows < 10) {
        qDebug() << "if (object < 10 || object < 10)";
        return cv::Mat();
    }
    return reference;
}
