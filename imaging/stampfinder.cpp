#include "stampfinder.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

// How it works, on a copy reduced to about a thousand pixels a side:
//  1. Printed stamps are busy: their engraving, text and perforation teeth give many short edges,
//     where a stock page, an album page, a table, a hand or a glare gives few. The density of Canny
//     edges, with long straight lines (the strips of a stock page, a table's edge) taken out, marks
//     the stamps' insides.
//  2. The marked regions, with their holes filled, are the candidates; a region that holds two or
//     more others (a page's outline, a strip) is dropped for them. A paper label is busy only where
//     it is written on: it is let go because its region is mostly plain and grey.
//  3. Regions that hold two stamps side by side are cut where the edge density falls to a valley
//     across the whole region (the two stamps' plain paper margins meet there).
//  4. Each box then grows over the stamp's plain margin, which differs in colour from the
//     background around it.
//  5. Where the picture's border is mostly one plain colour (a stock card, an album page, a table),
//     each region that differs from that ground is a whole stamp, margin included: it replaces
//     the busy pieces of it, and busy spots on the ground itself are let go.
namespace {

constexpr int workingSide = 1000;

// Grows `box` over the stamp's plain margin and perforation teeth, which are not busy but differ
// from the background just around the stamp: a row or column just outside the box belongs to the
// stamp while most of it differs from the median colour of a ring around the box.
cv::Rect grown(const cv::Mat &lab, cv::Rect box)
{
    const cv::Rect all(cv::Point(), lab.size());
    const int reach = std::max(2, std::max(box.width, box.height) / 10);
    const cv::Rect outer = cv::Rect(box.x - reach, box.y - reach, box.width + 2 * reach, box.height + 2 * reach) & all;
    std::vector<uchar> ring[3];
    for (int y = outer.y; y < outer.y + outer.height; ++y)
        for (int x = outer.x; x < outer.x + outer.width; ++x)
            if (!box.contains({x, y}))
                for (int c = 0; c < 3; ++c)
                    ring[c].push_back(lab.at<cv::Vec3b>(y, x)[c]);
    if (ring[0].size() < 16)
        return box;
    int median[3];
    for (int c = 0; c < 3; ++c) {
        std::nth_element(ring[c].begin(), ring[c].begin() + ring[c].size() / 2, ring[c].end());
        median[c] = ring[c][ring[c].size() / 2];
    }
    auto differs = [&](const cv::Rect &line) {
        const cv::Rect r = line & all;
        if (r.empty())
            return false;
        int count = 0;
        for (int y = r.y; y < r.y + r.height; ++y)
            for (int x = r.x; x < r.x + r.width; ++x) {
                const cv::Vec3b p = lab.at<cv::Vec3b>(y, x);
                count += std::abs(p[0] - median[0]) + 2 * std::abs(p[1] - median[1]) + 2 * std::abs(p[2] - median[2]) > 40;
            }
        return count > 0.5 * r.area();
    };
    for (int step = 0; step < reach; ++step) {
        bool grew = false;
        if (box.x > 0 && differs({box.x - 1, box.y, 1, box.height}))
            --box.x, ++box.width, grew = true;
        if (box.y > 0 && differs({box.x, box.y - 1, box.width, 1}))
            --box.y, ++box.height, grew = true;
        if (box.br().x < lab.cols && differs({box.br().x, box.y, 1, box.height}))
            ++box.width, grew = true;
        if (box.br().y < lab.rows && differs({box.x, box.br().y, box.width, 1}))
            ++box.height, grew = true;
        if (!grew)
            break;
    }
    return box;
}

// Splits `box` where the edge density, summed across it, falls to a valley between two parts that
// are each shaped like a stamp; recursive, so a row of three touching stamps gives three.
void split(const cv::Mat &edges, const cv::Rect &box, double typicalArea, std::vector<cv::Rect> &out, int depth = 0)
{
    const double aspect = double(box.width) / box.height;
    if (depth < 6 && (box.area() > 1.6 * typicalArea || aspect > 1.8 || aspect < 0.55)) {
        for (int axis = 0; axis < 2; ++axis) {
            const int length = axis == 0 ? box.width : box.height;
            if (length < 40)
                continue;
            cv::Mat profile;
            cv::reduce(edges(box), profile, axis == 0 ? 0 : 1, cv::REDUCE_AVG, CV_32F);
            profile = profile.reshape(1, 1);
            cv::blur(profile, profile, cv::Size(3, 1));
            const float typical = float(cv::mean(profile)[0]);
            int best = -1;
            float bestValue = typical * 0.3f;
            for (int i = length / 8; i < length - length / 8; ++i)
                if (profile.at<float>(i) < bestValue)
                    bestValue = profile.at<float>(i), best = i;
            if (best < 0)
                continue;
            const cv::Rect first = axis == 0 ? cv::Rect(box.x, box.y, best, box.height) : cv::Rect(box.x, box.y, box.width, best);
            const cv::Rect second = axis == 0 ? cv::Rect(box.x + best, box.y, box.width - best, box.height)
                                              : cv::Rect(box.x, box.y + best, box.width, box.height - best);
            auto stampShaped = [&](const cv::Rect &r) {
                const double aspect = double(r.width) / r.height;
                return aspect > 0.4 && aspect < 2.5 && (typicalArea > 1e17 || r.area() > 0.35 * typicalArea);
            };
            if (stampShaped(first) && stampShaped(second)) {
                split(edges, first, typicalArea, out, depth + 1);
                split(edges, second, typicalArea, out, depth + 1);
                return;
            }
        }
    }
    out.push_back(box);
}

// Stamps laid on a plain ground (a stock card, an album page, a table): the ground is the colour
// that the picture's border mostly shows. Where the border is not plain (a stamp filling the
// picture, a busy scene), there is no ground to go by and this gives nothing. Each region that
// differs from the ground, cleaned of specks and thin bridges, is a candidate for a whole stamp,
// margin and teeth included.
std::vector<cv::Rect> onPlainGround(const cv::Mat &lab)
{
    const int rim = std::max(2, std::min(lab.cols, lab.rows) / 40);
    std::vector<uchar> border[3];
    for (int y = 0; y < lab.rows; ++y)
        for (int x = 0; x < lab.cols; ++x)
            if (y < rim || y >= lab.rows - rim || x < rim || x >= lab.cols - rim) {
                const cv::Vec3b p = lab.at<cv::Vec3b>(y, x);
                for (int c = 0; c < 3; ++c)
                    border[c].push_back(p[c]);
            }
    int median[3];
    for (int c = 0; c < 3; ++c) {
        std::nth_element(border[c].begin(), border[c].begin() + border[c].size() / 2, border[c].end());
        median[c] = border[c][border[c].size() / 2];
    }
    auto distance = [&](const cv::Vec3b &p) {
        return std::abs(p[0] - median[0]) / 2 + 2 * std::abs(p[1] - median[1]) + 2 * std::abs(p[2] - median[2]);
    };
    // Most of the border must be the ground.
    size_t near = 0;
    for (size_t i = 0; i < border[0].size(); ++i)
        near += distance(cv::Vec3b(border[0][i], border[1][i], border[2][i])) < 30;
    if (near < 0.7 * border[0].size())
        return {};
    cv::Mat smooth;
    cv::medianBlur(lab, smooth, 5);
    cv::Mat differs(lab.size(), CV_8U);
    for (int y = 0; y < lab.rows; ++y)
        for (int x = 0; x < lab.cols; ++x)
            differs.at<uchar>(y, x) = distance(smooth.at<cv::Vec3b>(y, x)) > 40 ? 255 : 0;
    const int side = std::max(lab.cols, lab.rows);
    const int k = std::max(3, side / 150) | 1;
    cv::morphologyEx(differs, differs, cv::MORPH_CLOSE, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(k, k)));
    cv::morphologyEx(differs, differs, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * k + 1, 2 * k + 1)));
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(differs, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    std::vector<cv::Rect> boxes;
    for (const auto &contour : contours) {
        const cv::Rect box = cv::boundingRect(contour);
        const double aspect = double(box.width) / box.height;
        // A stamp fills most of its box even when it lies a little turned.
        if (box.width >= side * 0.05 && box.height >= side * 0.05 && aspect > 0.3 && aspect < 3.3
            && cv::contourArea(contour) > 0.6 * box.area())
            boxes.push_back(box);
    }
    return boxes;
}

} // namespace

