#pragma once

#include <QImage>
#include <opencv2/core.hpp>

// Turning toolkit pictures into the OpenCV pictures the comparison works on. An empty cv::Mat stands
// for "no result"; every failure also leaves one fixed line in the debug log.

// The picture as an 8-bit 3-channel image in blue, green, red order. The callers hand in the 32-bit
// RGB format, which is wrapped without copying; other formats are converted to it first. No result
// (and "colorImage->width < 10 || colorImage->height < 10") below 10 pixels on a side, or for a null
// picture.
cv::Mat toColorImage(const QImage &image);

// A new image holding `rect` of `image`, with `channels` channels (0: those of the source). No result
// when the rectangle does not lie inside the image or the channel count cannot be converted to.
cv::Mat cropImage(const cv::Mat &image, const cv::Rect &rect, int channels = 0);

// The user's picture trimmed by 10 percent on each side, turned grey and scaled bilinearly so that its
// shorter side is `side` pixels (one less when truncation bites): the reference image of the comparison.
cv::Mat normaliseReference(const QImage &picture, int side = 128);
// The part of a picture of `size` that the reference image is made of: 10 percent trimmed off each side.
cv::Rect referenceCrop(cv::Size size);

// Grey value of a colour image as the comparison computes it, for reference and candidate alike. The
// channels lie in blue, green, red order but go through OpenCV's RGB-to-grey code, so the weights are
// 0.299 blue + 0.587 green + 0.114 red; both sides agree, which is what matters.
cv::Mat toComparisonGrey(const cv::Mat &colour);
