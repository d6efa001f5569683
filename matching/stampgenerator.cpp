#include "stampgenerator.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

const std::array<const char *, 12> countries = {"HELVETIA", "POSTES", "ROMANA", "SVERIGE", "EIRE", "NORGE",
                                                "MAGYAR", "POLSKA", "ESPANA", "ITALIA", "DANMARK", "SUOMI"};

cv::Scalar randomColour(cv::RNG &rng, int low, int high)
{
    return cv::Scalar(rng.uniform(low, high), rng.uniform(low, high), rng.uniform(low, high));
}

// A dark ink that stands out on light paper.
cv::Scalar inkColour(cv::RNG &rng)
{
    cv::Scalar c = randomColour(rng, 10, 140);
    c[rng.uniform(0, 3)] = rng.uniform(90, 200);
    return c;
}

cv::Mat asBgr(const cv::Mat &picture)
{
    if (picture.empty())
        return cv::Mat();
    if (picture.type() == CV_8UC3)
        return picture;
    cv::Mat out;
    if (picture.type() == CV_8UC1)
        cv::cvtColor(picture, out, cv::COLOR_GRAY2BGR);
    else if (picture.type() == CV_8UC4)
        cv::cvtColor(picture, out, cv::COLOR_BGRA2BGR);
    else
        picture.convertTo(out, CV_8U);
    return out.channels() == 3 ? out : cv::Mat();
}

void drawMotif(cv::Mat &canvas, cv::Rect area, cv::RNG &rng)
{
    const int shapes = rng.uniform(10, 19);
    const int span = std::min(area.width, area.height);
    for (int s = 0; s < shapes; ++s) {
        const cv::Point centre(area.x + rng.uniform(0, area.width), area.y + rng.uniform(0, area.height));
        const int radius = std::max(2, rng.uniform(span / 12, span / 3 + 1));
        const cv::Scalar colour = rng.uniform(0, 3) == 0 ? randomColour(rng, 150, 255) : inkColour(rng);
        switch (rng.uniform(0, 5)) {
        case 0:
            cv::circle(canvas, centre, radius, colour, cv::FILLED, cv::LINE_AA);
            break;
        case 1:
            cv::ellipse(canvas, centre, cv::Size(radius, std::max(2, radius / 2)), rng.uniform(0, 180), 0, 360,
                        colour, cv::FILLED, cv::LINE_AA);
            break;
        case 2: {
            std::vector<cv::Point> polygon;
            const int corners = rng.uniform(3, 7);
            for (int k = 0; k < corners; ++k) {
                const double a = 2 * CV_PI * k / corners + rng.uniform(-0.3, 0.3);
                const double r = radius * rng.uniform(0.5, 1.0);
                polygon.emplace_back(centre.x + int(r * std::cos(a)), centre.y + int(r * std::sin(a)));
            }
            cv::fillPoly(canvas, std::vector<std::vector<cv::Point>>{polygon}, colour, cv::LINE_AA);
            break;
        }
        case 3:
            cv::rectangle(canvas, cv::Rect(centre.x - radius / 2, centre.y - radius / 3, radius, radius * 2 / 3 + 1),
                          colour, cv::FILLED, cv::LINE_AA);
            break;
        default:
            for (int k = 0; k < 4; ++k) {
                const cv::Point end(centre.x + rng.uniform(-radius, radius + 1), centre.y + rng.uniform(-radius, radius + 1));
                cv::line(canvas, centre, end, colour, std::max(1, span / 60), cv::LINE_AA);
            }
            break;
        }
    }
}

} // namespace

