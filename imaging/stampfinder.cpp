#include "stampfinder.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

// How it works, on a copy reduced to about a thousand pixels a side:
//  1. Where the picture's border is mostly one plain colour (a stock card, an album page, a table),
//     the stamps are the regions that differ from that ground, margin and teeth included. A page
//     lying on a table differs from the table as a whole: its stamps are then found against the
//     colour of the page's own rim, followed as it drifts across the page (lit strips, gloss).
//  2. Regions of several stamps are cut apart: where a straight cut leaves parts that fill their
//     boxes far better (a gap or a step between neighbours), and, for a region much larger than
//     the typical stamp, where the region and its edges thin (the plain margins of two stamps that
//     touch). A paper label differs too, but is busy only where it is written on.
//     A stamp framed loosely, whose neighbours cut by the picture's edge cover the border, is
//     looked for again against the border's plain pixels, as the region over the centre; on a dark
//     card of several shades, by its four sides where the picture steps from the dark card to the
//     stamp's lighter paper.
//  3. Without a plain ground (a stamp filling the picture, a busy scene): printed stamps are busy,
//     their engraving, text and teeth give many short edges. The density of Canny edges, with long
//     straight lines taken out, marks the stamps' insides; the marked regions are cut at edge
//     valleys, plain grey regions (labels) let go, and each box grows over the stamp's margin.
namespace {

constexpr int workingSide = 1000;

// Moves each side of `box` out a pixel a round, for `reach` rounds at most, while the line just
// outside that side still belongs to the stamp.
template<typename Belongs>
cv::Rect grownWhile(cv::Rect box, const cv::Size &size, int reach, Belongs belongs)
{
    for (int step = 0; step < reach; ++step) {
        bool grew = false;
        if (box.x > 0 && belongs(cv::Rect(box.x - 1, box.y, 1, box.height)))
            --box.x, ++box.width, grew = true;
        if (box.y > 0 && belongs(cv::Rect(box.x, box.y - 1, box.width, 1)))
            --box.y, ++box.height, grew = true;
        if (box.br().x < size.width && belongs(cv::Rect(box.br().x, box.y, 1, box.height)))
            ++box.width, grew = true;
        if (box.br().y < size.height && belongs(cv::Rect(box.x, box.br().y, box.width, 1)))
            ++box.height, grew = true;
        if (!grew)
            break;
    }
    return box;
}

// Grows `box` over the stamp's plain margin and perforation teeth, which are not busy but differ
// from the background just around the stamp: a row or column just outside the box belongs to the
// stamp while most of it differs from the median colour of a ring around the box.
cv::Rect grown(const cv::Mat &lab, cv::Rect box, int threshold = 40)
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
                count += std::abs(p[0] - median[0]) + 2 * std::abs(p[1] - median[1]) + 2 * std::abs(p[2] - median[2]) > threshold;
            }
        return count > 0.5 * r.area();
    };
    return grownWhile(box, lab.size(), reach, differs);
}

