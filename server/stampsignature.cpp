#include "stampsignature.h"

#include <opencv2/imgproc.hpp>

#include <cmath>

namespace {

constexpr int colourLevels = 6; // per channel: 216 bins

} // namespace

CStampSignature CStampSignature::fromImage(const QImage &image)
{
    CStampSignature signature;
    if (image.isNull() || image.width() < 16 || image.height() < 16)
        return signature;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    const cv::Mat whole(rgb.height(), rgb.width(), CV_8UC3, const_cast<uchar *>(rgb.constBits()),
                        size_t(rgb.bytesPerLine()));
    // The inner part: a cut-out's margin and a turned photo's corners say little about the stamp.
    const int marginX = whole.cols / 10;
    const int marginY = whole.rows / 10;
    const cv::Mat inner = whole(cv::Rect(marginX, marginY, whole.cols - 2 * marginX,
                                         whole.rows - 2 * marginY));

    cv::Mat grey;
    cv::cvtColor(inner, grey, cv::COLOR_RGB2GRAY);
    cv::Mat small;
    cv::resize(grey, small, cv::Size(layoutSide, layoutSide), 0, 0, cv::INTER_AREA);
    small.convertTo(small, CV_32F);
    cv::GaussianBlur(small, small, cv::Size(3, 3), 1.0);
    const cv::Scalar mean = cv::mean(small);
    small -= mean;
    const double norm = cv::norm(small);
    signature.m_layout.assign(small.begin<float>(), small.end<float>());
    if (norm > 1e-6) {
        for (float &value : signature.m_layout)
            value = float(value / norm);
    }

    cv::Mat reduced;
    cv::resize(inner, reduced, cv::Size(64, 64), 0, 0, cv::INTER_AREA);
    signature.m_colours.assign(colourLevels * colourLevels * colourLevels, 0.0f);
    for (int y = 0; y < reduced.rows; ++y) {
        for (int x = 0; x < reduced.cols; ++x) {
            const cv::Vec3b pixel = reduced.at<cv::Vec3b>(y, x);
            const int r = pixel[0] * colourLevels / 256;
            const int g = pixel[1] * colourLevels / 256;
            const int b = pixel[2] * colourLevels / 256;
            signature.m_colours[(r * colourLevels + g) * colourLevels + b] += 1.0f;
        }
    }
    const float total = float(reduced.rows * reduced.cols);
    for (float &value : signature.m_colours)
        value /= total;
    return signature;
}

double CStampSignature::similarity(const CStampSignature &other) const
{
    if (!isValid() || !other.isValid())
        return -1.0;
    double correlation = 0.0;
    for (size_t n = 0; n < m_layout.size(); ++n)
        correlation += double(m_layout[n]) * double(other.m_layout[n]);
    double intersection = 0.0;
    for (size_t n = 0; n < m_colours.size(); ++n)
        intersection += std::min(m_colours[n], other.m_colours[n]);
    return 0.5 * correlation + 0.5 * intersection;
}
