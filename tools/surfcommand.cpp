// quillet-tool surf PICTURE: the SURF keypoints of a picture read as grey, strongest first, one line
// each: x y size angle response octave laplacian d0 ... d63, after a line with their count.
#include "toolcommand.h"

#include "matching/surf.h"

#include <QFile>
#include <QTextStream>
#include <opencv2/imgcodecs.hpp>

#include <cstdio>

static ToolCommand cmd("surf", "surf PICTURE", [](const QStringList &args) -> int {
    QTextStream err(stderr);
    if (args.size() != 1) {
        err << "usage: quillet-tool surf PICTURE\n";
        return 2;
    }
    // Read through Qt's file layer so that any file name works, then decode with OpenCV as grey.
    QFile file(args.first());
    if (!file.open(QIODevice::ReadOnly)) {
        err << "surf: cannot read \"" << args.first() << "\": " << file.errorString() << "\n";
        return 1;
    }
    const QByteArray bytes = file.readAll();
    cv::Mat grey;
    if (!bytes.isEmpty())
        grey = cv::imdecode(cv::Mat(1, int(bytes.size()), CV_8U, const_cast<char *>(bytes.constData())), cv::IMREAD_GRAYSCALE);
    if (grey.empty()) {
        err << "surf: \"" << args.first() << "\" is not a picture this tool can read\n";
        return 1;
    }
    CSurf surf;
    std::vector<cv::KeyPoint> keypoints;
    cv::Mat descriptors;
    surf.detectAndCompute(grey, keypoints, descriptors);

    std::printf("%zu\n", keypoints.size());
    for (size_t k = 0; k < keypoints.size(); ++k) {
        const cv::KeyPoint &kp = keypoints[k];
        std::printf("%g %g %g %g %g %d %d", kp.pt.x, kp.pt.y, kp.size, kp.angle, kp.response, kp.octave, kp.class_id);
        const float *d = descriptors.ptr<float>(int(k));
        for (int i = 0; i < CSurf::descriptorSize; ++i)
            std::printf(" %g", d[i]);
        std::printf("\n");
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
});
