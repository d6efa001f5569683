// Time to recognise one upload against catalogues of several sizes, with the full comparison of
// every stamp (linear scan) and with the first filter's shortlist; the first filter's recall; the
// process memory held by each loaded catalogue.
//
//   bench_recognition [--sizes 50,200,1000] [--queries 20] [--linear-queries 3] [--shortlist 8] [--floor 0.55] [--verbose]
//
// With --folder, a demo catalogue written beforehand (quillet-tool demo-catalogue DIR N) is opened
// with its stored index (in --index, built there when missing), and the first filter is measured
// with each index kind: build time, search time, the whole answer, recall against the scan of
// every signature, the true stamp shortlisted and named first, false answers.
//
//   bench_recognition --folder DIR [--index DIR] [--queries 40] [--kinds exact,graph,graph:128,graph:256:96:16:sq8]
//
// With --distractors N as well, the first filter alone (the graph and the signatures it ranks, no
// catalogue rows) over the catalogue's signatures among N made-up signatures: build time, memory,
// search and first-filter time, recall against the scan of every signature.
//
//   bench_recognition --folder DIR [--index DIR] --distractors 900000 [--queries 40] [--kinds graph] [--breadths 256,128]
#include "matching/stampgenerator.h"
#include "server/catalogueindex.h"
#include "server/democatalogue.h"
#include "server/signatureindex.h"
#include "server/stampcatalogue.h"
#include "server/stamprecognizer.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QCoreApplication>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

// Heap bytes in use (what a loaded catalogue keeps, without the allocator's cached free memory).
long heapKiB()
{
    const struct mallinfo2 info = mallinfo2();
    return long((info.uordblks + info.hblkhd) / 1024);
}

long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

struct Query
{
    int stamp; // 0: not in the catalogue
    QImage picture;
};

// A photo of stamp n as a user frames it: turned, scaled, lit differently, on the album page,
// JPEG-compressed.
QImage photograph(int n, QRandomGenerator &random)
{
    const double degrees = random.bounded(20.0) - 10.0;
    const double scale = 0.8 + random.bounded(0.6);
    const int quality = 40 + random.bounded(45);
    const double gain = 0.8 + random.bounded(0.35);
    const double offset = random.bounded(30.0) - 15.0;
    const cv::Mat turned = CStampGenerator::rotated(CStampGenerator::scaled(CStampGenerator::stamp(n), scale), degrees);
    const cv::Mat photo = CStampGenerator::jpeg(CStampGenerator::lit(turned, gain, offset, 10.0), quality);
    return CStampGenerator::toImage(photo);
}

// Photos of `queries` stamps drawn from a catalogue of `size`, then a quarter as many (at least
// two) of stamps outside it, numbered from `outside`, for false matches.
std::vector<Query> uploadsFor(int size, int queries, int outside)
{
    QRandomGenerator random{quint32(size)};
    std::vector<Query> uploads;
    for (int q = 0; q < queries; ++q) {
        const int stamp = 1 + random.bounded(size);
        uploads.push_back({stamp, photograph(stamp, random)});
    }
    for (int q = 0; q < std::max(2, queries / 4); ++q)
        uploads.push_back({0, photograph(outside + q, random)});
    return uploads;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// "graph:BREADTH:DIMENSION:LINKS:sq8": the graph searched with that breadth, over vectors reduced to
// DIMENSION values, LINKS links a node, its vectors in 8 bits with "sq8", floats with "float".
CSignatureIndex::GraphShape graphShape(const QString &kindText)
{
    CSignatureIndex::GraphShape shape;
    const QStringList parts = kindText.split(':');
    if (parts.size() > 2 && parts.at(2).toInt() > 0)
        shape.reducedDimension = parts.at(2).toInt();
    if (parts.size() > 3 && parts.at(3).toInt() > 0)
        shape.links = parts.at(3).toInt();
    if (parts.size() > 4)
        shape.eightBit = parts.at(4) == "sq8";
    return shape;
}

// A signature near the catalogue's but of no stamp in it: the layout of one stamp moved by a few
// cells, blended with half of another's, and the colours of a third. Random vectors would lie far
// from every real signature and leave the index's work easier than a real catalogue's.
CStampSignature distractor(const std::vector<CStampSignature> &signatures, int real, QRandomGenerator &random)
{
    const int side = CStampSignature::layoutSide;
    const std::vector<float> a = signatures[random.bounded(real)].values();
    const std::vector<float> b = signatures[random.bounded(real)].values();
    const std::vector<float> c = signatures[random.bounded(real)].values();
    std::vector<float> values(CStampSignature::valueCount);
    const int dx = 1 + random.bounded(4), dy = 1 + random.bounded(4);
    double mean = 0;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            const float moved = a[((y + dy) % side) * side + (x + dx) % side];
            values[y * side + x] = moved + 0.5f * b[y * side + x];
            mean += values[y * side + x];
        }
    }
    mean /= side * side;
    double norm = 0;
    for (int n = 0; n < side * side; ++n) {
        values[n] -= float(mean);
        norm += double(values[n]) * values[n];
    }
    norm = std::sqrt(norm);
    for (int n = 0; n < side * side; ++n)
        values[n] = float(values[n] / std::max(norm, 1e-6));
    std::copy(c.begin() + side * side, c.end(), values.begin() + side * side);
    return CStampSignature::fromValues(values.data(), values.size());
}

