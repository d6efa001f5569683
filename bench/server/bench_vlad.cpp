// The two kinds of first filter over local features, side by side on the same photos: the bag of
// visual words the server uses (an inverted file, tf-idf) and VLAD (each picture's SURF descriptors
// aggregated as residuals to a small k-means vocabulary, one vector a picture, searched in FAISS).
// For each photo (a folder written by quillet-tool photo-queries) it reports whether the true stamp
// is in each kind's shortlist, by group: demo stamps, and the other catalogue pictures (real scans)
// in catalogue order, the first LOOKED of them apart from the rest.
//
//   bench_vlad CATALOGUE_DIR INDEX_DIR QUERY_DIR... [--centres K] [--pca D] [--looked N]
#include "server/catalogueindex.h"
#include "server/stampcatalogue.h"
#include "server/stamprecognizer.h"
#include "server/visualwordindex.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImageReader>
#include <QTextStream>

#include <faiss/Clustering.h>
#include <faiss/IndexFlat.h>
#include <faiss/VectorTransform.h>
#include <faiss/utils/distances.h>

#include <cmath>
#include <memory>

namespace {

constexpr int dim = CVisualWordIndex::dimension;

// Signed square root, each centre's residual sum scaled to unit length, then the whole to unit
// length ("All about VLAD", Arandjelović and Zisserman 2013).
std::vector<float> vlad(const cv::Mat &descriptors, faiss::IndexFlatL2 &centres)
{
    const int k = int(centres.ntotal);
    std::vector<float> v(size_t(k) * dim, 0.0f);
    if (descriptors.rows == 0)
        return v;
    std::vector<faiss::Index::idx_t> nearest(descriptors.rows);
    std::vector<float> distances(descriptors.rows);
    centres.search(descriptors.rows, descriptors.ptr<float>(), 1, distances.data(), nearest.data());
    const float *c = centres.get_xb();
    for (int r = 0; r < descriptors.rows; ++r) {
        const float *d = descriptors.ptr<float>(r);
        float *out = v.data() + nearest[r] * dim;
        const float *centre = c + nearest[r] * dim;
        for (int j = 0; j < dim; ++j)
            out[j] += d[j] - centre[j];
    }
    for (float &x : v)
        x = std::copysign(std::sqrt(std::fabs(x)), x);
    faiss::fvec_renorm_L2(dim, k, v.data()); // each centre's part
    faiss::fvec_renorm_L2(v.size(), 1, v.data());
    return v;
}

struct Tally
{
    int photos = 0, words = 0, vlad = 0, either = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QTextStream out(stdout);
    int centresWanted = 64, pcaDim = 0, looked = 24;
    for (int i = 0; i + 1 < args.size();) {
        if (args.at(i) == QLatin1String("--centres") || args.at(i) == QLatin1String("--pca") || args.at(i) == QLatin1String("--looked")) {
            (args.at(i) == QLatin1String("--centres") ? centresWanted : args.at(i) == QLatin1String("--pca") ? pcaDim : looked) = args.at(i + 1).toInt();
            args.remove(i, 2);
        } else {
            ++i;
        }
    }
    if (args.size() < 3) {
        out << "usage: bench_vlad CATALOGUE_DIR INDEX_DIR QUERY_DIR... [--centres K] [--pca D] [--looked N]\n";
        return 2;
    }
    CStampCatalogue catalogue;
    QString error;
    if (!CCatalogueIndex::open(catalogue, args.at(0), args.at(1), {}, nullptr, &error, nullptr) || !catalogue.wordIndex()) {
        out << "cannot open the catalogue with its words: " << error << "\n";
        return 1;
    }
    const CVisualWordIndex &words = *catalogue.wordIndex();
    const int rows = catalogue.size();

    // Every catalogue picture described once, as the words' index describes it.
    QElapsedTimer timer;
    timer.start();
    std::vector<cv::Mat> described(rows);
    std::vector<float> sample;
    for (int n = 0; n < rows; ++n) {
        described[n] = CVisualWordIndex::describe(catalogue.entries().at(n).loadPicture()).descriptors;
        for (int r = 0; r < described[n].rows; r += 3)
            sample.insert(sample.end(), described[n].ptr<float>(r), described[n].ptr<float>(r) + dim);
    }
    out << rows << " pictures described in " << timer.elapsed() / 1000.0 << " s\n";

