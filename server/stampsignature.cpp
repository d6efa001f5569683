#include "stampsignature.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr int colourLevels = 6; // per channel: 216 bins

// The stamp's box inside a photo or a scan: the rows and columns where enough pixels differ from
// the picture's edge colour (the background). The whole picture when no clear box stands out.
cv::Rect stampBox(const cv::Mat &rgb)
{
    cv::Mat small;
    const double scale = 128.0 / std::max(rgb.cols, rgb.rows);
    cv::resize(rgb, small, cv::Size(), scale, scale, cv::INTER_AREA);
    if (small.cols < 8 || small.rows < 8)
        return cv::Rect(0, 0, rgb.cols, rgb.rows);
    std::vector<cv::Vec3b> edge;
    for (int x = 0; x < small.cols; ++x) {
        edge.push_back(small.at<cv::Vec3b>(0, x));
        edge.push_back(small.at<cv::Vec3b>(small.rows - 1, x));
    }
    for (int y = 0; y < small.rows; ++y) {
        edge.push_back(small.at<cv::Vec3b>(y, 0));
        edge.push_back(small.at<cv::Vec3b>(y, small.cols - 1));
    }
    cv::Vec3b background;
    for (int c = 0; c < 3; ++c) {
        std::vector<uchar> channel;
        for (const cv::Vec3b &pixel : edge)
            channel.push_back(pixel[c]);
        std::nth_element(channel.begin(), channel.begin() + channel.size() / 2, channel.end());
        background[c] = channel[channel.size() / 2];
    }
    std::vector<int> rowCount(small.rows, 0), columnCount(small.cols, 0);
    for (int y = 0; y < small.rows; ++y) {
        for (int x = 0; x < small.cols; ++x) {
            const cv::Vec3b pixel = small.at<cv::Vec3b>(y, x);
            const int distance = std::abs(pixel[0] - background[0]) + std::abs(pixel[1] - background[1])
                + std::abs(pixel[2] - background[2]);
            if (distance > 60) {
                ++rowCount[y];
                ++columnCount[x];
            }
        }
    }
    const auto span = [](const std::vector<int> &counts, int length, int across) {
        int first = 0, last = length - 1;
        const int needed = std::max(2, across / 4);
        while (first < length && counts[first] < needed)
            ++first;
        while (last > first && counts[last] < needed)
            --last;
        return std::pair<int, int>(first, last);
    };
    const auto [top, bottom] = span(rowCount, small.rows, small.cols);
    const auto [left, right] = span(columnCount, small.cols, small.rows);
    if (right - left < small.cols / 3 || bottom - top < small.rows / 3)
        return cv::Rect(0, 0, rgb.cols, rgb.rows);
    const cv::Rect box(int(left / scale), int(top / scale), int((right - left + 1) / scale),
                       int((bottom - top + 1) / scale));
    return box & cv::Rect(0, 0, rgb.cols, rgb.rows);
}

} // namespace

CStampSignature CStampSignature::fromImage(const QImage &image)
{
    if (image.isNull() || image.width() < 16 || image.height() < 16)
        return {};
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    const cv::Mat whole(rgb.height(), rgb.width(), CV_8UC3, const_cast<uchar *>(rgb.constBits()),
                        size_t(rgb.bytesPerLine()));
    // The inner part of the stamp itself: the background around a loosely framed stamp, the
    // perforation and a turned photo's corners say little about which stamp it is.
    const cv::Mat stamp = whole(stampBox(whole));
    const int marginX = stamp.cols / 8;
    const int marginY = stamp.rows / 8;
    const cv::Mat inner = stamp(cv::Rect(marginX, marginY, stamp.cols - 2 * marginX,
                                         stamp.rows - 2 * marginY));

    cv::Mat grey;
    cv::cvtColor(inner, grey, cv::COLOR_RGB2GRAY);
    cv::Mat small;
    cv::resize(grey, small, cv::Size(layoutSide, layoutSide), 0, 0, cv::INTER_AREA);
    small.convertTo(small, CV_32F);
    cv::GaussianBlur(small, small, cv::Size(3, 3), 1.0);
    const cv::Scalar mean = cv::mean(small);
    small -= mean;
    const double norm = cv::norm(small);
    std::vector<float> values(small.begin<float>(), small.end<float>());
    if (norm > 1e-6) {
        for (float &value : values)
            value = float(value / norm);
    }

    // Colours after each channel is brought to zero mean and unit spread: a photo's exposure and
    // white balance shift every channel, the inks' relations stay.
    cv::Mat reduced;
    cv::resize(inner, reduced, cv::Size(64, 64), 0, 0, cv::INTER_AREA);
    reduced.convertTo(reduced, CV_32FC3);
    cv::Scalar channelMean, channelSpread;
    cv::meanStdDev(reduced, channelMean, channelSpread);
    values.resize(valueCount, 0.0f);
    float *colours = values.data() + layoutCount;
    const auto level = [](float value, double mean, double spread) {
        const double z = spread > 1e-3 ? (value - mean) / spread : 0.0;
        return std::clamp(int((z + 2.0) * colourLevels / 4.0), 0, colourLevels - 1);
    };
    for (int y = 0; y < reduced.rows; ++y) {
        for (int x = 0; x < reduced.cols; ++x) {
            const cv::Vec3f pixel = reduced.at<cv::Vec3f>(y, x);
            const int r = level(pixel[0], channelMean[0], channelSpread[0]);
            const int g = level(pixel[1], channelMean[1], channelSpread[1]);
            const int b = level(pixel[2], channelMean[2], channelSpread[2]);
            colours[(r * colourLevels + g) * colourLevels + b] += 1.0f;
        }
    }
    const float total = float(reduced.rows * reduced.cols);
    for (size_t n = 0; n < colourCount; ++n)
        colours[n] /= total;
    return fromValues(values.data(), values.size());
}