// Grows `box` over a stamp's teeth and margin where they hardly differ from the ground (a light
// stamp on a light card): a side moves out while the line just outside it still crosses edges of the
// stamp (its teeth, the margin's outline). On a plain ground nothing else is edged, and a turned
// stamp's corners are followed to their tips, as the line need only cross them.
cv::Rect grownOverTeeth(const cv::Mat &edges, cv::Rect box)
{
    const cv::Rect all(cv::Point(), edges.size());
    const int reach = std::max(2, std::max(box.width, box.height) / 8);
    auto crosses = [&](const cv::Rect &line) { return cv::countNonZero(edges(line & all)) >= 2; };
    return grownWhile(box, edges.size(), reach, crosses);
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

// The tight box of the set pixels of `mask` inside `box`.
cv::Rect tight(const cv::Mat &mask, const cv::Rect &box)
{
    const cv::Rect r = cv::boundingRect(mask(box));
    return r + box.tl();
}

// Splits a region of `mask` (stamps that differ from the ground) that holds more than one stamp:
// first where a straight cut leaves two parts that each fill their own box far better than the
// whole fills its box (two stamps side by side with a gap or a step between them), then, for a
// region much larger than the typical stamp, where the mask thins across it (the perforation holes
// of two stamps that touch). Recursive; gives the parts' tight boxes when they look like stamps.
void splitRegion(const cv::Mat &mask, const cv::Mat &edges, cv::Rect box, double typicalArea, double minSide, std::vector<cv::Rect> &out, int depth = 0)
{
    // A straight cut leaves slivers of a neighbour that reaches past it: the part's box is taken
    // around its core, what remains after thin pieces are opened away.
    {
        const int k = std::max(3, int(minSide / 2.5)) | 1;
        cv::Mat core;
        cv::morphologyEx(mask(box), core, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(k, k)));
        if (cv::countNonZero(core) == 0)
            return;
        const cv::Rect reach = (cv::boundingRect(core) + box.tl() - cv::Point(k / 2 + 1, k / 2 + 1) + cv::Size(k + 2, k + 2)) & box;
        box = tight(mask, reach);
    }
    const cv::Mat m = mask(box);
    const double count = cv::countNonZero(m);
    const double fill = count / box.area();
    auto stampShaped = [&](const cv::Rect &r) {
        const double aspect = double(r.width) / r.height;
        return r.width >= minSide && r.height >= minSide && aspect > 0.3 && aspect < 3.3;
    };
    if (depth < 8) {
        double bestScore = 0;
        cv::Rect bestFirst, bestSecond;
        for (int axis = 0; axis < 2; ++axis) {
            const cv::Mat along = axis == 0 ? m : cv::Mat(m.t());
            const int length = along.cols, across = along.rows;
            // Per line across the cut direction: its count and the first and last set pixel.
            std::vector<int> lineCount(length, 0), first(length, across), last(length, -1);
            for (int y = 0; y < across; ++y) {
                const uchar *row = along.ptr<uchar>(y);
                for (int x = 0; x < length; ++x)
                    if (row[x]) {
                        ++lineCount[x];
                        first[x] = std::min(first[x], y);
                        last[x] = std::max(last[x], y);
                    }
            }
            // Prefix and suffix: the extent across of everything before and after a cut.
            std::vector<int> lowBefore(length + 1, across), highBefore(length + 1, -1), lowAfter(length + 1, across),
                highAfter(length + 1, -1);
            for (int x = 0; x < length; ++x) {
                lowBefore[x + 1] = std::min(lowBefore[x], first[x]);
                highBefore[x + 1] = std::max(highBefore[x], last[x]);
            }
            for (int x = length - 1; x >= 0; --x) {
                lowAfter[x] = std::min(lowAfter[x + 1], first[x]);
                highAfter[x] = std::max(highAfter[x + 1], last[x]);
            }
            int begin = 0, stop = length;
            while (begin < length && lineCount[begin] == 0)
                ++begin;
            while (stop > begin && lineCount[stop - 1] == 0)
                --stop;
            for (int cut = int(minSide); cut <= length - int(minSide); ++cut) {
                if (highBefore[cut] < 0 || highAfter[cut] < 0)
                    continue;
                // Each part's box from the last set line before the cut and the first after it.
                int end = cut, start = cut;
                while (end > 0 && lineCount[end - 1] == 0)
                    --end;
                while (start < length && lineCount[start] == 0)
                    ++start;
                const double a = double(end - begin) * (highBefore[cut] - lowBefore[cut] + 1);
                const double b = double(stop - start) * (highAfter[cut] - lowAfter[cut] + 1);
                const double score = count / (a + b);
                if (score <= bestScore)
                    continue;
                cv::Rect p(begin, lowBefore[cut], end - begin, highBefore[cut] - lowBefore[cut] + 1);
                cv::Rect q(start, lowAfter[cut], stop - start, highAfter[cut] - lowAfter[cut] + 1);
                if (axis == 1) {
                    p = cv::Rect(p.y, p.x, p.height, p.width);
                    q = cv::Rect(q.y, q.x, q.height, q.width);
                }
                if (!stampShaped(p) || !stampShaped(q) || (typicalArea < 1e17 && std::min(p.area(), q.area()) < 0.5 * typicalArea))
                    continue;
                bestScore = score, bestFirst = p + box.tl(), bestSecond = q + box.tl();
            }
        }
        if (bestScore > fill + 0.05) {
            splitRegion(mask, edges, bestFirst, typicalArea, minSide, out, depth + 1);
            splitRegion(mask, edges, bestSecond, typicalArea, minSide, out, depth + 1);
            return;
        }
        // Stamps that touch or overlap fill their common box: a region larger than the typical
        // stamp is cut where it thins (perforation holes) and where its edges thin (the plain paper
        // margins of two stamps meet there), away from its ends. Two narrow stamps together are no
        // larger than one wide one, so a region only a little larger than the typical stamp is cut
        // only along a line nearly free of edges. Without a typical stamp to go by, stamps are
        // about as long as they are wide.
        const double typical = typicalArea < 1e17 ? typicalArea : double(std::min(box.width, box.height)) * std::min(box.width, box.height);
        if (box.area() > (typicalArea < 1e17 ? 1.2 : 1.7) * typical) {
            // The meeting line of two turned stamps is slanted: lines are tried a few degrees
            // either way, so that one runs along the margins without crossing a frame's edge.
            const bool large = box.area() > 1.7 * typical;
            const double smallest = large ? 0.35 : 0.5;
            double bestValley = 1e9;
            int bestAxis = 0, bestCut = 0;
            double bestSlope = 0;
            const cv::Mat e = edges(box);
            const double level = cv::countNonZero(e & m) / (count + 1.0) + 1e-6;
            for (int axis = 0; axis < 2; ++axis) {
                const cv::Mat along = axis == 0 ? m : cv::Mat(m.t());
                const cv::Mat edgesAlong = axis == 0 ? e : cv::Mat(e.t());
                const int length = along.cols, across = along.rows;
                for (int degrees = -4; degrees <= 4; ++degrees) {
                    const double slope = std::tan(degrees * CV_PI / 180);
                    std::vector<float> edgy(length, 0), filled(length, 0);
                    for (int y = 0; y < across; ++y) {
                        const int shift = cvRound(slope * (y - across / 2.0));
                        const uchar *inMask = along.ptr<uchar>(y), *onEdge = edgesAlong.ptr<uchar>(y);
                        for (int c = std::max(0, -shift); c < std::min(length, length - shift); ++c)
                            if (inMask[c + shift]) {
                                ++filled[c];
                                edgy[c] += onEdge[c + shift] != 0;
                            }
                    }
                    for (int i = std::max(1, length / 6); i < length - length / 6 - 1; ++i) {
                        const double value = (edgy[i - 1] + edgy[i] + edgy[i + 1]) / (3.0 * across) * filled[i] / across / level;
                        if (value >= bestValley)
                            continue;
                        const cv::Rect p = axis == 0 ? cv::Rect(box.x, box.y, i, box.height) : cv::Rect(box.x, box.y, box.width, i);
                        const cv::Rect q = axis == 0 ? cv::Rect(box.x + i, box.y, box.width - i, box.height)
                                                     : cv::Rect(box.x, box.y + i, box.width, box.height - i);
                        if (stampShaped(p) && stampShaped(q) && std::min(p.area(), q.area()) > smallest * typical)
                            bestValley = value, bestAxis = axis, bestCut = i, bestSlope = slope;
                    }
                }
            }
            if (bestValley < (large ? 0.3 : 0.12)) {
                // Each part is what lies on its side of the slanted line.
                cv::Mat before = cv::Mat::zeros(box.size(), CV_8U), after = cv::Mat::zeros(box.size(), CV_8U);
                for (int y = 0; y < box.height; ++y)
                    for (int x = 0; x < box.width; ++x) {
                        const double position = bestAxis == 0 ? x - bestSlope * (y - box.height / 2.0) : y - bestSlope * (x - box.width / 2.0);
                        (position < bestCut ? before : after).at<uchar>(y, x) = m.at<uchar>(y, x);
                    }
                splitRegion(mask, edges, cv::boundingRect(before) + box.tl(), typicalArea, minSide, out, depth + 1);
                splitRegion(mask, edges, cv::boundingRect(after) + box.tl(), typicalArea, minSide, out, depth + 1);
                return;
            }
        }
    }
    const double aspect = double(box.width) / box.height;
    if (fill > 0.6 && aspect > 0.3 && aspect < 3.3)
        out.push_back(box);
}