// The first filter without a catalogue: signatures (the catalogue's first) and an index over them.
int distractorBench(const QCommandLineParser &parser, CStampCatalogue &catalogue, QTextStream &out)
{
    const int distractors = parser.value("distractors").toInt();
    const int queries = parser.value("queries").toInt();
    const int size = catalogue.size();
    const std::vector<Query> uploads = uploadsFor(size, queries, 200000);
    QElapsedTimer timer;

    std::vector<CStampSignature> signatures;
    signatures.reserve(size_t(size) + size_t(distractors));
    for (const CStampCatalogue::Entry &entry : catalogue.entries())
        signatures.push_back(entry.signature);
    QRandomGenerator random(7);
    for (int n = 0; n < distractors; ++n)
        signatures.push_back(distractor(signatures, size, random));
    catalogue = CStampCatalogue(); // the index alone: no catalogue rows
    ::malloc_trim(0);
    const long residentSignatures = residentKiB();
    const int total = int(signatures.size());
    out << QStringLiteral("%1 signatures (%2 real, %3 made up): %4 MiB\n")
               .arg(total).arg(size).arg(distractors)
               .arg(qint64(total) * qint64(sizeof(CStampSignature)) / (1024 * 1024));
    out.flush();

    for (const QString &kindText : parser.value("kinds").split(',')) {
        const int breadth = kindText.section(':', 1, 1).toInt();
        const CSignatureIndex::Kind kind = kindText.section(':', 0, 0) == "graph" ? CSignatureIndex::Kind::Graph
                                                                                : CSignatureIndex::Kind::Exact;
        auto index = std::make_unique<CSignatureIndex>();
        index->setGraphShape(graphShape(kindText));
        timer.restart();
        index->build(total, int(CStampSignature::valueCount), kind,
                     [&signatures](int first, int count, float *rows) {
                         for (int n = first; n < first + count; ++n, rows += CStampSignature::valueCount)
                             signatures[size_t(n)].embedding(rows);
                     });
        const qint64 buildMs = timer.elapsed();
        ::malloc_trim(0);
        const long residentIndex = residentKiB();
        // One build searched with each breadth asked for.
        QStringList breadths = parser.value("breadths").split(',', Qt::SkipEmptyParts);
        if (breadths.isEmpty())
            breadths << QString::number(breadth > 0 ? breadth : CSignatureIndex::graphSearchBreadth);
        for (const QString &searchBreadth : std::as_const(breadths)) {
        index->setSearchBreadth(searchBreadth.toInt());
        std::vector<double> searchTimes, filterTimes;
        int sameAsScan = 0, inShortlist = 0, known = 0;
        const int shortlist = CStampRecognizer::defaultShortlistSize;
        const auto bySimilarity = [](std::vector<std::pair<double, int>> &ranked) {
            std::partial_sort(ranked.begin(), ranked.begin() + std::min<size_t>(ranked.size(), shortlist), ranked.end(),
                              [](const auto &a, const auto &b) { return a.first > b.first || (a.first == b.first && a.second < b.second); });
            std::vector<int> best;
            for (size_t n = 0; n < ranked.size() && n < size_t(shortlist); ++n)
                best.push_back(ranked[n].second);
            return best;
        };
        for (const Query &query : uploads) {
            timer.restart();
            const CStampSignature signature = CStampSignature::fromImage(query.picture);
            const std::vector<float> embedding = signature.embedding();
            QElapsedTimer searchTimer;
            searchTimer.start();
            const std::vector<int> candidates = index->search(embedding, CStampRecognizer::minimumCandidates);
            searchTimes.push_back(double(searchTimer.nsecsElapsed()) / 1e6);
            std::vector<std::pair<double, int>> ranked;
            for (int n : candidates)
                ranked.push_back({signature.similarity(signatures[size_t(n)]), n});
            const std::vector<int> filtered = bySimilarity(ranked);
            filterTimes.push_back(double(timer.nsecsElapsed()) / 1e6);
            ranked.clear();
            for (int n = 0; n < total; ++n)
                ranked.push_back({signature.similarity(signatures[size_t(n)]), n});
            sameAsScan += filtered == bySimilarity(ranked);
            if (query.stamp > 0) {
                ++known;
                inShortlist += std::find(filtered.begin(), filtered.end(), query.stamp - 1) != filtered.end();
            }
        }
        out << QStringLiteral("  %1 index (breadth %12) over %2: built in %3 s, index %4 MiB (process resident %5 MiB); median per upload: "
                              "index search %6 ms, first filter (signature, search, ranking) %7 ms; "
                              "shortlist equal to the scan's %8/%9; true stamp shortlisted %10/%11\n")
                   .arg(kindText).arg(total).arg(double(buildMs) / 1000, 0, 'f', 1)
                   .arg((residentIndex - residentSignatures) / 1024).arg(residentIndex / 1024)
                   .arg(median(searchTimes), 0, 'f', 2).arg(median(filterTimes), 0, 'f', 1)
                   .arg(sameAsScan).arg(uploads.size()).arg(inShortlist).arg(known).arg(searchBreadth);
        out.flush();
        }
    }
    return 0;
}

