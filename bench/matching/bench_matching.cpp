// Speed of one stamp comparison and of its stages, the memory one comparison model holds, and the
// speed of our SURF on the reference pictures (tests/data/surf), beside OpenCV's own SURF when it is
// given. One thread throughout.
//
//     bench_matching [DATA_DIR]      (default: tests/data of the checkout; pictures in DATA_DIR/surf)
//     bench_matching --photos PICTURE_OR_FOLDER...   (SURF alone, on any pictures: photographs)
//
// QUILLET_OPENCV_SURF names OpenCV's SURF as a library with `int opencv_surf_detect(const unsigned
// char *grey, int width, int height, int stride)`, timed call by call alternating with ours in this
// process, or as a program `PROGRAM PICTURE REPEATS [DUMPFILE]` that reports its cpu_median_ms on
// stderr, run alternating with batches of ours; a program's dump is also checked against our output.
// The machine's speed drifts, so only figures taken side by side like this are compared.
#include "matching/colorvector.h"
#include "matching/normalisation.h"
#include "matching/simd.h"
#include "matching/stampgenerator.h"
#include "matching/stampmatcher.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <opencv2/calib3d.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <malloc.h>
#include <sstream>
#include <unistd.h>
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

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// OpenCV's SURF, as a library in this process or as a program.
struct OpenCvSurf
{
    explicit OpenCvSurf(const std::string &path) : path(path)
    {
        if ((library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)))
            detect = reinterpret_cast<Detect>(dlsym(library, "opencv_surf_detect"));
        else
            program = access(path.c_str(), X_OK) == 0;
    }
    ~OpenCvSurf()
    {
        if (library)
            dlclose(library);
    }
    bool usable() const { return detect || program; }
    bool inProcess() const { return detect != nullptr; }
    int keypoints() const { return count; }

    // Thread CPU ms of one call (library) or the program's own median of `repeats` calls.
    double run(const cv::Mat &grey, const std::string &picture, int repeats = 5)
    {
        if (detect) {
            const double start = threadMs();
            count = detect(grey.ptr(), grey.cols, grey.rows, int(grey.step));
            return threadMs() - start;
        }
        const std::string out = capture("'" + path + "' '" + picture + "' " + std::to_string(repeats));
        const size_t at = out.find("cpu_median_ms ");
        const size_t kp = out.find("keypoints ");
        if (kp != std::string::npos)
            count = std::atoi(out.c_str() + kp + 10);
        return at == std::string::npos ? NAN : std::atof(out.c_str() + at + 14);
    }

    // For a program: whether its dump of `picture` is our output (same keypoints in the same order,
    // descriptors within 1e-5); empty for a library, which gives counts only.
    std::string sameOutput(const std::string &picture, const std::vector<cv::KeyPoint> &keypoints, const cv::Mat &descriptors)
    {
        if (!program)
            return {};
        char dump[] = "/tmp/quillet-opencv-surf-XXXXXX";
        const int fd = mkstemp(dump);
        if (fd < 0)
            return "no dump: cannot make a temporary file";
        close(fd);
        capture("'" + path + "' '" + picture + "' 1 '" + dump + "'");
        std::ifstream in(dump);
        std::remove(dump);
        size_t n = 0;
        in >> n;
        if (!in || n != keypoints.size())
            return "output differs: OpenCV has " + std::to_string(n) + " keypoints";
        double worstDescriptor = 0;
        for (size_t k = 0; k < n; ++k) {
            double v[7];
            for (double &x : v)
                in >> x;
            const cv::KeyPoint &p = keypoints[k];
            const double angle = std::fmod(std::fabs(v[3] - p.angle), 360.0);
            // The dump prints six significant digits.
            auto near = [](double a, double b) { return std::fabs(a - b) <= 1e-5 * std::max(1.0, std::fabs(a)); };
            if (!near(v[0], p.pt.x) || !near(v[1], p.pt.y) || !near(v[2], p.size) ||
                std::min(angle, 360.0 - angle) > 1e-5 * 360 || !near(v[4], p.response) || int(v[5]) != p.octave ||
                int(v[6]) != p.class_id)
                return "output differs at keypoint " + std::to_string(k);
            for (int i = 0; i < descriptors.cols; ++i) {
                double d = 0;
                in >> d;
                worstDescriptor = std::max(worstDescriptor, std::fabs(d - descriptors.at<float>(int(k), i)));
            }
        }
        if (!in)
            return "output differs: unreadable dump";
        std::ostringstream text;
        text << "output: the same " << n << " keypoints in the same order, largest descriptor difference "
             << worstDescriptor << (worstDescriptor <= 1e-5 ? "" : " (over 1e-5)");
        return text.str();
    }

