// Speed of our SURF on the reference pictures (tests/data/surf) beside OpenCV's medians, speed of one stamp
// comparison, and the memory one comparison model holds. One thread throughout.
//
//     bench_matching [DATA_DIR]      (default: tests/data of the checkout; pictures in DATA_DIR/surf)
#include "matching/stampgenerator.h"
#include "matching/stampmatcher.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <ctime>
#include <malloc.h>
#include <sys/resource.h>
#include <memory>
#include <string>
#include <vector>

namespace {

// CPU time of this thread: the machine is shared, and waiting for a core is not our cost.
double threadMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// Median thread-CPU milliseconds of `run`, repeated until `budgetMs` of wall time is spent (at
// least `minimum` times).
double medianMs(const std::function<void()> &run, double budgetMs = 3000, int minimum = 9)
{
    run(); // warm caches and lazily built tables
    std::vector<double> times;
    QElapsedTimer total;
    total.start();
    while (int(times.size()) < minimum || (total.elapsed() < budgetMs && times.size() < 1000)) {
        const double start = threadMs();
        run();
        times.push_back(threadMs() - start);
    }
    std::nth_element(times.begin(), times.begin() + long(times.size() / 2), times.end());
    return times[times.size() / 2];
}

long peakRssKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

size_t heapInUse()
{
    malloc_trim(0);
    return mallinfo2().uordblks;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication::setAttribute(Qt::AA_Use96Dpi);
    const std::string shared = argc > 1 ? argv[1] : QUILLET_TEST_DATA_DIR;
    // One thread: OpenCV's own parallel loops (resize, warps) stay on this one too.
    cv::setNumThreads(0);

    // The comparison as a worker runs it: a 256-pixel candidate against a 128-pixel reference.
    const cv::Mat stamp = CStampGenerator::stamp(3, cv::Size(200, 256));
    CStampMatcher matcher;
    matcher.setReference(CStampGenerator::toImage(stamp));
    const QImage same = CStampGenerator::toImage(CStampGenerator::jpeg(CStampGenerator::rotated(stamp, 8), 60));
    const QImage other = CStampGenerator::toImage(CStampGenerator::stamp(4, cv::Size(200, 256)));
    std::printf("compareImage, reference %dx%d (%zu keypoints), candidates scaled to a 256-pixel side (median ms of thread CPU time)\n",
                matcher.referenceImage().cols, matcher.referenceImage().rows, matcher.referenceKeypoints().size());
    // Peak resident memory that one comparison adds on top of the model (the first run touches all
    // of its work buffers; measured before anything else has grown the process).
    const long rssBefore = peakRssKb();
    bool accepted = matcher.compareImage(same);
    const long rssAfter = peakRssKb();
    const double sameMs = medianMs([&] { accepted = matcher.compareImage(same); });
    std::printf("  same stamp, turned 8 degrees: %6.2f ms (%s, %d cells)\n", sameMs, accepted ? "match" : "no match",
                matcher.agreeCount());
    const double otherMs = medianMs([&] { accepted = matcher.compareImage(other); });
    std::printf("  different stamp:              %6.2f ms (%s at %s)\n", otherMs, accepted ? "match" : "no match",
                CStampMatcher::stageName(matcher.lastStage()));

    // What one model holds between comparisons; a search keeps 32 of them.
    const size_t before = heapInUse();
    auto model = std::make_unique<CStampMatcher>();
    model->setReference(CStampGenerator::toImage(stamp));
    const size_t after = heapInUse();
    std::printf("\nmemory of one CStampMatcher with its reference (%zu keypoints): %zu bytes of data, %zu bytes of heap"
                " (object itself %zu bytes); 32 models: %.2f MB\n",
                model->referenceKeypoints().size(), model->memoryBytes(), after - before, sizeof(CStampMatcher),
                32.0 * double(after - before + sizeof(CStampMatcher)) / (1024.0 * 1024.0));
    std::printf("work memory of one comparison (peak resident growth): about %ld KB\n\n", rssAfter - rssBefore);
    struct Picture
    {
        const char *name;
        double openCvMs;
    };
    const Picture pictures[] = {{"a_stamp_128x180", 8.9}, {"b_stamp_x2_rot10_400x460", 105},
                                {"c_texture_512x512", 101}, {"d_album_1024x768", 499}};
    std::printf("SURF, detect and describe, one thread (median ms of thread CPU time)\n");
    std::printf("%-28s %9s %9s %11s %8s\n", "picture", "keypoints", "ours", "OpenCV", "speed-up");
    for (const Picture &p : pictures) {
        const cv::Mat grey = cv::imread(shared + "/surf/" + p.name + ".png", cv::IMREAD_GRAYSCALE);
        if (grey.empty()) {
            std::printf("%-28s missing under %s/surf\n", p.name, shared.c_str());
            continue;
        }
        CSurf surf;
        std::vector<cv::KeyPoint> keypoints;
        cv::Mat descriptors;
        const double ms = medianMs([&] { surf.detectAndCompute(grey, keypoints, descriptors); });
        std::printf("%-28s %9zu %9.2f %11.1f %7.2fx\n", p.name, keypoints.size(), ms, p.openCvMs, p.openCvMs / ms);
    }

    return 0;
}
