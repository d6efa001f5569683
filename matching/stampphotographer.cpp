#include "stampphotographer.h"

#include "albumpagegenerator.h"
#include "stampgenerator.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <tuple>

namespace {

constexpr double pi = 3.14159265358979323846;

cv::Mat asBgr(const cv::Mat &picture)
{
    cv::Mat out;
    if (picture.type() == CV_8UC3)
        out = picture;
    else if (picture.type() == CV_8UC1)
        cv::cvtColor(picture, out, cv::COLOR_GRAY2BGR);
    else if (picture.type() == CV_8UC4)
        cv::cvtColor(picture, out, cv::COLOR_BGRA2BGR);
    return out;
}

// The part of `picture` that is paper, and its mask. A plain surround (the four corners of one
// colour) flooded from the corners is left out, holes of the perforation with it; when the flood
// runs into most of the picture, or there is no plain surround, the picture is laid down whole.
void paperOf(const cv::Mat &picture, cv::Mat &paper, cv::Mat &mask)
{
    paper = picture;
    mask = cv::Mat(picture.size(), CV_8U, cv::Scalar(255));
    if (picture.cols < 8 || picture.rows < 8)
        return;
    const cv::Point corners[4] = {{0, 0}, {picture.cols - 1, 0}, {picture.cols - 1, picture.rows - 1}, {0, picture.rows - 1}};
    const cv::Vec3b first = picture.at<cv::Vec3b>(corners[0]);
    for (const cv::Point &corner : corners) {
        const cv::Vec3b colour = picture.at<cv::Vec3b>(corner);
        for (int c = 0; c < 3; ++c) {
            if (std::abs(int(colour[c]) - int(first[c])) > 24)
                return;
        }
    }
    cv::Mat fill = cv::Mat::zeros(picture.rows + 2, picture.cols + 2, CV_8U);
    for (const cv::Point &corner : corners) {
        if (fill.at<uchar>(corner.y + 1, corner.x + 1) == 0)
            cv::floodFill(picture, fill, corner, cv::Scalar(), nullptr, cv::Scalar::all(10), cv::Scalar::all(10),
                          4 | cv::FLOODFILL_MASK_ONLY | cv::FLOODFILL_FIXED_RANGE | (255 << 8));
    }
    const cv::Mat surround = fill(cv::Rect(1, 1, picture.cols, picture.rows));
    if (cv::countNonZero(surround) > 0.6 * picture.total())
        return;
    // Only near the paper's outline is the surround taken away (perforation holes, a scan's white
    // edge); a light area of the design that the flood reached deeper inside stays.
    cv::Mat inside = 255 - surround;
    std::vector<cv::Point> points, hull;
    cv::findNonZero(inside, points);
    if (points.size() < 3)
        return;
    cv::convexHull(points, hull);
    cv::Mat interior = cv::Mat::zeros(picture.size(), CV_8U);
    cv::fillConvexPoly(interior, hull, cv::Scalar(255));
    const int band = std::max(3, std::min(picture.cols, picture.rows) / 25);
    cv::erode(interior, interior, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * band + 1, 2 * band + 1)));
    inside |= interior;
    const cv::Rect box = cv::boundingRect(inside);
    if (box.width < picture.cols / 3 || box.height < picture.rows / 3)
        return;
    paper = picture(box).clone();
    mask = inside(box).clone();
}