int storedCatalogueBench(const QCommandLineParser &parser, QTextStream &out)
{
    const QString folder = parser.value("folder");
    const QString indexFolder = parser.value("index");
    const int queries = parser.value("queries").toInt();
    QElapsedTimer timer;
    timer.start();
    CStampCatalogue catalogue;
    CCatalogueIndex::Report report;
    QString error;
    if (!CCatalogueIndex::open(catalogue, folder, indexFolder, {}, &report, &error, nullptr)) {
        out << "cannot open " << folder << ": " << error << "\n";
        return 1;
    }
    const qint64 openMs = timer.elapsed();
    const int size = catalogue.size();
    out << QStringLiteral("catalogue %1 stamps: opened in %2 ms (%3 signatures stored, %4 computed; index %5), "
                          "process resident %6 MiB\n")
               .arg(size).arg(openMs).arg(report.stored).arg(report.computed)
               .arg(report.indexLoaded ? "loaded" : "built").arg(residentKiB() / 1024);
    out.flush();
    if (parser.isSet("distractors"))
        return distractorBench(parser, catalogue, out);

    const std::vector<Query> uploads = uploadsFor(size, queries, 200000);

    // The scan of every signature: what the first filter should reproduce.
    CStampRecognizer recognizer(catalogue);
    std::vector<QList<int>> scans;
    std::vector<double> scanTimes;
    for (const Query &query : uploads) {
        timer.restart();
        QList<int> all = recognizer.shortlist(query.picture, 0);
        scanTimes.push_back(double(timer.nsecsElapsed()) / 1e6);
        all = all.mid(0, CStampRecognizer::defaultShortlistSize);
        scans.push_back(all);
    }
    out << QStringLiteral("  scan of every signature: median %1 ms per upload\n").arg(median(scanTimes), 0, 'f', 1);

    // "graph:128" is the graph searched with a breadth of 128.
    for (const QString &kindText : parser.value("kinds").split(',')) {
        const QString kindName = kindText.section(':', 0, 0);
        const int breadth = kindText.section(':', 1, 1).toInt();
        const CSignatureIndex::Kind kind = kindName == "graph" ? CSignatureIndex::Kind::Graph
                                                               : CSignatureIndex::Kind::Exact;
        timer.restart();
        if (catalogue.signatureIndex()->kind() != kind || kindText.count(':') > 1)
            catalogue.buildSignatureIndex(kind, {}, graphShape(kindText));
        const qint64 buildMs = timer.elapsed();
        catalogue.signatureIndex()->setSearchBreadth(breadth > 0 ? breadth : CSignatureIndex::graphSearchBreadth);
        std::vector<double> searchTimes, filterTimes, answerTimes;
        int sameAsScan = 0, inShortlist = 0, first = 0, known = 0, falseAnswers = 0;
        for (size_t q = 0; q < uploads.size(); ++q) {
            const Query &query = uploads[q];
            const std::vector<float> embedding = CStampSignature::fromImage(query.picture).embedding();
            timer.restart();
            catalogue.signatureIndex()->search(embedding, CStampRecognizer::minimumCandidates);
            searchTimes.push_back(double(timer.nsecsElapsed()) / 1e6);
            timer.restart();
            const QList<int> list = recognizer.shortlist(query.picture, CStampRecognizer::defaultShortlistSize);
            filterTimes.push_back(double(timer.nsecsElapsed()) / 1e6);
            timer.restart();
            const QList<CStampRecognizer::Match> matches = recognizer.recognise(query.picture);
            answerTimes.push_back(double(timer.nsecsElapsed()) / 1e6);
            // The scan's list cut at the same floor.
            recognizer.setSimilarityFloor(-1.0);
            const QList<int> unfloored = recognizer.shortlist(query.picture, CStampRecognizer::defaultShortlistSize);
            recognizer.setSimilarityFloor(CStampRecognizer::minimumSimilarity);
            sameAsScan += unfloored == scans[q];
            if (query.stamp > 0) {
                ++known;
                inShortlist += list.contains(query.stamp - 1);
                first += !matches.isEmpty() && matches.first().index == query.stamp - 1;
            } else {
                falseAnswers += !matches.isEmpty();
            }
        }
        out << QStringLiteral("  %1 index: built in %2 ms, process resident %3 MiB; median per upload: index search %4 ms, "
                              "first filter (signature, search, ranking) %5 ms, whole answer %6 ms (max %7 ms); "
                              "shortlist equal to the scan's %8/%9; true stamp shortlisted %10/%11, named first %12/%11; "
                              "false answers %13/%14\n")
                   .arg(kindText).arg(buildMs).arg(residentKiB() / 1024)
                   .arg(median(searchTimes), 0, 'f', 2).arg(median(filterTimes), 0, 'f', 1)
                   .arg(median(answerTimes), 0, 'f', 1)
                   .arg(*std::max_element(answerTimes.begin(), answerTimes.end()), 0, 'f', 1)
                   .arg(sameAsScan).arg(uploads.size()).arg(inShortlist).arg(known).arg(first)
                   .arg(falseAnswers).arg(int(uploads.size()) - known);
        out.flush();
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({{"sizes", "Catalogue sizes.", "LIST", "50,200,1000"},
                       {"queries", "Uploads per size (shortlist).", "N", "20"},
                       {"linear-queries", "Uploads per size for the linear scan.", "N", "3"},
                       {"shortlist", "Shortlist size.", "N", QString::number(CStampRecognizer::defaultShortlistSize)},
                       {"floor", "Similarity floor of the shortlist.", "X", QString::number(CStampRecognizer::minimumSimilarity)},
                       {"verbose", "Print every true match's cells and similarity."},
                       {"folder", "A demo catalogue written beforehand.", "DIR"},
                       {"index", "Its stored index (default: the folder).", "DIR"},
                       {"kinds", "Index kinds to measure with --folder.", "LIST", "exact,graph"},
                       {"distractors", "With --folder: the first filter alone among N made-up signatures.", "N"},
                       {"breadths", "With --distractors: the graph's search breadths to measure.", "LIST"}});
    parser.process(app);
    QTextStream out(stdout);
    if (parser.isSet("folder"))
        return storedCatalogueBench(parser, out);
    const int queries = parser.value("queries").toInt();
    const int linearQueries = parser.value("linear-queries").toInt();
    const int shortlist = parser.value("shortlist").toInt();
    const bool verbose = parser.isSet("verbose");

    for (const QString &sizeText : parser.value("sizes").split(',')) {
        const int size = sizeText.toInt();
        QTemporaryDir dir;
        QElapsedTimer timer;
        timer.start();
        CDemoCatalogue::write(dir.path(), size);
        const qint64 writeMs = timer.elapsed();

        const long before = heapKiB();
        timer.restart();
        auto catalogue = std::make_unique<CStampCatalogue>();
        catalogue->load(dir.path());
        const qint64 loadMs = timer.elapsed();
        const long after = heapKiB();

        const std::vector<Query> uploads = uploadsFor(size, queries, 100000);

        CStampRecognizer recognizer(*catalogue);
        recognizer.setShortlistSize(shortlist);
        recognizer.setSimilarityFloor(parser.value("floor").toDouble());
        int inShortlist = 0, firstRight = 0, falseMatches = 0, known = 0;
        std::vector<double> times;
        for (const Query &query : uploads) {
            if (query.stamp > 0) {
                ++known;
                const QList<int> list = recognizer.shortlist(query.picture, shortlist);
                inShortlist += std::any_of(list.begin(), list.end(),
                                           [&](int index) { return index == query.stamp - 1; });
            }
            timer.restart();
            const QList<CStampRecognizer::Match> matches = recognizer.recognise(query.picture);
            times.push_back(double(timer.nsecsElapsed()) / 1e6);
            if (query.stamp > 0 && !matches.isEmpty() && matches.first().index == query.stamp - 1)
                ++firstRight;
            if (query.stamp == 0 && !matches.isEmpty()) {
                ++falseMatches;
                const CStampSignature upload = CStampSignature::fromImage(query.picture);
                out << QStringLiteral("  false match: stamp %1, %2 cells, signature similarity %3\n")
                           .arg(matches.first().index + 1)
                           .arg(matches.first().score)
                           .arg(upload.similarity(catalogue->entries().at(matches.first().index).signature), 0, 'f', 3);
            }
            if (verbose && query.stamp > 0 && !matches.isEmpty() && matches.first().index == query.stamp - 1) {
                const CStampSignature upload = CStampSignature::fromImage(query.picture);
                out << QStringLiteral("  true match: %1 cells, similarity %2\n")
                           .arg(matches.first().score)
                           .arg(upload.similarity(catalogue->entries().at(matches.first().index).signature), 0, 'f', 3);
            }
        }

        std::vector<double> linearTimes;
        int linearRight = 0;
        recognizer.setShortlistSize(0);
        for (int q = 0; q < linearQueries && q < int(uploads.size()); ++q) {
            timer.restart();
            const QList<CStampRecognizer::Match> matches = recognizer.recognise(uploads[q].picture);
            linearTimes.push_back(double(timer.nsecsElapsed()) / 1e6);
            linearRight += !matches.isEmpty() && matches.first().index == uploads[q].stamp - 1;
        }

        out << QStringLiteral("catalogue %1: written in %2 ms, loaded in %3 ms, heap +%4 KiB (%5 KiB per stamp), "
                              "process resident %6 MiB after the uploads\n")
                   .arg(size).arg(writeMs).arg(loadMs).arg(after - before)
                   .arg(double(after - before) / size, 0, 'f', 1)
                   .arg(residentKiB() / 1024);
        out << QStringLiteral("  shortlist %1, floor %9: median %2 ms per upload (max %3 ms); true stamp in shortlist %4/%5, "
                              "named first %6/%5; false matches %7/%8\n")
                   .arg(shortlist)
                   .arg(median(times), 0, 'f', 1)
                   .arg(*std::max_element(times.begin(), times.end()), 0, 'f', 1)
                   .arg(inShortlist).arg(known).arg(firstRight).arg(falseMatches)
                   .arg(int(uploads.size()) - known)
                   .arg(parser.value("floor"));
        if (!linearTimes.empty())
            out << QStringLiteral("  linear scan: median %1 ms per upload over %2 uploads; named first %3/%2\n")
                       .arg(median(linearTimes), 0, 'f', 1).arg(linearTimes.size()).arg(linearRight);
        out.flush();
    }
    return 0;
}