private:
    using Detect = int (*)(const unsigned char *, int, int, int);
    static std::string capture(const std::string &command)
    {
        std::string out;
        if (FILE *pipe = popen((command + " 2>&1").c_str(), "r")) {
            char buffer[512];
            while (size_t got = fread(buffer, 1, sizeof buffer, pipe))
                out.append(buffer, got);
            pclose(pipe);
        }
        return out;
    }
    std::string path;
    void *library = nullptr;
    Detect detect = nullptr;
    bool program = false;
    int count = -1;
};

struct Alternated
{
    double ours = 0, theirs = 0, ratio = 0, lowest = 0, highest = 0;
    int pairs = 0;
};

// Ours and theirs in pairs, the order swapped every pair, until `budgetMs` of wall time is spent (at
// least 15 pairs, at most 60). `theirs` reports its own milliseconds; `batch` calls of ours face
// each of its reports (their median).
Alternated alternate(const std::function<void()> &ours, const std::function<double()> &theirs, int batch,
                     double budgetMs = 6000)
{
    ours();
    theirs();
    std::vector<double> a, b, r;
    QElapsedTimer total;
    total.start();
    auto timeOurs = [&] {
        std::vector<double> t;
        for (int k = 0; k < batch; ++k) {
            const double start = threadMs();
            ours();
            t.push_back(threadMs() - start);
        }
        return median(t);
    };
    while (a.size() < 15 || (total.elapsed() < budgetMs && a.size() < 60)) {
        double mine = 0, other = 0;
        if (a.size() % 2) {
            mine = timeOurs();
            other = theirs();
        } else {
            other = theirs();
            mine = timeOurs();
        }
        a.push_back(mine);
        b.push_back(other);
        r.push_back(other / mine);
    }
    Alternated result;
    result.ours = median(a);
    result.theirs = median(b);
    result.ratio = median(r);
    result.lowest = *std::min_element(r.begin(), r.end());
    result.highest = *std::max_element(r.begin(), r.end());
    result.pairs = int(a.size());
    return result;
}