// The pixels of `smooth` (Lab) inside `within` that differ from the ground, the colour that most
// of the pixels under `sample` show (returned in `median`); empty when too few of those pixels
// are that colour (a stamp filling the picture, a busy scene), as there is then no ground to go by.
cv::Mat differsFromGround(const cv::Mat &smooth, const cv::Mat &busy, const cv::Mat &sample, const cv::Mat &within, int window,
                          cv::Scalar &median)
{
    const int samples = cv::countNonZero(sample);
    if (samples < 64)
        return {};
    // The median of each channel under `sample`, from its histogram.
    std::vector<cv::Mat> channels;
    cv::split(smooth, channels);
    for (int c = 0; c < 3; ++c) {
        cv::Mat histogram;
        const int bins = 256;
        const float range[] = {0, 256};
        const float *ranges = range;
        cv::calcHist(&channels[c], 1, nullptr, sample, histogram, 1, &bins, &ranges);
        float seen = 0;
        int v = 0;
        while (v < 255 && (seen += histogram.at<float>(v)) < samples / 2.0f)
            ++v;
        median[c] = v;
    }
    // Distance from the ground, lightness weighed less than colour (a shadow is still ground).
    auto distanceFrom = [&](const std::vector<cv::Mat> &ground) {
        cv::Mat d[3], distance;
        for (int c = 0; c < 3; ++c)
            cv::absdiff(channels[c], ground[c], d[c]);
        cv::addWeighted(d[1], 2.0, d[2], 2.0, 0, distance, CV_16U);
        cv::Mat lightness;
        d[0].convertTo(lightness, CV_16U, 0.5);
        return cv::Mat(distance + lightness);
    };
    std::vector<cv::Mat> ground;
    for (int c = 0; c < 3; ++c)
        ground.emplace_back(smooth.size(), CV_8U, cv::Scalar(median[c]));
    cv::Mat distance = distanceFrom(ground);
    if (cv::countNonZero((distance < 30) & sample) < 0.35 * samples)
        return {};
    if (window > 1) {
        // The ground's colour drifts across a photographed page (a lit corner, a strip's gloss):
        // each pixel is compared with the mean of the plain, ground-coloured pixels around it,
        // taken on a copy reduced fourfold, as the ground drifts slowly.
        const cv::Mat groundish = within & ~busy & (distance < 80);
        const cv::Size reduced(smooth.cols / 4, smooth.rows / 4);
        cv::Mat weight;
        cv::resize(groundish, weight, reduced, 0, 0, cv::INTER_AREA);
        weight.convertTo(weight, CV_32F, 1.0 / 255);
        cv::Mat spread;
        cv::blur(weight, spread, cv::Size(window / 4 | 1, window / 4 | 1));
        const cv::Mat known = spread > 0.05f;
        for (int c = 0; c < 3; ++c) {
            cv::Mat local;
            cv::resize(channels[c] & groundish, local, reduced, 0, 0, cv::INTER_AREA);
            local.convertTo(local, CV_32F);
            cv::blur(local, local, cv::Size(window / 4 | 1, window / 4 | 1));
            cv::divide(local, cv::max(spread, 0.05f), local);
            local.setTo(median[c], ~known);
            local.convertTo(local, CV_8U);
            cv::resize(local, ground[c], smooth.size(), 0, 0, cv::INTER_LINEAR);
        }
        distance = distanceFrom(ground);
    }
    return within & (distance > 40);
}