// Lays `paper` down on `canvas` through the homography `h` (paper pixels to canvas pixels), with
// soft edges and a faint shadow on the page below it.
void layDown(cv::Mat &canvas, const cv::Mat &paper, const cv::Mat &mask, const cv::Mat &h, cv::Point2f shadowOffset)
{
    cv::Mat warped, alpha, shadow;
    cv::warpPerspective(paper, warped, h, canvas.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    cv::Mat maskFloat;
    mask.convertTo(maskFloat, CV_32F, 1.0 / 255);
    cv::warpPerspective(maskFloat, alpha, h, canvas.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0));
    const cv::Mat move = (cv::Mat_<double>(2, 3) << 1, 0, shadowOffset.x, 0, 1, shadowOffset.y);
    cv::warpAffine(alpha, shadow, move, canvas.size());
    cv::GaussianBlur(shadow, shadow, cv::Size(0, 0), std::max(1.0f, std::abs(shadowOffset.x) + std::abs(shadowOffset.y)));
    for (int y = 0; y < canvas.rows; ++y) {
        cv::Vec3b *out = canvas.ptr<cv::Vec3b>(y);
        const cv::Vec3b *in = warped.ptr<cv::Vec3b>(y);
        const float *a = alpha.ptr<float>(y);
        const float *s = shadow.ptr<float>(y);
        for (int x = 0; x < canvas.cols; ++x) {
            for (int c = 0; c < 3; ++c) {
                const float below = out[x][c] * (1.0f - 0.35f * s[x]);
                out[x][c] = cv::saturate_cast<uchar>(below * (1.0f - a[x]) + in[x][c] * a[x]);
            }
        }
    }
}

cv::Mat translation(double x, double y)
{
    return (cv::Mat_<double>(3, 3) << 1, 0, x, 0, 1, y, 0, 0, 1);
}

cv::Mat scaling(double x, double y)
{
    return (cv::Mat_<double>(3, 3) << x, 0, 0, 0, y, 0, 0, 0, 1);
}

} // namespace

