#include "albumpagegenerator.h"

#include "stampgenerator.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

cv::Mat drawBackground(CAlbumPageGenerator::Background kind, cv::Size size, cv::RNG &rng)
{
    cv::Mat page(size, CV_8UC3);
    switch (kind) {
    case CAlbumPageGenerator::DarkStockPage:
        page.setTo(cv::Scalar(24, 24, 26));
        break;
    case CAlbumPageGenerator::LightAlbumPage: {
        page.setTo(cv::Scalar(206, 222, 230));
        const int step = std::max(8, size.width / 120);
        for (int x = 0; x < size.width; x += step)
            cv::line(page, {x, 0}, {x, size.height}, cv::Scalar(196, 212, 220), 1);
        for (int y = 0; y < size.height; y += step)
            cv::line(page, {0, y}, {size.width, y}, cv::Scalar(196, 212, 220), 1);
        break;
    }
    case CAlbumPageGenerator::Table: {
        // Wood: grain lines that wander a little, in browns.
        page.setTo(cv::Scalar(70, 110, 150));
        for (int k = 0; k < size.height / 3; ++k) {
            const int y = rng.uniform(0, size.height);
            const double shade = rng.uniform(-30.0, 30.0);
            std::vector<cv::Point> line;
            for (int x = 0; x <= size.width; x += std::max(20, size.width / 40))
                line.emplace_back(x, y + int(10 * std::sin(x * 0.004 + k)));
            cv::polylines(page, line, false, cv::Scalar(70 + shade * 0.6, 110 + shade, 150 + shade),
                          rng.uniform(1, 4), cv::LINE_AA);
        }
        cv::GaussianBlur(page, page, cv::Size(3, 3), 0);
        break;
    }
    }
    return page;
}

// Pastes `picture` where `mask` is set, with its top-left corner at `at`, cut to the page.
void paste(cv::Mat &page, const cv::Mat &picture, const cv::Mat &mask, cv::Point at)
{
    const cv::Rect target = cv::Rect(at, picture.size()) & cv::Rect(cv::Point(), page.size());
    if (target.empty())
        return;
    const cv::Rect source(target.tl() - at, target.size());
    picture(source).copyTo(page(target), mask(source));
}

// A stamp without the page colour around it: the mask is its paper with the perforation teeth, or
// a straight-cut rectangle when imperforate.
void cutOut(int seed, cv::Size size, bool imperforate, cv::Mat &stamp, cv::Mat &mask)
{
    stamp = CStampGenerator::stamp(seed, size);
    // The page colour around the paper and inside the holes is one region touching the corner.
    cv::Mat flooded = stamp.clone();
    cv::Mat fillMask = cv::Mat::zeros(stamp.rows + 2, stamp.cols + 2, CV_8U);
    cv::floodFill(flooded, fillMask, cv::Point(0, 0), cv::Scalar(), nullptr, cv::Scalar::all(6),
                  cv::Scalar::all(6), 4 | cv::FLOODFILL_MASK_ONLY | (255 << 8));
    mask = 255 - fillMask(cv::Rect(1, 1, stamp.cols, stamp.rows));
    if (imperforate) {
        // Cut inside the holes, so the edge is straight paper.
        const int side = std::min(size.width, size.height);
        const int inset = std::max(3, side / 22);
        const cv::Rect cut(inset, inset, stamp.cols - 2 * inset, stamp.rows - 2 * inset);
        const cv::Scalar paper = cv::mean(stamp(cv::Rect(inset, stamp.rows / 2 - 2, 2, 4)));
        stamp.setTo(paper, 255 - mask);
        stamp = stamp(cut).clone();
        mask = cv::Mat(stamp.size(), CV_8U, cv::Scalar(255));
    } else {
        // Keep the teeth: the mask bounds the paper.
        const cv::Rect box = cv::boundingRect(mask);
        stamp = stamp(box).clone();
        mask = mask(box).clone();
    }
}