// Where one comparison spends its time, stage by stage, as CStampMatcher runs them (median ms of
// thread CPU time each). The candidate arrives as JPEG bytes, as a download does.
void stageTimes(const cv::Mat &referenceStamp, const cv::Mat &candidate, const char *label)
{
    CStampMatcher matcher;
    matcher.setReference(CStampGenerator::toImage(referenceStamp));
    std::vector<uchar> bytes;
    cv::imencode(".jpg", candidate, bytes, {cv::IMWRITE_JPEG_QUALITY, 90});
    const double budget = 1500;

    QImage picture;
    const double decodeMs = medianMs([&] { picture = QImage::fromData(bytes.data(), int(bytes.size()), "JPG"); }, budget);
    cv::Mat work;
    const double scaleMs = medianMs([&] {
        const cv::Mat colour = toColorImage(picture);
        const double k = 256.0 / std::min(colour.cols, colour.rows);
        cv::resize(toComparisonGrey(colour), work, cv::Size(int(colour.cols * k), int(k * colour.rows)), 0, 0, cv::INTER_LINEAR);
    }, budget);
    CSurf surf;
    std::vector<cv::KeyPoint> keypoints;
    cv::Mat descriptors;
    const double surfMs = medianMs([&] { surf.detectAndCompute(work, keypoints, descriptors); }, budget);
    std::vector<std::pair<int, int>> pairs;
    const double pairsMs = medianMs([&] {
        pairs = CStampMatcher::collectPairs(matcher.referenceKeypoints(), matcher.referenceDescriptors(), keypoints, descriptors);
    }, budget);
    bool accepted = matcher.compareImage(picture);
    const double totalMs = medianMs([&] { accepted = matcher.compareImage(picture); }, budget);
    std::printf("  %-30s decode %5.2f  scale %5.2f  SURF %5.2f  pairs %5.2f", label, decodeMs, scaleMs, surfMs, pairsMs);
    if (pairs.size() >= 4) {
        std::vector<cv::Point2f> from, to;
        for (const auto &[i, j] : pairs) {
            from.push_back(matcher.referenceKeypoints()[size_t(i)].pt);
            to.push_back(keypoints[size_t(j)].pt);
        }
        const double homographyMs = medianMs([&] { cv::findHomography(from, to, cv::RANSAC, 5.0); }, budget);
        const float W = float(matcher.referenceImage().cols), H = float(matcher.referenceImage().rows);
        const std::array<cv::Point2f, 4> corners = {cv::Point2f(0, 0), cv::Point2f(W, 0), cv::Point2f(W, H), cv::Point2f(0, H)};
        std::array<cv::Point, 4> at;
        CStampMatcher locator;
        if (locator.locateReference(matcher.referenceKeypoints(), matcher.referenceDescriptors(), keypoints, descriptors, corners, at)) {
            const std::array<cv::Point2f, 4> outline = {cv::Point2f(at[0]), cv::Point2f(at[1]), cv::Point2f(at[2]), cv::Point2f(at[3])};
            bool upright = false;
            const double outlineMs = medianMs([&] { upright = CStampMatcher::outlineIsUpright(outline); }, budget);
            std::printf("  homography %5.2f  outline %5.3f", homographyMs, outlineMs);
            if (upright) {
                CColorVector referenceGrid;
                referenceGrid.buildGradientGrid(matcher.referenceImage());
                const cv::Point2f src[4] = {outline[0], outline[1], outline[3], outline[2]};
                const cv::Point2f dst[4] = {{0, 0}, {W - 1, 0}, {0, H - 1}, {W - 1, H - 1}};
                const double gridMs = medianMs([&] {
                    cv::Mat transform, warped;
                    cv::getPerspectiveTransform(src, dst).convertTo(transform, CV_32F);
                    cv::warpPerspective(work, warped, transform, matcher.referenceImage().size(), cv::INTER_LINEAR,
                                        cv::BORDER_CONSTANT, cv::Scalar(0));
                    CColorVector grid;
                    grid.buildGradientGrid(warped);
                    int agreeing = 0;
                    CColorVector::compareGradientGrids(referenceGrid, grid, &agreeing);
                }, budget);
                std::printf("  grid %5.2f", gridMs);
            }
        }
    }
    std::printf("  | compareImage %5.2f (%s)\n", totalMs, accepted ? "match" : CStampMatcher::stageName(matcher.lastStage()));
}