// Stamps laid on a plain ground (a stock card, an album page, a table): the ground is the colour
// that the picture's border mostly shows. A page that lies on a table and fills most of the
// picture differs from the table as a whole: its own stamps are then found against the colour of
// the page's rim. Each region that differs from the ground, cleaned of specks and thin bridges, is
// a candidate for a whole stamp, margin and teeth included.
// With `aroundCentre`, the ground is taken from the border's plain pixels only, there is no look
// inside a page, and the one box returned is the stamp over the picture's centre: a stamp framed
// loosely on a stock card has busy neighbours, cut by the picture's edge, over much of the border,
// and may touch them at a corner.
std::vector<cv::Rect> onPlainGround(const cv::Mat &lab, const cv::Mat &busy, const cv::Mat &edges, bool aroundCentre = false)
{
    const int side = std::max(lab.cols, lab.rows);
    const int rim = std::max(2, std::min(lab.cols, lab.rows) / 40);
    cv::Mat smooth;
    cv::medianBlur(lab, smooth, 5);
    cv::Mat within(lab.size(), CV_8U, cv::Scalar(255));
    cv::Mat sample = within.clone();
    sample(cv::Rect(rim, rim, lab.cols - 2 * rim, lab.rows - 2 * rim)).setTo(0);
    if (aroundCentre)
        sample &= ~busy;
    const int k = std::max(3, side / 150) | 1;
    const cv::Mat closer = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(k, k));
    const cv::Mat opener = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * k + 1, 2 * k + 1));
    // The stamps' own size, about: the ground is followed over that distance.
    const int window = side / 10 | 1;
    cv::Mat differs;
    cv::Scalar groundColour;
    bool onPage = false;
    for (int level = 0; level < 2; ++level) {
        differs = differsFromGround(smooth, busy, sample, within, onPage ? window : 1, groundColour);
        if (differs.empty())
            return {};
        // A stamp's design may match the ground in colour in places, but not in its busy texture:
        // busy pixels next to what differs join it.
        cv::Mat near;
        cv::dilate(differs, near, opener);
        differs |= busy & near;
        cv::morphologyEx(differs, differs, cv::MORPH_CLOSE, closer);
        cv::morphologyEx(differs, differs, cv::MORPH_OPEN, opener);
        if (onPage || aroundCentre)
            break;
        // One region over most of the picture is a page on a table: look again inside it, against
        // the page's own rim.
        cv::Mat labels, stats, centroids;
        const int count = cv::connectedComponentsWithStats(differs, labels, stats, centroids, 8, CV_32S);
        int largest = 0;
        for (int i = 1; i < count; ++i)
            if (largest == 0 || stats.at<int>(i, cv::CC_STAT_AREA) > stats.at<int>(largest, cv::CC_STAT_AREA))
                largest = i;
        if (largest == 0 || stats.at<int>(largest, cv::CC_STAT_AREA) < 0.4 * lab.total())
            break;
        // A page lying on a table fills most of the picture or comes close to its edge; a single
        // stamp photographed with room around it does neither, and is no page to look inside.
        const cv::Rect spanned(stats.at<int>(largest, cv::CC_STAT_LEFT), stats.at<int>(largest, cv::CC_STAT_TOP),
                               stats.at<int>(largest, cv::CC_STAT_WIDTH), stats.at<int>(largest, cv::CC_STAT_HEIGHT));
        const bool nearEdge = std::min(spanned.x, lab.cols - spanned.br().x) < 0.07 * lab.cols
                              || std::min(spanned.y, lab.rows - spanned.br().y) < 0.07 * lab.rows;
        if (stats.at<int>(largest, cv::CC_STAT_AREA) < 0.75 * lab.total() && !nearEdge)
            break;
        onPage = true;
        cv::Mat page = labels == largest;
        // The page with its holes (its stamps) filled, eroded past its rim.
        std::vector<std::vector<cv::Point>> outline;
        cv::findContours(page, outline, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
        page.setTo(0);
        cv::drawContours(page, outline, -1, cv::Scalar(255), cv::FILLED);
        cv::erode(page, within, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * k + 1, 2 * k + 1)));
        cv::Mat inner;
        cv::erode(within, inner, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * rim + 1, 2 * rim + 1)));
        sample = within & ~inner;
    }
    // A stamp's design may match the ground in places: its regions are taken whole, holes filled.
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(differs, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    cv::drawContours(differs, contours, -1, cv::Scalar(255), cv::FILLED);
    if (aroundCentre) {
        // The central stamp may touch its neighbours at a corner or through a strip's gloss: its
        // extent is where the region over the centre stays about as tall (and as wide) as it is at
        // the centre, a bridge or a neighbour's corner being far thinner.
        cv::Mat labels;
        cv::connectedComponents(differs, labels, 8, CV_32S);
        const int centre = labels.at<int>(lab.rows / 2, lab.cols / 2);
        if (centre == 0)
            return {};
        const cv::Mat region = labels == centre;
        cv::Rect box(cv::Point(), lab.size());
        for (int pass = 0; pass < 4; ++pass) {
            const bool across = pass % 2 == 0;
            // The profile along the whole picture, over the rows (or columns) found so far.
            cv::Mat profile;
            cv::reduce(region(across ? cv::Rect(0, box.y, lab.cols, box.height) : cv::Rect(box.x, 0, box.width, lab.rows)), profile,
                       across ? 0 : 1, cv::REDUCE_SUM, CV_32S);
            profile = profile.reshape(1, 1);
            const int low = across ? box.x : box.y, high = across ? box.br().x - 1 : box.br().y - 1;
            const int middle = across ? lab.cols / 2 : lab.rows / 2;
            const int full = profile.at<int>(middle);
            int from = middle, to = middle;
            while (from > low && profile.at<int>(from - 1) > full / 2)
                --from;
            while (to < high && profile.at<int>(to + 1) > full / 2)
                ++to;
            // A turned stamp tapers to its corners past that: once the other extent is known, the
            // extent goes on while the profile keeps shrinking to nothing, not where it grows again
            // (a bridge to a neighbour).
            if (pass >= 2) {
                const int reach = (to - from) / 8, wobble = std::max(2, full / 50);
                auto tapered = [&](int at, int step) {
                    int smallest = profile.at<int>(at);
                    for (int i = at + step; i >= 0 && i < profile.cols && std::abs(i - at) <= reach; i += step) {
                        const int here = profile.at<int>(i);
                        if (here == 0)
                            return i - step;
                        if (here > smallest + wobble)
                            return at;
                        smallest = std::min(smallest, here);
                    }
                    return at;
                };
                from = tapered(from, -1), to = tapered(to, 1);
            }
            box = across ? cv::Rect(from, box.y, to - from + 1, box.height) : cv::Rect(box.x, from, box.width, to - from + 1);
        }
        box &= cv::boundingRect(region);
        // On a light ground the stamp's light margin and teeth may not differ from it.
        return {groundColour[0] > 120 ? grownOverTeeth(edges, box) : box};
    }
    std::vector<cv::Rect> regions;
    for (const auto &contour : contours)
        if (const cv::Rect box = cv::boundingRect(contour); box.width >= side * 0.05 && box.height >= side * 0.05)
            regions.push_back(box);
    // The typical stamp: the median of the regions that fill their box as one stamp does.
    std::vector<double> areas;
    for (const cv::Rect &r : regions)
        if (const double aspect = double(r.width) / r.height;
            aspect > 0.55 && aspect < 1.8 && cv::countNonZero(differs(r)) > 0.85 * r.area())
            areas.push_back(r.area());
    std::sort(areas.begin(), areas.end());
    const double typicalArea = areas.empty() ? 1e18 : areas[areas.size() / 2];
    std::vector<cv::Rect> boxes;
    for (const cv::Rect &r : regions)
        splitRegion(differs, edges, r, typicalArea, side * 0.05, boxes);
    // Once more with the typical stamp of what the first pass found: a row of touching stamps
    // gives none to go by at first.
    areas.clear();
    for (const cv::Rect &b : boxes)
        areas.push_back(b.area());
    std::sort(areas.begin(), areas.end());
    if (!areas.empty()) {
        const double typical = areas[areas.size() / 2];
        std::vector<cv::Rect> again;
        for (const cv::Rect &b : boxes)
            splitRegion(differs, edges, b, typical, side * 0.05, again);
        boxes = again;
        // A sliver cut off a stamp (far smaller than the typical stamp, lying against another part)
        // goes back to the part it lies against most.
        for (size_t i = 0; i < boxes.size();) {
            int best = -1, bestLength = 0;
            for (size_t j = 0; j < boxes.size() && boxes[i].area() < 0.3 * typical; ++j) {
                const cv::Rect touching = (boxes[i] + cv::Size(2, 2) - cv::Point(1, 1)) & boxes[j];
                if (j != i && std::max(touching.width, touching.height) > bestLength)
                    best = int(j), bestLength = std::max(touching.width, touching.height);
            }
            if (best < 0) {
                ++i;
                continue;
            }
            boxes[best] |= boxes[i];
            boxes.erase(boxes.begin() + i);
            i = 0;
        }
    }
    // A stamp's white margin and teeth may match a light ground: a stamp with no neighbour close
    // by grows over them. (Not on a page on a table, whose lit strips would be taken in.)
    if (!onPage && groundColour[0] > 120) {
        std::vector<cv::Rect> out = boxes;
        for (size_t i = 0; i < boxes.size(); ++i) {
            const int reach = std::max(boxes[i].width, boxes[i].height) / 10;
            const cv::Rect around(boxes[i].x - reach, boxes[i].y - reach, boxes[i].width + 2 * reach, boxes[i].height + 2 * reach);
            bool alone = true;
            for (size_t j = 0; j < boxes.size(); ++j)
                alone = alone && (j == i || (around & boxes[j]).empty());
            if (alone)
                out[i] = grown(smooth, boxes[i], 16);
        }
        boxes = out;
    }
    return boxes;
}