void turn(cv::Mat &stamp, cv::Mat &mask, double degrees)
{
    if (degrees == 0)
        return;
    const cv::Point2f centre(stamp.cols / 2.0f, stamp.rows / 2.0f);
    cv::Mat m = cv::getRotationMatrix2D(centre, degrees, 1.0);
    const cv::Rect2f bounds = cv::RotatedRect(centre, stamp.size(), float(degrees)).boundingRect2f();
    m.at<double>(0, 2) += bounds.width / 2.0 - centre.x;
    m.at<double>(1, 2) += bounds.height / 2.0 - centre.y;
    const cv::Size out(int(std::ceil(bounds.width)), int(std::ceil(bounds.height)));
    cv::warpAffine(stamp, stamp, m, out, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    cv::warpAffine(mask, mask, m, out, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0));
    cv::threshold(mask, mask, 127, 255, cv::THRESH_BINARY);
}

// A slip of paper with a few words written by hand: wandering strokes in ink.
cv::Mat label(cv::Size size, cv::RNG &rng)
{
    cv::Mat slip(size, CV_8UC3, cv::Scalar(rng.uniform(225, 245), rng.uniform(235, 250), rng.uniform(240, 252)));
    const cv::Scalar ink(rng.uniform(90, 140), rng.uniform(30, 60), rng.uniform(20, 50));
    const int words = rng.uniform(1, 4);
    int x = size.width / 8;
    const int base = size.height * 2 / 3;
    for (int w = 0; w < words && x < size.width * 7 / 8; ++w) {
        std::vector<cv::Point> stroke;
        const int letters = rng.uniform(3, 8);
        for (int l = 0; l < letters * 4; ++l) {
            x += std::max(1, size.height / 14);
            const int h = (l % 4 == 1) ? rng.uniform(size.height / 5, size.height / 2) : rng.uniform(0, size.height / 6);
            stroke.emplace_back(x, base - h);
        }
        cv::polylines(slip, stroke, false, ink, std::max(1, size.height / 25), cv::LINE_AA);
        x += size.height / 3;
    }
    return slip;
}

} // namespace

