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
//   bench_recognition --folder DIR [--index DIR] [--queries 40] [--kinds exact,graph]
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
        if (catalogue.signatureIndex()->kind() != kind)
            catalogue.buildSignatureIndex(kind);
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
                       {"kinds", "Index kinds to measure with --folder.", "LIST", "exact,graph"}});
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