// The stamp over the centre of a picture framed loosely around one stamp on a dark card (a stock
// page), whatever its neighbours: they may be cut by the picture's edge, close by or touching, and
// the card may show in several shades (a black strip, a clear strip's gloss), so that no one ground
// colour holds. What holds is that the stamp's paper is lighter than the card around it: each of
// its four sides is the line, on its side of the centre, along which the picture steps from dark
// outside to light inside over most of the stamp's length. The bands compared lie past the teeth
// on either side; where a neighbour touches, its rows show no step, and the line is the one that
// steps along most rows and, among those, steps the most. A design's inner frame steps the other
// way (darker inside its light margin). Each side's rows are those between the other two sides,
// found in turn from the picture's middle third. Empty when a side has no such line along at least
// 40 % of its length, or when the box holds a plain dark row or column (a gap between stamps:
// a page, not one stamp).
cv::Rect stampOnCard(const cv::Mat &lab, const cv::Mat &fullBusy)
{
    // Sides a pixel or two off do not matter here: the lines are looked for at half the size.
    const double shrink = std::max(lab.cols, lab.rows) > 600 ? 0.5 : 1.0;
    cv::Mat light, busy;
    cv::extractChannel(lab, light, 0);
    cv::resize(light, light, cv::Size(), shrink, shrink, cv::INTER_AREA);
    if (std::min(light.cols, light.rows) < 40)
        return {};
    cv::resize(fullBusy, busy, light.size(), 0, 0, cv::INTER_NEAREST);
    cv::medianBlur(light, light, 3);
    const int side = std::max(light.cols, light.rows);
    const int gap = std::max(2, side / 120), width = std::max(3, side / 80), reach = gap + width;
    // The step at each pixel: the mean of the band after it minus that of the band before it.
    cv::Mat across = cv::Mat::zeros(light.size(), CV_32F), down = across.clone();
    {
        cv::Mat level, mean;
        light.convertTo(level, CV_32F);
        cv::blur(level, mean, cv::Size(width, 1), cv::Point(0, 0), cv::BORDER_REPLICATE);
        if (light.cols > 2 * reach)
            cv::subtract(mean.colRange(reach + gap, light.cols - reach + gap), mean.colRange(0, light.cols - 2 * reach),
                         across.colRange(reach, light.cols - reach));
        cv::blur(level, mean, cv::Size(1, width), cv::Point(0, 0), cv::BORDER_REPLICATE);
        if (light.rows > 2 * reach)
            cv::subtract(mean.rowRange(reach + gap, light.rows - reach + gap), mean.rowRange(0, light.rows - 2 * reach),
                         down.rowRange(reach, light.rows - reach));
    }
    // Where each pixel steps clearly, in each of the four directions, and by how much.
    constexpr float clearStep = 30;
    struct Steps
    {
        cv::Mat clear, strength;
    } steps[4];
    const cv::Mat oriented[4] = {across, -across, down, -down};
    for (int k = 0; k < 4; ++k) {
        steps[k].clear = oriented[k] > clearStep;
        steps[k].strength = cv::Mat::zeros(light.size(), CV_32F);
        oriented[k].copyTo(steps[k].strength, steps[k].clear);
        steps[k].clear /= 255;
    }
    // The best line among `from`..`to` (columns, or rows for the top and the bottom), counted over
    // `span` of the other direction: `direction` 0 left, 1 right, 2 top, 3 bottom.
    auto fit = [&](int direction, int from, int to, cv::Range span, double &clearest) {
        const bool vertical = direction >= 2;
        cv::Mat count, total;
        cv::reduce(vertical ? steps[direction].clear.colRange(span) : steps[direction].clear.rowRange(span), count, vertical ? 1 : 0,
                   cv::REDUCE_SUM, CV_32F);
        cv::reduce(vertical ? steps[direction].strength.colRange(span) : steps[direction].strength.rowRange(span), total,
                   vertical ? 1 : 0, cv::REDUCE_SUM, CV_32F);
        count = count.reshape(1, 1), total = total.reshape(1, 1);
        from = std::max(from, reach), to = std::min(to, count.cols - reach);
        clearest = 0;
        for (int i = from; i <= to; ++i)
            clearest = std::max(clearest, count.at<float>(i) / double(span.size()));
        int best = -1;
        double strongest = 0;
        for (int i = from; i <= to; ++i)
            if (const float n = count.at<float>(i); n > 0 && n / span.size() >= clearest - 0.1 && total.at<float>(i) / n > strongest)
                strongest = total.at<float>(i) / n, best = i;
        return best;
    };
    const int cx = light.cols / 2, cy = light.rows / 2;
    int l = cx - light.cols / 6, r = cx + light.cols / 6, t = cy - light.rows / 6, b = cy + light.rows / 6;
    double clear[4];
    for (int round = 0; round < 3; ++round) {
        // Rows and columns a little inside the sides found so far: a turned stamp's corners lie off them.
        const cv::Range rows(t + (b - t) / 10, b - (b - t) / 10), columns(l + (r - l) / 10, r - (r - l) / 10);
        const int left = fit(0, 0, cx - light.cols / 8, rows, clear[0]);
        const int right = fit(1, cx + light.cols / 8, light.cols, rows, clear[1]);
        const int top = fit(2, 0, cy - light.rows / 8, columns, clear[2]);
        const int bottom = fit(3, cy + light.rows / 8, light.rows, columns, clear[3]);
        if (std::min({left, right, top, bottom}) < 0 || right - left < 8 || bottom - top < 8)
            return {};
        l = left, r = right, t = top, b = bottom;
    }
    if (*std::min_element(clear, clear + 4) < 0.4)
        return {};
    // The card's lightness just outside the box; a row or column inside that is mostly plain and
    // as dark as the card is a gap between stamps.
    const cv::Rect all(cv::Point(), light.size()), box(l, t, r - l, b - t);
    cv::Mat ring = cv::Mat::zeros(light.size(), CV_8U);
    ring(cv::Rect(l - reach, t - reach, r - l + 2 * reach, b - t + 2 * reach) & all).setTo(255);
    ring(box).setTo(0);
    const double card = cv::mean(light, ring)[0];
    const cv::Rect inner = cv::Rect(l + reach, t + reach, r - l - 2 * reach, b - t - 2 * reach) & all;
    if (inner.empty())
        return {};
    const cv::Mat gapLike = (light(inner) < card + 20) & ~busy(inner);
    cv::Mat columnsGap, rowsGap;
    cv::reduce(gapLike, columnsGap, 0, cv::REDUCE_AVG, CV_32F);
    cv::reduce(gapLike, rowsGap, 1, cv::REDUCE_AVG, CV_32F);
    double mostColumn, mostRow;
    cv::minMaxLoc(columnsGap, nullptr, &mostColumn);
    cv::minMaxLoc(rowsGap, nullptr, &mostRow);
    if (std::max(mostColumn, mostRow) > 0.8 * 255)
        return {};
    return cv::Rect(cvRound(l / shrink), cvRound(t / shrink), cvRound((r - l) / shrink), cvRound((b - t) / shrink))
           & cv::Rect(cv::Point(), lab.size());
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
    // edge. Widened across, so that a line a photo shows at a slight slant still runs unbroken;
    // looked for on a copy squeezed along the line, which keeps a line a line at a quarter of the
    // cost.
    auto linesAlong = [&](bool vertical) {
        constexpr int squeeze = 4;
        cv::Mat wide, squeezed, lines;
        cv::dilate(edges, wide, cv::getStructuringElement(cv::MORPH_RECT, vertical ? cv::Size(5, 1) : cv::Size(1, 5)));
        const cv::Size size = vertical ? cv::Size(edges.cols, edges.rows / squeeze) : cv::Size(edges.cols / squeeze, edges.rows);
        cv::resize(wide, squeezed, size, 0, 0, cv::INTER_AREA);
        squeezed = squeezed > 0;
        const int length = (vertical ? size.height : size.width) * 6 / 10;
        cv::morphologyEx(squeezed, squeezed, cv::MORPH_OPEN,
                         cv::getStructuringElement(cv::MORPH_RECT, vertical ? cv::Size(1, length) : cv::Size(length, 1)));
        cv::resize(squeezed, lines, edges.size(), 0, 0, cv::INTER_NEAREST);
        return lines;
    };
    cv::Mat lines = linesAlong(true) | linesAlong(false);
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
    // Where the picture shows a plain ground, the regions that differ from it are the stamps,
    // margin and teeth included, and they replace what the edges found. A paper label differs too,
    // but is busy only where it is written on.
    const cv::Rect whole(cv::Point(), small.size());
    auto cut = [&](const cv::Rect &r) { return r.x <= 1 || r.y <= 1 || r.br().x >= small.cols - 1 || r.br().y >= small.rows - 1; };
    auto printed = [&](const cv::Rect &b) {
        const double busyness = cv::mean(busy(b))[0] / 255.0, colour = cv::mean(chroma(b))[0];
        // A printed stamp is busy somewhere, at least along its teeth and lettering; a flat patch
        // of colour on a plain ground (a drawing, a shape) is not, however colourful.
        return busyness > 0.1 && busyness + colour / 100.0 > 0.3;
    };
    std::vector<cv::Rect> grounded;
    for (const cv::Rect &b : onPlainGround(lab, busy, edges))
        if (printed(b))
            grounded.push_back(b);
    // A stamp framed loosely, its neighbours cut by the picture's edge: the border is no ground to
    // go by, but the card shows around the central stamp. A page shows several whole stamps and is
    // left as it is; the stamp over the centre, taking a good part of the picture, is looked for.
    const cv::Point middle(small.cols / 2, small.rows / 2);
    auto framedStamp = [&](const cv::Rect &b) {
        const double aspect = double(b.width) / b.height;
        return b.contains(middle) && !cut(b) && b.area() > 0.2 * whole.area() && b.area() < 0.8 * whole.area() && aspect > 0.4
               && aspect < 2.5 && printed(b);
    };
    cv::Rect framed;
    if (std::count_if(grounded.begin(), grounded.end(), [&](const cv::Rect &b) { return !cut(b); }) < 2
        && std::none_of(grounded.begin(), grounded.end(), framedStamp))
        for (const cv::Rect &b : onPlainGround(lab, busy, edges, true))
            if (framedStamp(b))
                framed = b;
    std::vector<cv::Rect> candidates = grounded;
    // Without a plain ground, the busy regions are the stamps.
    if (candidates.empty()) {
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
        for (const cv::Rect &b : boxes) {
            std::vector<cv::Rect> parts;
            split(edges, b, typicalArea, parts);
            for (const cv::Rect &part : parts)
                if (stampLike(part))
                    candidates.push_back(grown(lab, part));
        }
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

    // The stamp found around the centre goes first; what lies inside it are pieces of it.
    if (!framed.empty()) {
        candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                        [&](const cv::Rect &c) { return (c & framed).area() > 0.5 * c.area(); }),
                         candidates.end());
        candidates.insert(candidates.begin(), framed);
    }
    // One box over nearly all of the picture: the picture is the stamp. (Among others, such a box
    // is a page's outline around its stamps.)
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
    auto distance = [&](const cv::Rect &r) { return std::hypot(r.x + r.width / 2.0 - centre.x, r.y + r.height / 2.0 - centre.y); };
    std::stable_sort(candidates.begin(), candidates.end(), [&](const cv::Rect &a, const cv::Rect &b) {
        if (a == framed || b == framed)
            return a == framed && b != framed;
        if (cut(a) != cut(b))
            return !cut(a);
        return distance(a) < distance(b);
    });
    // A stamp framed loosely on a dark card, fitted by its sides: a first box inside it is a piece of
    // its design, and one cut by the picture's edge comes after a whole stamp.
    if (const cv::Rect onCard = stampOnCard(lab, busy); !onCard.empty() && onCard.area() > 0.15 * whole.area()
        && double(onCard.width) / onCard.height > 0.4 && double(onCard.width) / onCard.height < 2.5
        && (candidates.empty() || cut(candidates.front())
            || ((candidates.front() & onCard).area() > 0.8 * candidates.front().area() && candidates.front().area() < 0.9 * onCard.area()))) {
        candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                        [&](const cv::Rect &c) { return (c & onCard).area() > 0.5 * c.area(); }),
                         candidates.end());
        candidates.insert(candidates.begin(), onCard);
    }
    QList<QRect> found;
    for (const cv::Rect &c : candidates) {
        const QRect r(int(std::floor(c.x / scale)), int(std::floor(c.y / scale)), int(std::ceil(c.width / scale)),
                      int(std::ceil(c.height / scale)));
        found.append(r.intersected(picture.rect()));
    }
    return found;
}
