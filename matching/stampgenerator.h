#pragma once

#include <QImage>
#include <opencv2/core.hpp>

// Draws made-up postage stamps and the ways a photograph or a scan of them goes wrong. The pictures
// are deterministic: the same seed and arguments always give the same pixels, so tests, benchmarks
// and the demo catalogue can rebuild them instead of storing them.
//
// Every function returns a new 8-bit 3-channel BGR picture (CV_8UC3) and leaves its input alone.
// Typical use:
//
//     cv::Mat a = CStampGenerator::stamp(7);                       // stamp number 7, 200 x 240
//     cv::Mat b = CStampGenerator::rotated(a, 15.0);               // turned 15 degrees anticlockwise
//     cv::Mat c = CStampGenerator::jpeg(CStampGenerator::scaled(b, 0.5), 40);
//     QImage q = CStampGenerator::toImage(c);                      // for the comparison (RGB32)
//
// Different seeds give clearly different stamps: other colours, layout, motif and text.
class CStampGenerator
{
public:
    // Colour of the album page that variants put around a stamp when they enlarge the canvas.
    static cv::Scalar pageColour() { return cv::Scalar(188, 198, 205); }

    // Stamp number `seed`: a perforated edge on the page colour, a paper margin, a coloured frame,
    // a picture of shapes, a country name and a face value. Sizes below 40 pixels a side are raised to 40.
    static cv::Mat stamp(int seed, cv::Size size = cv::Size(200, 240));

    // Turned by `degrees` anticlockwise (as seen on screen) about the centre; the canvas grows so that
    // no corner is cut, new area gets `background`.
    static cv::Mat rotated(const cv::Mat &picture, double degrees, cv::Scalar background = pageColour());
    // Scaled by `factor` (area interpolation when shrinking, bilinear when enlarging); at least 1 by 1.
    static cv::Mat scaled(const cv::Mat &picture, double factor);
    // Turned by 180 degrees.
    static cv::Mat upsideDown(const cv::Mat &picture);
    // Mirrored left to right.
    static cv::Mat mirrored(const cv::Mat &picture);
    // Encoded as JPEG with `quality` (1..100) and decoded again.
    static cv::Mat jpeg(const cv::Mat &picture, int quality);
    // With Gaussian noise of standard deviation `sigma` grey levels; `seed` picks the noise.
    static cv::Mat noisy(const cv::Mat &picture, double sigma, int seed = 1);
    // Seen at a slant: the top edge shrinks by `strength` (0..0.5) of the width towards its middle, as
    // when a stamp is photographed from below. The canvas keeps its size; new area gets `background`.
    static cv::Mat perspective(const cv::Mat &picture, double strength, cv::Scalar background = pageColour());
    // Lit differently: every channel becomes value * gain + offset, plus a left-to-right brightness
    // slope of `slope` grey levels across the width.
    static cv::Mat lit(const cv::Mat &picture, double gain, double offset, double slope = 0.0);
    // Put on a page of `canvas` size with its top-left corner at `at` (parts outside are cut off).
    static cv::Mat onPage(const cv::Mat &picture, cv::Size canvas, cv::Point at,
                          cv::Scalar background = pageColour());

    // The picture as a Qt image in the 32-bit RGB format the comparison takes.
    static QImage toImage(const cv::Mat &picture);
};