    faiss::IndexFlatL2 centres(dim);
    faiss::ClusteringParameters parameters;
    parameters.niter = 20;
    parameters.seed = 1;
    faiss::Clustering clustering(dim, centresWanted, parameters);
    clustering.train(faiss::Index::idx_t(sample.size() / dim), sample.data(), centres);
    const int vladDim = int(centres.ntotal) * dim;
    std::vector<float> vectors;
    vectors.reserve(size_t(rows) * vladDim);
    for (const cv::Mat &d : described) {
        const std::vector<float> v = vlad(d, centres);
        vectors.insert(vectors.end(), v.begin(), v.end());
    }
    std::unique_ptr<faiss::PCAMatrix> pca;
    int searchDim = vladDim;
    if (pcaDim > 0 && pcaDim < vladDim) {
        // Whitened (eigenvalues to the power -0.5), then brought back to unit length.
        pca = std::make_unique<faiss::PCAMatrix>(vladDim, pcaDim, -0.5f, false);
        pca->train(rows, vectors.data());
        std::vector<float> reduced(size_t(rows) * pcaDim);
        pca->apply_noalloc(rows, vectors.data(), reduced.data());
        vectors.swap(reduced);
        searchDim = pcaDim;
    }
    faiss::fvec_renorm_L2(searchDim, rows, vectors.data());
    faiss::IndexFlatIP flat(searchDim);
    flat.add(rows, vectors.data());
    out << "VLAD: " << centres.ntotal << " centres, " << vladDim << " values" << (pca ? QStringLiteral(", PCA to %1").arg(pcaDim) : QString())
        << ", " << searchDim * 4 << " bytes a picture\n";

    QHash<QString, int> rowOf;
    QList<int> otherRows; // the catalogue's pictures that are not demo stamps, in catalogue order
    for (int n = 0; n < rows; ++n) {
        const QString name = catalogue.entries().at(n).fileName;
        rowOf.insert(name, n);
        if (!name.startsWith(QLatin1String("stamp")))
            otherRows << n;
    }
    const int shortlist = CStampRecognizer::wordShortlistSize;
    for (const QString &folder : args.mid(2)) {
        QFile list(QDir(folder).filePath(QStringLiteral("queries.tsv")));
        if (!list.open(QIODevice::ReadOnly)) {
            out << "cannot read " << list.fileName() << "\n";
            return 1;
        }
        Tally groups[3]; // demo stamps, pictures looked at, pictures aside
        QList<qint64> vladTimes, wordTimes;
        for (const QByteArray &line : list.readAll().split('\n')) {
            if (line.isEmpty() || line.startsWith('#'))
                continue;
            const QList<QByteArray> fields = line.split('\t');
            const int truth = rowOf.value(QString::fromUtf8(fields.value(1)), -1);
            QImageReader reader(QDir(folder).filePath(QString::fromUtf8(fields.at(0))));
            reader.setAutoTransform(true);
            const QImage photo = reader.read();
            if (photo.isNull() || truth < 0)
                continue;
            const cv::Mat d = CVisualWordIndex::describe(photo).descriptors;
            timer.start();
            bool byWords = false;
            for (const CVisualWordIndex::Candidate &c : words.search(words.quantise(d), shortlist, CStampRecognizer::minimumWordScore))
                byWords |= c.row == truth;
            wordTimes << timer.nsecsElapsed() / 1000;
            timer.start();
            std::vector<float> v = vlad(d, centres);
            if (pca) {
                std::vector<float> reduced(searchDim);
                pca->apply_noalloc(1, v.data(), reduced.data());
                v.swap(reduced);
            }
            faiss::fvec_renorm_L2(searchDim, 1, v.data());
            std::vector<faiss::Index::idx_t> found(shortlist);
            std::vector<float> scores(shortlist);
            flat.search(1, v.data(), shortlist, scores.data(), found.data());
            vladTimes << timer.nsecsElapsed() / 1000;
            const bool byVlad = std::find(found.begin(), found.end(), faiss::Index::idx_t(truth)) != found.end();
            const int other = int(otherRows.indexOf(truth));
            Tally &t = groups[other < 0 ? 0 : other < looked ? 1 : 2];
            ++t.photos;
            t.words += byWords;
            t.vlad += byVlad;
            t.either += byWords || byVlad;
        }
        std::sort(vladTimes.begin(), vladTimes.end());
        std::sort(wordTimes.begin(), wordTimes.end());
        out << folder << ": true stamp among the " << shortlist << " best (words / VLAD / either)\n";
        const char *names[] = {"demo stamps", "other pictures looked at", "other pictures aside"};
        for (int g = 0; g < 3; ++g)
            out << "  " << names[g] << ": " << groups[g].photos << " photos, " << groups[g].words << " / "
                << groups[g].vlad << " / " << groups[g].either << "\n";
        if (!vladTimes.isEmpty())
            out << "  search median (after describing): words " << wordTimes.at(wordTimes.size() / 2) << " us, VLAD "
                << vladTimes.at(vladTimes.size() / 2) << " us\n";
    }
    return 0;
}