// The pictures `path` names: itself, or a folder's JPEG and PNG files in name order.
std::vector<std::string> picturesAt(const std::string &path)
{
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_directory(path, error))
        return {path};
    std::vector<std::string> out;
    for (const fs::directory_entry &entry : fs::directory_iterator(path, error)) {
        std::string extension = entry.path().extension().string();
        std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        if (entry.is_regular_file(error) && (extension == ".jpg" || extension == ".jpeg" || extension == ".png"))
            out.push_back(entry.path().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Our SURF on each picture (read as grey), beside OpenCV's when QUILLET_OPENCV_SURF names it; the
// ratio per picture and over them all.
int timeSurf(const std::vector<std::string> &pictures)
{
    const char *opencv = std::getenv("QUILLET_OPENCV_SURF");
    std::printf("\nSURF, detect and describe, one thread, vector instructions: %s (median ms of thread CPU time)\n",
                CSimd::name(CSimd::level()));
    std::unique_ptr<OpenCvSurf> reference;
    if (opencv && *opencv) {
        reference = std::make_unique<OpenCvSurf>(opencv);
        if (!reference->usable()) {
            std::printf("QUILLET_OPENCV_SURF=%s is neither a library with opencv_surf_detect nor a program\n", opencv);
            return 1;
        }
        std::printf("beside OpenCV's SURF (%s), alternating %s, order swapped every pair\n", opencv,
                    reference->inProcess() ? "call by call" : "runs of 5 calls (the program's own median)");
    }
    std::vector<double> ratios;
    for (const std::string &path : pictures) {
        const std::string name = std::filesystem::path(path).stem().string();
        const cv::Mat grey = cv::imread(path, cv::IMREAD_GRAYSCALE);
        if (grey.empty()) {
            std::printf("%-26s unreadable: %s\n", name.c_str(), path.c_str());
            continue;
        }
        const std::string size = std::to_string(grey.cols) + "x" + std::to_string(grey.rows);
        CSurf surf;
        std::vector<cv::KeyPoint> keypoints;
        cv::Mat descriptors;
        auto ours = [&] { surf.detectAndCompute(grey, keypoints, descriptors); };
        if (!reference) {
            const double ms = medianMs(ours);
            std::printf("%-26s %9s  keypoints %5zu  ours %8.2f ms\n", name.c_str(), size.c_str(), keypoints.size(), ms);
            continue;
        }
        const Alternated t = reference->inProcess() ? alternate(ours, [&] { return reference->run(grey, path, 1); }, 1)
                                                    : alternate(ours, [&] { return reference->run(grey, path, 5); }, 5);
        ratios.push_back(t.ratio);
        std::printf("%-26s %9s  keypoints %5zu (OpenCV %5d)  ours %8.2f ms  OpenCV %8.2f ms  ratio %5.2fx  (%d pairs, ratio "
                    "of pairs %.2f..%.2f)\n",
                    name.c_str(), size.c_str(), keypoints.size(), reference->keypoints(), t.ours, t.theirs, t.ratio, t.pairs,
                    t.lowest, t.highest);
        const std::string same = reference->sameOutput(path, keypoints, descriptors);
        if (!same.empty())
            std::printf("%-26s %s\n", "", same.c_str());
    }
    if (!ratios.empty()) {
        std::sort(ratios.begin(), ratios.end());
        std::printf("ratio over the pictures: lowest %.2fx, median %.2fx\n", ratios.front(), median(ratios));
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication::setAttribute(Qt::AA_Use96Dpi);
    // One thread: OpenCV's own parallel loops (resize, warps) stay on this one too.
    cv::setNumThreads(0);
    if (argc > 1 && std::string(argv[1]) == "--photos") {
        std::vector<std::string> pictures;
        for (int k = 2; k < argc; ++k)
            for (std::string &path : picturesAt(argv[k]))
                pictures.push_back(std::move(path));
        if (pictures.empty()) {
            std::fprintf(stderr, "usage: bench_matching --photos PICTURE_OR_FOLDER...\n");
            return 2;
        }
        return timeSurf(pictures);
    }
    const std::string shared = argc > 1 ? argv[1] : QUILLET_TEST_DATA_DIR;

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
    std::printf("where one comparison spends its time (median ms of thread CPU time)\n");
    stageTimes(stamp, CStampGenerator::jpeg(CStampGenerator::rotated(stamp, 8), 60), "same stamp, turned 8 degrees");
    stageTimes(stamp, CStampGenerator::stamp(4, cv::Size(200, 256)), "different stamp");

    std::vector<std::string> pictures;
    for (const char *name : {"a_stamp_128x180", "b_stamp_x2_rot10_400x460", "c_texture_512x512", "d_album_1024x768"})
        pictures.push_back(shared + "/surf/" + name + ".png");
    return timeSurf(pictures);
}
