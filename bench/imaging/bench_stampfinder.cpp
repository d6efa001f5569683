// bench_stampfinder [ALBUM_DIR] [--draw DIR] [--misses] [--aside]: how well CStampFinder finds stamps, and how fast.
//  - ALBUM_DIR: photos (*.jpg) of album pages, each with a YOLO box file beside it (NAME.txt: class,
//    centre x, centre y, width, height as fractions of the upright picture); also cut-outs of single
//    stamps from them with a loose margin.
//  - generated pages: dark, light and table, with apart, touching, overlapping and turned stamps and labels.
//  - generated single stamps with a loose frame.
// Found: a true box matched one to one by a found box at IoU >= 0.5 (and >= 0.8); precision: found
// boxes that match a true box at IoU >= 0.5. --draw writes reduced pictures with the true boxes in
// green and the found ones in red (the first one thicker); --misses lists the misses. --aside measures
// the generated pictures kept aside from tuning (other seeds) in place of the usual ones.
#include "imaging/stampfinder.h"
#include "matching/albumpagegenerator.h"
#include "matching/stampgenerator.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImageReader>
#include <QTextStream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>

namespace {

struct Tally
{
    int truth = 0, found50 = 0, found80 = 0, boxes = 0, correct = 0, labelsTaken = 0;
    double worstMs = 0;
    void add(const QList<QRect> &truthBoxes, const QList<QRect> &found, const QList<QRect> &labels = {})
    {
        truth += truthBoxes.size();
        boxes += found.size();
        for (double threshold : {0.5, 0.8}) {
            // Greedy one-to-one matching, best overlaps first.
            QList<bool> used(found.size(), false);
            int matched = 0;
            for (const QRect &t : truthBoxes) {
                int best = -1;
                double bestIou = threshold;
                for (int k = 0; k < found.size(); ++k)
                    if (!used[k] && CStampFinder::overlap(t, found[k]) >= bestIou)
                        bestIou = CStampFinder::overlap(t, found[k]), best = k;
                if (best >= 0)
                    used[best] = true, ++matched;
            }
            (threshold == 0.5 ? found50 : found80) += matched;
            if (threshold == 0.5)
                correct += matched;
        }
        for (const QRect &l : labels)
            for (const QRect &f : found)
                if (CStampFinder::overlap(l, f) >= 0.3 || l.intersected(f) == l)
                    ++labelsTaken;
    }
    void print(const char *name) const
    {
        std::printf("%-34s %5d %7.1f %% %7.1f %% %9.1f %% %6d\n", name, truth, 100.0 * found50 / std::max(1, truth),
                    100.0 * found80 / std::max(1, truth), 100.0 * correct / std::max(1, boxes), labelsTaken);
    }
};

QList<QRect> toQt(const std::vector<cv::Rect> &boxes)
{
    QList<QRect> out;
    for (const cv::Rect &r : boxes)
        out.append(QRect(r.x, r.y, r.width, r.height));
    return out;
}

void draw(const QString &dir, const QString &name, const QImage &picture, const QList<QRect> &truth, const QList<QRect> &found)
{
    if (dir.isEmpty())
        return;
    const double f = std::min(1.0, 900.0 / std::max(picture.width(), picture.height()));
    QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    cv::Mat m(rgb.height(), rgb.width(), CV_8UC3, rgb.bits(), rgb.bytesPerLine());
    cv::Mat small;
    cv::resize(m, small, cv::Size(), f, f, cv::INTER_AREA);
    cv::cvtColor(small, small, cv::COLOR_RGB2BGR);
    auto scaled = [f](const QRect &r) { return cv::Rect(int(r.x() * f), int(r.y() * f), int(r.width() * f), int(r.height() * f)); };
    for (const QRect &t : truth)
        cv::rectangle(small, scaled(t), cv::Scalar(0, 255, 0), 1);
    for (int k = 0; k < found.size(); ++k)
        cv::rectangle(small, scaled(found[k]), cv::Scalar(0, 0, 255), k == 0 ? 3 : 1);
    cv::imwrite((dir + "/" + name + ".png").toStdString(), small);
}

// Prints each true box that no found box matches at IoU 0.8 (with its best IoU), and each found box
// that matches no true box at IoU 0.5: where to look when a figure drops.
void listMisses(const QString &name, const QList<QRect> &truth, const QList<QRect> &found)
{
    auto best = [](const QRect &r, const QList<QRect> &others) {
        double b = 0;
        for (const QRect &o : others)
            b = std::max(b, CStampFinder::overlap(r, o));
        return b;
    };
    for (const QRect &t : truth)
        if (const double iou = best(t, found); iou < 0.8)
            std::printf("  %s: stamp %d %d %d %d best IoU %.2f\n", qPrintable(name), t.x(), t.y(), t.width(), t.height(), iou);
    for (const QRect &f : found)
        if (const double iou = best(f, truth); iou < 0.5)
            std::printf("  %s: found %d %d %d %d, no stamp (IoU %.2f)\n", qPrintable(name), f.x(), f.y(), f.width(), f.height(), iou);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString drawDir;
    const bool verbose = args.removeAll("--misses") > 0;
    const bool aside = args.removeAll("--aside") > 0;
    const int firstPage = aside ? 5 : 1, firstSingle = aside ? 61 : 1;
    if (const int d = args.indexOf("--draw"); d >= 0 && d + 1 < args.size()) {
        drawDir = args[d + 1];
        args.remove(d, 2);
        QDir().mkpath(drawDir);
    }
    std::printf("%-34s %5s %9s %9s %11s %6s\n", "pictures", "stamps", "IoU 0.5", "IoU 0.8", "precision", "labels");

    if (!args.isEmpty()) {
        Tally pages, singles;
        QList<double> times;
        const QDir dir(args.first());
        for (const QString &file : dir.entryList({"*.jpg", "*.jpeg", "*.JPG"}, QDir::Files, QDir::Name)) {
            QImageReader reader(dir.filePath(file));
            reader.setAutoTransform(true);
            const QImage picture = reader.read();
            QFile boxFile(dir.filePath(QFileInfo(file).completeBaseName() + ".txt"));
            if (picture.isNull() || !boxFile.open(QIODevice::ReadOnly))
                continue;
            QList<QRect> truth;
            for (const QByteArray &line : boxFile.readAll().split('\n')) {
                const QList<QByteArray> v = line.simplified().split(' ');
                if (v.size() != 5)
                    continue;
                const double cx = v[1].toDouble() * picture.width(), cy = v[2].toDouble() * picture.height();
                const double w = v[3].toDouble() * picture.width(), h = v[4].toDouble() * picture.height();
                truth.append(QRect(int(cx - w / 2), int(cy - h / 2), int(w), int(h)));
            }
            QList<QRect> found;
            for (int run = 0; run < 5; ++run) {
                QElapsedTimer timer;
                timer.start();
                found = CStampFinder::findStamps(picture);
                times.append(timer.nsecsElapsed() / 1e6);
            }
            pages.add(truth, found);
            Tally one;
            one.add(truth, found);
            one.print(qPrintable("  " + file));
            if (verbose)
                listMisses(file, truth, found);
            draw(drawDir, QFileInfo(file).completeBaseName(), picture, truth, found);
            // Each stamp cut out with a loose margin of 15 to 40 % of its size on each side.
            Tally cutOut;
            for (int k = 0; k < truth.size(); ++k) {
                const QRect t = truth[k];
                const double margin = 0.15 + 0.25 * ((k * 7) % 10) / 9.0;
                const QRect cut = t.adjusted(-int(t.width() * margin), -int(t.height() * margin), int(t.width() * margin),
                                             int(t.height() * margin)).intersected(picture.rect());
                const QList<QRect> f = CStampFinder::findStamps(picture.copy(cut));
                singles.add({t.translated(-cut.topLeft())}, f.mid(0, 1));
                cutOut.add({t.translated(-cut.topLeft())}, f.mid(0, 1));
                if (verbose)
                    listMisses(QString("%1 cut %2").arg(file).arg(k), {t.translated(-cut.topLeft())}, f.mid(0, 1));
                draw(drawDir, QFileInfo(file).completeBaseName() + QString("_cut%1").arg(k), picture.copy(cut),
                     {t.translated(-cut.topLeft())}, f);
            }
            cutOut.print(qPrintable("  " + file + " cut out (1st)"));
        }
        pages.print("real album pages");
        singles.print("real stamps cut out loosely (1st)");
        std::sort(times.begin(), times.end());
        if (!times.isEmpty())
            std::printf("time per real 12-MP photo: median %.0f ms, slowest %.0f ms\n", times[times.size() / 2], times.last());
    }

    const struct { const char *name; CAlbumPageGenerator::Background background; bool touching, overlapping; double turn; bool labels, onTable; } kinds[] = {
        {"dark, apart, labels", CAlbumPageGenerator::DarkStockPage, false, false, 0, true, false},
        {"dark, touching", CAlbumPageGenerator::DarkStockPage, true, false, 0, false, false},
        {"dark, overlapping, turned 3", CAlbumPageGenerator::DarkStockPage, false, true, 3, false, false},
        {"light, apart, turned 8, labels", CAlbumPageGenerator::LightAlbumPage, false, false, 8, true, false},
        {"light, touching", CAlbumPageGenerator::LightAlbumPage, true, false, 0, false, false},
        {"table, apart, turned 5", CAlbumPageGenerator::Table, false, false, 5, false, false},
        {"table, touching", CAlbumPageGenerator::Table, true, false, 0, false, false},
        {"dark on a table, turned 3, labels", CAlbumPageGenerator::DarkStockPage, false, false, 3, true, true},
    };
    Tally all;
    for (const auto &kind : kinds) {
        Tally t;
        for (int seed = firstPage; seed < firstPage + 4; ++seed) {
            CAlbumPageGenerator::Options o;
            o.seed = seed;
            o.background = kind.background;
            o.touching = kind.touching;
            o.overlapping = kind.overlapping;
            o.maxTurn = kind.turn;
            o.labels = kind.labels;
            o.onTable = kind.onTable;
            o.rows = 2 + seed % 2;
            o.columns = 3 + seed % 3;
            const CAlbumPageGenerator::Page page = CAlbumPageGenerator::page(o);
            const QImage picture = CStampGenerator::toImage(page.picture);
            const QList<QRect> found = CStampFinder::findStamps(picture);
            t.add(toQt(page.stamps), found, toQt(page.labels));
            if (verbose)
                listMisses(QString("%1 seed %2").arg(kind.name).arg(seed), toQt(page.stamps), found);
            all.add(toQt(page.stamps), found, toQt(page.labels));
            if (seed == firstPage && !drawDir.isEmpty()) {
                draw(drawDir, QString("gen_%1").arg(&kind - kinds), picture, toQt(page.stamps), found);
                cv::imwrite(QString("%1/gen_%2_picture.png").arg(drawDir).arg(&kind - kinds).toStdString(), page.picture);
            }
        }
        t.print(kind.name);
    }
    all.print("all generated pages");

    Tally singles;
    for (int seed = firstSingle; seed < firstSingle + 60; ++seed) {
        const auto background = CAlbumPageGenerator::Background(seed % 3);
        const CAlbumPageGenerator::Page page = CAlbumPageGenerator::single(seed, background, 0.1 + 0.4 * (seed % 5) / 4.0, (seed % 7) - 3);
        const QImage picture = CStampGenerator::toImage(page.picture);
        const QList<QRect> found = CStampFinder::findStamps(picture);
        singles.add(toQt(page.stamps), found.mid(0, 1));
        if (verbose)
            listMisses(QString("single %1").arg(seed), toQt(page.stamps), found.mid(0, 1));
        if (seed < firstSingle + 6)
            draw(drawDir, QString("single_%1").arg(seed), picture, toQt(page.stamps), found);
    }
    singles.print("generated single stamps (1st)");
    return 0;
}