QList<QRect> CStampFinder::findStamps(const QImage &picture)
{
    if (picture.isNull() || picture.width() < 8 || picture.height() < 8)
        return {};
    // Look at the pixels in place where the format allows it; reduce before anything else.
    QImage source = picture;
    if (source.format() != QImage::Format_RGB32 && source.format() != QImage::Format_ARGB32)
        source = source.convertToFormat(QImage::Format_RGB32);
    const cv::Mat bgra(source.height(), source.width(), CV_8UC4, const_cast<uchar *>(source.constBits()), source.bytesPerLine());
    const double scale = std::min(1.0, double(workingSide) / std::max(source.width(), source.height()));
    cv::Mat small;
    cv::resize(bgra, small, cv::Size(), scale, scale, cv::INTER_AREA);
    cv::cvtColor(small, small, cv::COLOR_BGRA2BGR);
    const int side = std::max(small.cols, small.rows);

    cv::Mat lab, grey;
    cv::cvtColor(small, lab, cv::COLOR_BGR2Lab);
    cv::cvtColor(small, grey, cv::COLOR_BGR2GRAY);
    cv::GaussianBlur(grey, grey, cv::Size(3, 3), 0);
    cv::Mat edges;
    cv::Canny(grey, edges, 40, 100);

    // Lines across most of the picture are the page's, not a stamp's: strips, pockets, a table's
    // edge. Widened across, so that a line a photo shows at a slight slant still runs unbroken.
    cv::Mat wide, lines, along;
    cv::dilate(edges, wide, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(5, 1)));
    cv::morphologyEx(wide, lines, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(1, small.rows * 6 / 10)));
    cv::dilate(edges, wide, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(1, 5)));
    cv::morphologyEx(wide, along, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(small.cols * 6 / 10, 1)));
    lines |= along;
    cv::dilate(lines, lines, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3)));
    edges.setTo(0, lines);

    // Edge density over a window of about a hundredth of the picture.
    const int window = std::max(5, side / 110) | 1;
    cv::Mat density;
    cv::boxFilter(edges, density, CV_32F, cv::Size(window, window), cv::Point(-1, -1), true);
    density /= 255.0f;
    cv::Mat busy = density > 0.15f;
    cv::morphologyEx(busy, busy, cv::MORPH_CLOSE, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(window / 2, window / 2)));

    cv::Mat chroma;
    {
        std::vector<cv::Mat> c;
        cv::split(lab, c);
        cv::Mat a, b;
        cv::absdiff(c[1], cv::Scalar(128), a);
        cv::absdiff(c[2], cv::Scalar(128), b);
        chroma = a + b;
    }
    // Busy or different, with thin bridges (a glare, a strip's edge) cut and holes filled.
    cv::Mat marked = busy.clone();
    cv::morphologyEx(marked, marked, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(window / 2 + 1, window / 2 + 1)));
    // Every outer boundary, also those inside another region's hole: a stock page's outline or a
    // strip's edge may enclose stamps.
    std::vector<std::vector<cv::Point>> all;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(marked, all, hierarchy, cv::RETR_TREE, cv::CHAIN_APPROX_SIMPLE);
    std::vector<std::vector<cv::Point>> contours;
    for (size_t k = 0; k < all.size(); ++k) {
        int depth = 0;
        for (int parent = hierarchy[k][3]; parent >= 0; parent = hierarchy[parent][3])
            ++depth;
        if (depth % 2 == 0)
            contours.push_back(all[k]);
    }
    cv::Mat regions = cv::Mat::zeros(busy.size(), CV_8U);
    cv::drawContours(regions, contours, -1, cv::Scalar(255), cv::FILLED);

    const double minSide = side * 0.05;
    // A paper label or a hand is mostly plain and grey or skin; a strip's end is long and thin.
    auto stampLike = [&](const cv::Rect &box) {
        if (box.width < minSide || box.height < minSide)
            return false;
        const double aspect = double(box.width) / box.height;
        const double inside = cv::mean(density(box), regions(box))[0];
        const double colour = cv::mean(chroma(box), regions(box))[0];
        return inside + colour / 200.0 >= 0.13 && aspect > 0.3 && aspect < 3.3;
    };
    std::vector<cv::Rect> boxes;
    for (const auto &contour : contours)
        if (const cv::Rect box = cv::boundingRect(contour); box.width >= minSide && box.height >= minSide)
            boxes.push_back(box);
    // The typical stamp, to tell a region of two from one: the median of the regions that look
    // like one stamp.
    std::vector<double> areas;
    for (const cv::Rect &b : boxes)
        if (const double aspect = double(b.width) / b.height; aspect > 0.55 && aspect < 1.8 && stampLike(b))
            areas.push_back(b.area());
    std::sort(areas.begin(), areas.end());
    const double typicalArea = areas.size() < 2 ? 1e18 : areas[areas.size() / 2];
    std::vector<cv::Rect> candidates;
    for (const cv::Rect &b : boxes) {
        std::vector<cv::Rect> parts;
        split(edges, b, typicalArea, parts);
        for (const cv::Rect &part : parts)
            if (stampLike(part))
                candidates.push_back(grown(lab, part));
    }

    // A whole stamp found on the ground replaces the busy pieces of it found by their edges; where
    // the ground shows several stamps, a busy region on the plain ground itself is not a stamp.
    const std::vector<cv::Rect> grounded = onPlainGround(lab);
    if (grounded.size() >= 2)
        candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                        [&](const cv::Rect &c) {
                                            return std::none_of(grounded.begin(), grounded.end(),
                                                                [&](const cv::Rect &b) { return (c & b).area() > 0.3 * c.area(); });
                                        }),
                         candidates.end());
    for (const cv::Rect &b : grounded) {
        if (!stampLike(b))
            continue;
        candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                        [&](const cv::Rect &c) { return (c & b).area() > 0.3 * c.area() && c.area() < 1.5 * b.area(); }),
                         candidates.end());
        candidates.push_back(b);
    }

    // A box that holds two or more others of some size is a page, a strip or a cluster whose
    // stamps were found one by one; a box inside another that holds no other is a piece of it.
    auto inside = [](const cv::Rect &small, const cv::Rect &big) { return (small & big).area() > 0.8 * small.area() && big.area() > small.area(); };
    std::vector<bool> drop(candidates.size(), false);
    for (size_t i = 0; i < candidates.size(); ++i) {
        int held = 0;
        for (size_t j = 0; j < candidates.size(); ++j)
            held += j != i && inside(candidates[j], candidates[i]) && candidates[j].area() > 0.15 * candidates[i].area();
        if (held >= 2)
            drop[i] = true;
    }
    for (size_t i = 0; i < candidates.size(); ++i)
        for (size_t j = 0; j < candidates.size(); ++j)
            if (!drop[i] && !drop[j] && j != i && inside(candidates[j], candidates[i]))
                drop[j] = true;
    std::vector<cv::Rect> kept;
    for (size_t i = 0; i < candidates.size(); ++i)
        if (!drop[i])
            kept.push_back(candidates[i]);
    candidates = kept;

    // One box over nearly all of the picture: the picture is the stamp. (Among others, such a box
    // is a page's outline around its stamps.)
    const cv::Rect whole(cv::Point(), small.size());
    auto nearlyAll = [&](const cv::Rect &c) { return c.width > 0.85 * whole.width && c.height > 0.85 * whole.height; };
    if (candidates.size() == 1 && nearlyAll(candidates.front()))
        return {picture.rect()};
    // Pieces that together cover most of the picture, with hardly any background between them,
    // are one stamp seen close up (a page of stamps leaves the page showing between them).
    if (!candidates.empty()) {
        cv::Mat covered = cv::Mat::zeros(small.size(), CV_8U);
        cv::Rect span = candidates.front();
        for (const cv::Rect &c : candidates)
            covered(c).setTo(255), span |= c;
        if (nearlyAll(span) && cv::countNonZero(covered) > 0.75 * whole.area())
            return {picture.rect()};
    }
    candidates.erase(std::remove_if(candidates.begin(), candidates.end(), nearlyAll), candidates.end());

    // Best first: whole stamps before those cut by the picture's edge, then nearest the centre.
    const cv::Point2d centre(small.cols / 2.0, small.rows / 2.0);
    auto cut = [&](const cv::Rect &r) { return r.x <= 1 || r.y <= 1 || r.br().x >= small.cols - 1 || r.br().y >= small.rows - 1; };
    auto distance = [&](const cv::Rect &r) { return std::hypot(r.x + r.width / 2.0 - centre.x, r.y + r.height / 2.0 - centre.y); };
    std::stable_sort(candidates.begin(), candidates.end(), [&](const cv::Rect &a, const cv::Rect &b) {
        if (cut(a) != cut(b))
            return !cut(a);
        return distance(a) < distance(b);
    });
    QList<QRect> found;
    for (const cv::Rect &c : candidates) {
        const QRect r(int(std::floor(c.x / scale)), int(std::floor(c.y / scale)), int(std::ceil(c.width / scale)),
                      int(std::ceil(c.height / scale)));
        found.append(r.intersected(picture.rect()));
    }
    return found;
}