double CStampSignature::similarity(const CStampSignature &other) const
{
    if (!isValid() || !other.isValid())
        return -1.0;
    int correlation = 0; // at most 576 * 127 * 127, well inside an int
    for (size_t n = 0; n < layoutCount; ++n)
        correlation += int(m_layout[n]) * int(other.m_layout[n]);
    float intersection = 0.0f;
    for (size_t n = 0; n < colourCount; ++n)
        intersection += std::min(float(m_colours[n]) * m_colourStep, float(other.m_colours[n]) * other.m_colourStep);
    return 0.5 * double(correlation) * double(m_layoutStep) * double(other.m_layoutStep)
        + 0.5 * double(intersection);
}

std::vector<float> CStampSignature::values() const
{
    std::vector<float> result;
    if (!isValid())
        return result;
    result.reserve(valueCount);
    for (std::int8_t value : m_layout)
        result.push_back(float(value) * m_layoutStep);
    for (std::uint8_t value : m_colours)
        result.push_back(float(value) * m_colourStep);
    return result;
}

CStampSignature CStampSignature::fromValues(const float *values, size_t count)
{
    CStampSignature signature;
    if (count != valueCount)
        return signature;
    float layoutLargest = 0.0f, colourLargest = 0.0f;
    for (size_t n = 0; n < layoutCount; ++n)
        layoutLargest = std::max(layoutLargest, std::abs(values[n]));
    for (size_t n = layoutCount; n < valueCount; ++n)
        colourLargest = std::max(colourLargest, values[n]);
    signature.m_layoutStep = layoutLargest > 0.0f ? layoutLargest / 127.0f : 1.0f;
    signature.m_colourStep = colourLargest > 0.0f ? colourLargest / 255.0f : 1.0f;
    for (size_t n = 0; n < layoutCount; ++n)
        signature.m_layout[n] = std::int8_t(std::lround(std::clamp(values[n] / signature.m_layoutStep, -127.0f, 127.0f)));
    for (size_t n = 0; n < colourCount; ++n)
        signature.m_colours[n] = std::uint8_t(std::lround(std::clamp(values[layoutCount + n] / signature.m_colourStep, 0.0f, 255.0f)));
    signature.m_valid = true;
    return signature;
}

void CStampSignature::toBytes(char *out) const
{
    std::memcpy(out, &m_layoutStep, sizeof(float));
    std::memcpy(out + sizeof(float), &m_colourStep, sizeof(float));
    std::memcpy(out + 2 * sizeof(float), m_layout.data(), layoutCount);
    std::memcpy(out + 2 * sizeof(float) + layoutCount, m_colours.data(), colourCount);
}

CStampSignature CStampSignature::fromBytes(const char *data, size_t size)
{
    CStampSignature signature;
    if (size != byteCount)
        return signature;
    std::memcpy(&signature.m_layoutStep, data, sizeof(float));
    std::memcpy(&signature.m_colourStep, data + sizeof(float), sizeof(float));
    // Steps that are not positive finite numbers come from no signature this class made.
    if (!(signature.m_layoutStep > 0.0f && signature.m_layoutStep < 1e30f)
        || !(signature.m_colourStep > 0.0f && signature.m_colourStep < 1e30f))
        return CStampSignature();
    std::memcpy(signature.m_layout.data(), data + 2 * sizeof(float), layoutCount);
    std::memcpy(signature.m_colours.data(), data + 2 * sizeof(float) + layoutCount, colourCount);
    signature.m_valid = true;
    return signature;
}

void CStampSignature::embedding(float *out) const
{
    const float half = float(std::sqrt(0.5));
    for (size_t n = 0; n < layoutCount; ++n)
        out[n] = half * float(m_layout[n]) * m_layoutStep;
    for (size_t n = 0; n < colourCount; ++n)
        out[layoutCount + n] = half * std::sqrt(float(m_colours[n]) * m_colourStep);
}

std::vector<float> CStampSignature::embedding() const
{
    if (!isValid())
        return {};
    std::vector<float> result(valueCount);
    embedding(result.data());
    return result;
}