CStampPhotographer::Photo CStampPhotographer::photograph(const cv::Mat &picture, int seed, const Options &options)
{
    Photo photo;
    const cv::Mat source = asBgr(picture);
    if (source.empty())
        return photo;
    cv::RNG rng(0x9e37ULL + 1000003ULL * uint64_t(uint32_t(seed)));
    const bool hard = options.hard;

    // The stamp at the size it has in the scene, its longer side `longer` pixels.
    cv::Mat paper, mask;
    paperOf(source, paper, mask);
    const double longer = hard ? rng.uniform(420.0, 700.0) : rng.uniform(380.0, 720.0);
    const double k = longer / std::max(paper.cols, paper.rows);
    const cv::Size scene(std::max(8, int(std::lround(paper.cols * k))), std::max(8, int(std::lround(paper.rows * k))));
    cv::resize(paper, paper, scene, 0, 0, k < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
    cv::resize(mask, mask, scene, 0, 0, cv::INTER_AREA);

    // Seen at a slant: the far edge (top, right, bottom or left) nearer the middle and the stamp
    // foreshortened towards it; then a few pixels of a hand's unsteadiness and a small turn. The
    // sides lean by at most about 12 degrees: the comparison's outline test takes 20 degrees, and
    // the lean of the whole photo's frame seen from the stamp, which it tests, is larger.
    const int far = rng.uniform(0, 4);
    const double slant = (hard ? rng.uniform(3.0, 6.0) : rng.uniform(0.0, 4.0)) * pi / 180;
    const double depth = hard ? rng.uniform(0.8, 0.92) : rng.uniform(0.92, 1.0);
    const double turn = (hard ? rng.uniform(-5.0, 5.0) : rng.uniform(-6.0, 6.0)) * pi / 180;
    const double jitter = longer * (hard ? 0.004 : 0.01);
    const double w = scene.width, h = scene.height;
    const cv::Point2f flat[4] = {{0, 0}, {float(w), 0}, {float(w), float(h)}, {0, float(h)}};
    cv::Point2f quad[4];
    for (int n = 0; n < 4; ++n) {
        // Into a frame where the far edge is on top: turned by `far` quarter turns about the centre.
        double x = flat[n].x - w / 2, y = flat[n].y - h / 2;
        for (int q = 0; q < far; ++q)
            std::tie(x, y) = std::make_tuple(y, -x);
        const double halfWidth = (far % 2 ? h : w) / 2, halfHeight = (far % 2 ? w : h) / 2;
        y *= depth;
        if (y < 0)
            x *= (halfWidth - 2 * halfHeight * depth * std::tan(slant)) / halfWidth;
        for (int q = 0; q < far; ++q)
            std::tie(x, y) = std::make_tuple(-y, x);
        x += rng.uniform(-jitter, jitter);
        y += rng.uniform(-jitter, jitter);
        quad[n] = cv::Point2f(float(x * std::cos(turn) - y * std::sin(turn)), float(x * std::sin(turn) + y * std::cos(turn)));
    }

    // A loose frame: some background on every side, more on some. A hard photo's frame is a little
    // tighter: its homography, fitted to a small picture's few keypoints, leans the frame's corners
    // further the further out they lie, and the comparison should still take nearly every photo
    // of the right stamp (42 of the 44 real scans' hard photos).
    const cv::Rect2f bounds = cv::boundingRect(std::vector<cv::Point2f>(quad, quad + 4));
    double margins[4];
    for (double &margin : margins)
        margin = longer * (hard ? rng.uniform(0.05, 0.2) : rng.uniform(0.08, 0.35));
    const cv::Size canvasSize(int(bounds.width + margins[0] + margins[2]), int(bounds.height + margins[1] + margins[3]));
    const cv::Point2f shift(float(margins[0]) - bounds.x, float(margins[1]) - bounds.y);
    for (cv::Point2f &corner : quad)
        corner += shift;
    const cv::Mat onCanvas = cv::getPerspectiveTransform(flat, quad);

    const auto background = CAlbumPageGenerator::Background(rng.uniform(0, 3));
    cv::Mat canvas = CAlbumPageGenerator::background(background, canvasSize, seed);
    const cv::Point2f shadowOffset(float(rng.uniform(-0.008, 0.008) * longer), float(rng.uniform(0.002, 0.01) * longer));

    // Neighbours on the same page, beside the stamp, that the loose frame takes in partly. They are
    // generated stamps with seeds no demo catalogue reaches.
    const int neighbours = hard ? rng.uniform(1, 3) : rng.uniform(0, 3);
    int side = rng.uniform(0, 4);
    for (int n = 0; n < neighbours; ++n, side = (side + 2) % 4) {
        const double across = rng.uniform(0.7, 1.1), aspect = rng.uniform(0.7, 1.4), gap = rng.uniform(0.03, 0.12) * longer;
        const double along = rng.uniform(-0.15, 0.15);
        cv::Size size;
        cv::Point2d at;
        if (side % 2 == 0) { // right or left: about as tall as the stamp
            size = cv::Size(int(h * across * aspect), int(h * across));
            at = cv::Point2d(side == 0 ? w + gap : -gap - size.width, (h - size.height) / 2 + along * h);
        } else { // below or above
            size = cv::Size(int(w * across), int(w * across * aspect));
            at = cv::Point2d((w - size.width) / 2 + along * w, side == 1 ? h + gap : -gap - size.height);
        }
        cv::Mat neighbour, neighbourMask;
        paperOf(CStampGenerator::stamp(1000000 + int(uint32_t(seed) % 1000000u) * 2 + n, size), neighbour, neighbourMask);
        const cv::Mat place = onCanvas * translation(at.x, at.y)
            * scaling(double(size.width) / neighbour.cols, double(size.height) / neighbour.rows);
        layDown(canvas, neighbour, neighbourMask, place, shadowOffset);
    }
    layDown(canvas, paper, mask, onCanvas, shadowOffset);

    if (background == CAlbumPageGenerator::DarkStockPage) {
        // The clear strip of the stock page over the stamp's lower part, its glossy top edge across it.
        const float top = quad[0].y + float(rng.uniform(0.3, 0.45)) * (quad[3].y - quad[0].y);
        const cv::Rect strip(0, int(top), canvas.cols, canvas.rows);
        cv::Mat band = canvas(strip & cv::Rect(cv::Point(), canvas.size()));
        band += cv::Scalar(12, 12, 12);
        cv::line(canvas, {0, int(top)}, {canvas.cols, int(top)}, cv::Scalar(120, 120, 125), std::max(1, int(longer / 300)),
                 cv::LINE_AA);
    } else {
        rng.uniform(0.0, 1.0); // the same draws follow whatever the background
    }

    // The light: exposure, a lamp's colour, brighter towards one side, and with --hard a glare spot
    // somewhere on the stamp that washes its colours out to white.
    const double exposure = hard ? rng.uniform(0.7, 1.25) : rng.uniform(0.8, 1.15);
    const cv::Vec3f balance(float(rng.uniform(0.88, 1.08)), float(rng.uniform(0.95, 1.05)), float(rng.uniform(0.92, 1.12)));
    const double slope = hard ? rng.uniform(-0.25, 0.25) : rng.uniform(-0.15, 0.15);
    const double lightAngle = rng.uniform(0.0, 2 * pi);
    cv::Point2f glare;
    double glareX = 1, glareY = 1, glareAngle = 0, glarePeak = 0;
    if (hard) {
        const float u = float(rng.uniform(0.2, 0.8)), v = float(rng.uniform(0.2, 0.8));
        glare = (quad[0] * (1 - u) + quad[1] * u) * (1 - v) + (quad[3] * (1 - u) + quad[2] * u) * v;
        glareX = rng.uniform(0.06, 0.14) * longer;
        glareY = glareX * rng.uniform(0.6, 1.0);
        glareAngle = rng.uniform(0.0, pi);
        glarePeak = rng.uniform(0.8, 1.2);
    }
    const double diagonal = std::hypot(canvas.cols, canvas.rows);
    const cv::Point2f middle(canvas.cols / 2.0f, canvas.rows / 2.0f);
    const double lightX = std::cos(lightAngle) / diagonal, lightY = std::sin(lightAngle) / diagonal;
    const double glareCos = std::cos(glareAngle), glareSin = std::sin(glareAngle);
    for (int y = 0; y < canvas.rows; ++y) {
        cv::Vec3b *row = canvas.ptr<cv::Vec3b>(y);
        for (int x = 0; x < canvas.cols; ++x) {
            const double gain = exposure * (1 + 2 * slope * ((x - middle.x) * lightX + (y - middle.y) * lightY));
            double white = 0;
            if (glarePeak > 0) {
                const double dx = x - glare.x, dy = y - glare.y;
                const double a = (dx * glareCos + dy * glareSin) / glareX;
                const double b = (-dx * glareSin + dy * glareCos) / glareY;
                const double r = (a * a + b * b) / 2;
                white = r < 12 ? std::min(1.0, glarePeak * std::exp(-r)) : 0;
            }
            for (int c = 0; c < 3; ++c) {
                const double lit = row[x][c] * gain * balance[c];
                row[x][c] = cv::saturate_cast<uchar>(lit * (1 - white) + 255 * white);
            }
        }
    }

    // The camera: with --hard a small picture; the lens a little out of focus, the sensor's noise.
    if (hard) {
        const double factor = rng.uniform(200, 401) / double(std::max(canvas.cols, canvas.rows));
        cv::resize(canvas, canvas, cv::Size(), factor, factor, cv::INTER_AREA);
    }
    const double blur = hard ? rng.uniform(0.4, 1.0) : rng.uniform(0.3, 1.1);
    cv::GaussianBlur(canvas, canvas, cv::Size(0, 0), blur);
    canvas = CStampGenerator::noisy(canvas, hard ? rng.uniform(3.0, 6.0) : rng.uniform(1.5, 4.0), seed);
    const int quality = hard ? rng.uniform(45, 76) : rng.uniform(70, 93);

    const int turns = ((options.quarterTurns % 4) + 4) % 4;
    static const cv::RotateFlags rotations[3] = {cv::ROTATE_90_CLOCKWISE, cv::ROTATE_180, cv::ROTATE_90_COUNTERCLOCKWISE};
    if (turns > 0)
        cv::rotate(canvas, canvas, rotations[turns - 1]);
    if (!cv::imencode(".jpg", canvas, photo.jpeg, {cv::IMWRITE_JPEG_QUALITY, quality}))
        return photo;
    photo.picture = cv::imdecode(photo.jpeg, cv::IMREAD_COLOR);
    return photo;
}