CAlbumPageGenerator::Page CAlbumPageGenerator::page(const Options &options)
{
    if (options.onTable) {
        // The page, smaller, on a light grey table with a margin of table on every side.
        Options inner = options;
        inner.onTable = false;
        inner.jpegQuality = 0;
        inner.size = cv::Size(options.size.width * 17 / 20, options.size.height * 17 / 20);
        Page onPage = page(inner);
        const cv::Point at((options.size.width - inner.size.width) / 2, (options.size.height - inner.size.height) / 3);
        Page result;
        result.picture = cv::Mat(options.size, CV_8UC3, cv::Scalar(196, 200, 204));
        onPage.picture.copyTo(result.picture(cv::Rect(at, inner.size)));
        for (const cv::Rect &r : onPage.stamps)
            result.stamps.push_back(r + at);
        for (const cv::Rect &r : onPage.labels)
            result.labels.push_back(r + at);
        result.picture = CStampGenerator::noisy(result.picture, 2.0, options.seed);
        if (options.jpegQuality > 0)
            result.picture = CStampGenerator::jpeg(result.picture, int(options.jpegQuality));
        return result;
    }
    cv::RNG rng(0xa1b0ULL + 7919ULL * uint64_t(uint32_t(options.seed)));
    Page result;
    const cv::Size size = options.size;
    result.picture = drawBackground(options.background, size, rng);
    cv::Mat &page = result.picture;

    const int rows = std::max(1, options.rows), columns = std::max(1, options.columns);
    const double rowHeight = double(size.height) / rows;
    const double columnWidth = double(size.width) / columns;
    for (int r = 0; r < rows; ++r) {
        const int stampHeight = int(rowHeight * options.fill * (options.labels ? 0.75 : 1.0));
        const int top = int(r * rowHeight + rowHeight * 0.08);
        if (options.background == DarkStockPage) {
            // The clear strip that holds the row: a slightly lighter band with a glossy upper edge.
            const cv::Rect strip(0, top + stampHeight / 3, size.width, stampHeight * 2 / 3 + rowHeight * 0.05);
            cv::Mat band = page(strip & cv::Rect(cv::Point(), size));
            band += cv::Scalar(14, 14, 14);
            cv::line(page, {0, strip.y}, {size.width, strip.y}, cv::Scalar(120, 120, 125), std::max(1, size.height / 600));
        }
        // Stamps in a row: shifted so that neighbours touch or overlap when asked.
        int x = int(columnWidth * 0.1);
        for (int c = 0; c < columns; ++c) {
            const int seed = options.seed * 100 + r * columns + c;
            const double aspect = rng.uniform(0.7, 1.4);
            const int stampWidth = std::min(int(stampHeight * aspect), int(columnWidth * 0.9));
            cv::Mat stamp, mask;
            cutOut(seed, cv::Size(stampWidth, stampHeight), options.imperforate || (c + r) % 2 == 1, stamp, mask);
            turn(stamp, mask, options.maxTurn == 0 ? 0 : rng.uniform(-options.maxTurn, options.maxTurn));
            // Lit a little differently, as stamps under a strip are.
            stamp.convertTo(stamp, -1, rng.uniform(0.85, 1.05), rng.uniform(-10, 5));
            const cv::Point at(x, top + (stampHeight - stamp.rows) / 2);
            paste(page, stamp, mask, at);
            result.stamps.push_back(cv::Rect(at, stamp.size()) & cv::Rect(cv::Point(), size));
            if (options.overlapping)
                x += stamp.cols - std::max(2, stamp.cols / 25);
            else if (options.touching)
                x += stamp.cols;
            else
                x = int((c + 1) * columnWidth + columnWidth * 0.1);
        }
        if (options.labels) {
            const cv::Size slipSize(int(columnWidth * 0.8), std::max(12, int(rowHeight * 0.13)));
            const cv::Point at(int(columnWidth * (0.2 + (r % columns))), int(top + stampHeight + rowHeight * 0.04));
            const cv::Mat slip = label(slipSize, rng);
            paste(page, slip, cv::Mat(slip.size(), CV_8U, cv::Scalar(255)), at);
            result.labels.push_back(cv::Rect(at, slip.size()) & cv::Rect(cv::Point(), size));
        }
    }
    // The light of a room: brighter on one side, and the grain of a phone camera.
    page = CStampGenerator::lit(page, 1.0, 0, rng.uniform(-25.0, 25.0));
    page = CStampGenerator::noisy(page, 3.0, options.seed);
    if (options.jpegQuality > 0)
        page = CStampGenerator::jpeg(page, int(options.jpegQuality));
    return result;
}

CAlbumPageGenerator::Page CAlbumPageGenerator::single(int seed, Background kind, double margin, double degrees)
{
    cv::RNG rng(0x5117ULL + 7919ULL * uint64_t(uint32_t(seed)));
    cv::Mat stamp, mask;
    cutOut(seed, cv::Size(rng.uniform(260, 420), rng.uniform(260, 420)), seed % 3 == 0, stamp, mask);
    turn(stamp, mask, degrees);
    const cv::Point at(int(stamp.cols * margin), int(stamp.rows * margin));
    Page result;
    result.picture = drawBackground(kind, cv::Size(stamp.cols + 2 * at.x, stamp.rows + 2 * at.y), rng);
    paste(result.picture, stamp, mask, at);
    result.stamps.push_back(cv::Rect(at, stamp.size()));
    result.picture = CStampGenerator::jpeg(CStampGenerator::noisy(result.picture, 3.0, seed), 85);
    return result;
}

cv::Mat CAlbumPageGenerator::background(Background kind, cv::Size size, int seed)
{
    cv::RNG rng(0xb6cdULL + 7919ULL * uint64_t(uint32_t(seed)));
    return drawBackground(kind, size, rng);
}