cv::Mat CStampGenerator::stamp(int seed, cv::Size size)
{
    size.width = std::max(size.width, 40);
    size.height = std::max(size.height, 40);
    cv::RNG rng(0x5eedULL * 2654435761ULL + static_cast<uint64_t>(static_cast<uint32_t>(seed)) * 40503ULL + 1);
    cv::Mat canvas(size, CV_8UC3, pageColour());
    const int side = std::min(size.width, size.height);

    // Paper with perforation holes along its edges.
    const int hole = std::max(2, side / rng.uniform(34, 48));
    const cv::Rect paper(hole, hole, size.width - 2 * hole, size.height - 2 * hole);
    const cv::Scalar paperColour(rng.uniform(215, 250), rng.uniform(215, 250), rng.uniform(215, 250));
    cv::rectangle(canvas, paper, paperColour, cv::FILLED);
    const int pitch = std::max(hole * 2 + 1, int(hole * rng.uniform(2.6, 3.6)));
    for (int x = paper.x + pitch / 2; x < paper.x + paper.width; x += pitch) {
        cv::circle(canvas, cv::Point(x, paper.y), hole, pageColour(), cv::FILLED, cv::LINE_AA);
        cv::circle(canvas, cv::Point(x, paper.y + paper.height - 1), hole, pageColour(), cv::FILLED, cv::LINE_AA);
    }
    for (int y = paper.y + pitch / 2; y < paper.y + paper.height; y += pitch) {
        cv::circle(canvas, cv::Point(paper.x, y), hole, pageColour(), cv::FILLED, cv::LINE_AA);
        cv::circle(canvas, cv::Point(paper.x + paper.width - 1, y), hole, pageColour(), cv::FILLED, cv::LINE_AA);
    }

    // Coloured frame, then the picture inside it.
    const int margin = std::max(3, side / rng.uniform(14, 25));
    const int frameWidth = std::max(2, side / rng.uniform(20, 40));
    const cv::Scalar frameColour = inkColour(rng);
    const cv::Rect frame(paper.x + margin, paper.y + margin, paper.width - 2 * margin, paper.height - 2 * margin);
    cv::rectangle(canvas, frame, frameColour, cv::FILLED);
    const cv::Rect picture(frame.x + frameWidth, frame.y + frameWidth, frame.width - 2 * frameWidth,
                           frame.height - 2 * frameWidth);
    if (picture.width < 4 || picture.height < 4)
        return canvas;
    cv::Mat inner = canvas(picture);
    // A sky-to-ground gradient behind the motif.
    const cv::Scalar top = randomColour(rng, 150, 250);
    const cv::Scalar bottom = randomColour(rng, 60, 200);
    for (int y = 0; y < inner.rows; ++y) {
        const double t = inner.rows > 1 ? double(y) / (inner.rows - 1) : 0.0;
        inner.row(y).setTo(top * (1 - t) + bottom * t);
    }
    // Engraved hatching across the background, at an angle and spacing of its own.
    cv::Mat motif = canvas.clone();
    const double hatchAngle = rng.uniform(0.0, CV_PI);
    const int spacing = std::max(4, side / rng.uniform(10, 18));
    const cv::Scalar hatchColour = (top + bottom) * 0.5 * rng.uniform(0.8, 0.9);
    const cv::Point2d along(std::cos(hatchAngle), std::sin(hatchAngle)), across(-along.y, along.x);
    const cv::Point2d middle(picture.x + picture.width / 2.0, picture.y + picture.height / 2.0);
    const int reach = picture.width + picture.height;
    for (int k = -reach; k <= reach; k += spacing) {
        const cv::Point2d centre = middle + across * k;
        cv::line(motif, centre - along * reach, centre + along * reach, hatchColour, 1, cv::LINE_AA);
    }
    drawMotif(motif, picture, rng);
    motif(picture).copyTo(inner);

    // Country name across a band at the top, face value in a lower corner.
    const double fontScale = side / 260.0;
    const int thickness = std::max(1, side / 110);
    const cv::Scalar textColour = rng.uniform(0, 2) ? cv::Scalar(255, 255, 255) : frameColour * 0.5;
    const char *country = countries[size_t(rng.uniform(0, int(countries.size())))];
    const int bandHeight = std::max(6, picture.height / rng.uniform(6, 9));
    // Half the issues carry the name on a band of the frame colour, the others print it on the picture.
    const bool band = rng.uniform(0, 2);
    if (band)
        cv::rectangle(canvas, cv::Rect(picture.x, picture.y, picture.width, bandHeight), frameColour, cv::FILLED);
    int baseline = 0;
    const int font = rng.uniform(0, 2) ? cv::FONT_HERSHEY_SIMPLEX : cv::FONT_HERSHEY_DUPLEX;
    const cv::Size text = cv::getTextSize(country, font, fontScale, thickness, &baseline);
    cv::putText(canvas, country, cv::Point(picture.x + (picture.width - text.width) / 2, picture.y + bandHeight - baseline / 2 - 1),
                font, fontScale, band ? cv::Scalar(250, 250, 250) : frameColour, thickness, cv::LINE_AA);
    const std::string value = std::to_string(rng.uniform(1, 100)) + (rng.uniform(0, 2) ? "c" : "");
    const bool right = rng.uniform(0, 2);
    const cv::Size valueSize = cv::getTextSize(value, cv::FONT_HERSHEY_TRIPLEX, fontScale * 1.6, thickness + 1, &baseline);
    const cv::Point valueAt(right ? picture.x + picture.width - valueSize.width - 3 : picture.x + 3,
                            picture.y + picture.height - baseline - 2);
    cv::putText(canvas, value, valueAt, cv::FONT_HERSHEY_TRIPLEX, fontScale * 1.6, textColour, thickness + 1, cv::LINE_AA);
    return canvas;
}

cv::Mat CStampGenerator::rotated(const cv::Mat &picture, double degrees, cv::Scalar background)
{
    const cv::Mat source = asBgr(picture);
    if (source.empty())
        return cv::Mat();
    const cv::Point2f centre((source.cols - 1) / 2.0f, (source.rows - 1) / 2.0f);
    cv::Mat map = cv::getRotationMatrix2D(centre, degrees, 1.0);
    const cv::Rect2f bounds = cv::RotatedRect(cv::Point2f(), cv::Size2f(float(source.cols), float(source.rows)), float(degrees)).boundingRect2f();
    const cv::Size size(std::max(1, int(std::ceil(bounds.width))), std::max(1, int(std::ceil(bounds.height))));
    map.at<double>(0, 2) += (size.width - 1) / 2.0 - centre.x;
    map.at<double>(1, 2) += (size.height - 1) / 2.0 - centre.y;
    cv::Mat out;
    cv::warpAffine(source, out, map, size, cv::INTER_LINEAR, cv::BORDER_CONSTANT, background);
    return out;
}

