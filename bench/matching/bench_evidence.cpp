// How well the evidence of a match places the user's stamp in the candidate, on real pictures: each
// picture of a folder is the user's framed stamp, and a turned and scaled copy of it (a known
// transform) the candidate. Prints, per picture and transform, the comparison's answer, the pairs and
// inliers, and how far the outline's corners lie from where the transform puts them, in candidate
// pixels and in percent of the outline's diagonal; then the median and the largest error.
//
//     build/bin/bench_evidence FOLDER
#include "matching/stampgenerator.h"
#include "matching/stampmatcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QTextStream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    if (argc < 2) {
        QTextStream(stderr) << "usage: bench_evidence FOLDER\n";
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    const QStringList names = folder.entryList({"*.jpg", "*.jpeg", "*.png"}, QDir::Files, QDir::Name);
    const std::pair<double, double> transforms[] = {{8.0, 0.8}, {-12.0, 1.3}, {3.0, 0.5}};
    std::vector<double> percents;
    int accepted = 0, tried = 0;
    out << "picture\tdegrees\tfactor\tanswer\tpairs\tinliers\tcorner px\tcorner %\n";
    for (const QString &name : names) {
        const cv::Mat picture = cv::imread(folder.filePath(name).toStdString(), cv::IMREAD_COLOR);
        if (picture.empty())
            continue;
        CStampMatcher matcher;
        matcher.setReference(CStampGenerator::toImage(picture));
        for (const auto &[degrees, factor] : transforms) {
            const cv::Mat turned = CStampGenerator::rotated(picture, degrees);
            const cv::Mat candidate = CStampGenerator::scaled(turned, factor);
            ++tried;
            const bool same = matcher.compareImage(CStampGenerator::toImage(candidate));
            out << name << '\t' << degrees << '\t' << factor << '\t' << (same ? "match" : CStampMatcher::stageName(matcher.lastStage()));
            if (!same) {
                out << "\n";
                continue;
            }
            ++accepted;
            // The generator's transform, as in the matcher's tests.
            const cv::Point2f centre((picture.cols - 1) / 2.0f, (picture.rows - 1) / 2.0f);
            cv::Mat_<double> turn = cv::getRotationMatrix2D(centre, degrees, 1.0);
            turn(0, 2) += (turned.cols - 1) / 2.0 - centre.x;
            turn(1, 2) += (turned.rows - 1) / 2.0 - centre.y;
            const double sx = double(candidate.cols) / turned.cols, sy = double(candidate.rows) / turned.rows;
            const CMatchEvidence &evidence = matcher.evidence();
            const QRectF c = evidence.compared;
            const QPointF corners[4] = {c.topLeft(), c.topRight(), c.bottomRight(), c.bottomLeft()};
            double worst = 0;
            for (int k = 0; k < 4; ++k) {
                const QPointF p = corners[k];
                const QPointF known((turn(0, 0) * p.x() + turn(0, 1) * p.y() + turn(0, 2)) * sx,
                                    (turn(1, 0) * p.x() + turn(1, 1) * p.y() + turn(1, 2)) * sy);
                const QPointF miss = evidence.outline.at(k) - known;
                worst = std::max(worst, std::hypot(miss.x(), miss.y()));
            }
            const double diagonal = std::hypot(c.width() * factor, c.height() * factor);
            percents.push_back(100.0 * worst / diagonal);
            out << '\t' << evidence.pairs << '\t' << evidence.inliers << '\t' << QString::number(worst, 'f', 1) << '\t'
                << QString::number(percents.back(), 'f', 2) << "\n";
        }
    }
    std::sort(percents.begin(), percents.end());
    out << "accepted " << accepted << " of " << tried;
    if (!percents.empty())
        out << "; worst corner, percent of the diagonal: median " << QString::number(percents[percents.size() / 2], 'f', 2)
            << ", largest " << QString::number(percents.back(), 'f', 2);
    out << "\n";
    return 0;
}