cv::Mat CStampGenerator::scaled(const cv::Mat &picture, double factor)
{
    const cv::Mat source = asBgr(picture);
    if (source.empty() || !(factor > 0))
        return cv::Mat();
    const cv::Size size(std::max(1, int(std::lround(source.cols * factor))), std::max(1, int(std::lround(source.rows * factor))));
    cv::Mat out;
    cv::resize(source, out, size, 0, 0, factor < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
    return out;
}

cv::Mat CStampGenerator::upsideDown(const cv::Mat &picture)
{
    const cv::Mat source = asBgr(picture);
    cv::Mat out;
    if (!source.empty())
        cv::rotate(source, out, cv::ROTATE_180);
    return out;
}

cv::Mat CStampGenerator::mirrored(const cv::Mat &picture)
{
    const cv::Mat source = asBgr(picture);
    cv::Mat out;
    if (!source.empty())
        cv::flip(source, out, 1);
    return out;
}

cv::Mat CStampGenerator::jpeg(const cv::Mat &picture, int quality)
{
    const cv::Mat source = asBgr(picture);
    if (source.empty())
        return cv::Mat();
    std::vector<uchar> bytes;
    if (!cv::imencode(".jpg", source, bytes, {cv::IMWRITE_JPEG_QUALITY, std::clamp(quality, 1, 100)}))
        return source.clone();
    return cv::imdecode(bytes, cv::IMREAD_COLOR);
}

cv::Mat CStampGenerator::noisy(const cv::Mat &picture, double sigma, int seed)
{
    const cv::Mat source = asBgr(picture);
    if (source.empty())
        return cv::Mat();
    cv::Mat noise(source.size(), CV_16SC3);
    cv::RNG rng(static_cast<uint64_t>(static_cast<uint32_t>(seed)) * 977ULL + 3);
    rng.fill(noise, cv::RNG::NORMAL, 0.0, sigma);
    cv::Mat out;
    cv::add(source, noise, out, cv::noArray(), CV_8UC3);
    return out;
}

cv::Mat CStampGenerator::perspective(const cv::Mat &picture, double strength, cv::Scalar background)
{
    const cv::Mat source = asBgr(picture);
    if (source.empty())
        return cv::Mat();
    const float w = float(source.cols - 1), h = float(source.rows - 1);
    const float inset = float(std::clamp(strength, 0.0, 0.5) * source.cols);
    const cv::Point2f from[4] = {{0, 0}, {w, 0}, {w, h}, {0, h}};
    const cv::Point2f to[4] = {{inset, 0}, {w - inset, 0}, {w, h}, {0, h}};
    cv::Mat out;
    cv::warpPerspective(source, out, cv::getPerspectiveTransform(from, to), source.size(), cv::INTER_LINEAR,
                        cv::BORDER_CONSTANT, background);
    return out;
}

cv::Mat CStampGenerator::lit(const cv::Mat &picture, double gain, double offset, double slope)
{
    const cv::Mat source = asBgr(picture);
    if (source.empty())
        return cv::Mat();
    cv::Mat out(source.size(), CV_8UC3);
    for (int y = 0; y < source.rows; ++y) {
        const cv::Vec3b *in = source.ptr<cv::Vec3b>(y);
        cv::Vec3b *o = out.ptr<cv::Vec3b>(y);
        for (int x = 0; x < source.cols; ++x) {
            const double shift = offset + (source.cols > 1 ? slope * x / (source.cols - 1) : 0.0);
            for (int c = 0; c < 3; ++c)
                o[x][c] = cv::saturate_cast<uchar>(in[x][c] * gain + shift);
        }
    }
    return out;
}

cv::Mat CStampGenerator::onPage(const cv::Mat &picture, cv::Size canvas, cv::Point at, cv::Scalar background)
{
    const cv::Mat source = asBgr(picture);
    cv::Mat out(cv::Size(std::max(1, canvas.width), std::max(1, canvas.height)), CV_8UC3, background);
    if (source.empty())
        return out;
    const cv::Rect target = cv::Rect(at, source.size()) & cv::Rect(cv::Point(), out.size());
    if (target.area() > 0)
        source(cv::Rect(target.tl() - at, target.size())).copyTo(out(target));
    return out;
}

QImage CStampGenerator::toImage(const cv::Mat &picture)
{
    const cv::Mat source = asBgr(picture);
    if (source.empty())
        return QImage();
    cv::Mat bgra;
    cv::cvtColor(source, bgra, cv::COLOR_BGR2BGRA);
    // QImage::Format_RGB32 keeps a pixel as 0xffRRGGBB, that is the bytes B, G, R, 0xff in memory.
    QImage image(bgra.cols, bgra.rows, QImage::Format_RGB32);
    for (int y = 0; y < bgra.rows; ++y)
        std::memcpy(image.scanLine(y), bgra.ptr(y), size_t(bgra.cols) * 4);
    return image;
}
