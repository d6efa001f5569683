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
// The catalogue's visual words are measured too (describing the upload, quantising, the inverted
// file; the true stamp in their shortlist), with --distractors among N made-up pictures' words.
// "--kinds none" leaves the signatures' index out.
//
//   bench_recognition --folder DIR [--index DIR] --distractors 900000 [--queries 40] [--kinds graph|none] [--breadths 256,128]
//
// With --photos, a real quillet-server process (beside this program, or --server) serves the
// catalogue --folder on 127.0.0.1 and is asked, as the program asks it, with the photos that
// `quillet-tool photo-queries` wrote (those whose catalogue picture matches --only): named first,
// named wrongly, unanswered. Then, in --folds rounds, the asked stamps are held out in turn (a
// served copy of the catalogue without them) and asked with their photos again: every answer there
// names a wrong stamp.
//
//   bench_recognition --photos QUERIES_DIR --folder CATALOGUE_DIR [--only REGEX] [--every N] [--folds 4] [--index DIR]
//                     [--server PATH] [--verbose] [--keep]
#include "imaging/selectioncutout.h"
#include "matching/stampgenerator.h"
#include "search/recognitionanswer.h"
#include "search/recognitionclient.h"
#include "sites/hostconfig.h"
#include "server/catalogueindex.h"
#include "server/democatalogue.h"
#include "server/signatureindex.h"
#include "server/stampcatalogue.h"
#include "server/stamprecognizer.h"
#include "server/visualwordindex.h"

#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QCoreApplication>
#include <QHash>
#include <QSet>
#include <QProcess>
#include <QRegularExpression>
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

// CPU time of the whole process in ms: on a shared machine the wall clock also counts the time
// other processes held the cores.
double processCpuMs()
{
    timespec time{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &time);
    return double(time.tv_sec) * 1e3 + double(time.tv_nsec) / 1e6;
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

// The visual words' first filter on each upload: describing it (our SURF), quantising its
// descriptors and searching the inverted file, timed apart; whether the true stamp (row stamp - 1)
// is among the words' shortlist.
void wordFilterBench(const CVisualWordIndex &words, const std::vector<Query> &uploads, const QString &label,
                     QTextStream &out)
{
    std::vector<double> describeTimes, quantiseTimes, searchTimes, cpuTimes;
    int found = 0, known = 0, answered = 0;
    QElapsedTimer timer;
    for (const Query &query : uploads) {
        const double cpu = processCpuMs();
        timer.start();
        const cv::Mat descriptors = CVisualWordIndex::describe(query.picture).descriptors;
        describeTimes.push_back(double(timer.nsecsElapsed()) / 1e6);
        timer.restart();
        const std::vector<quint32> queryWords = words.quantise(descriptors);
        quantiseTimes.push_back(double(timer.nsecsElapsed()) / 1e6);
        timer.restart();
        const std::vector<CVisualWordIndex::Candidate> list =
            words.search(queryWords, CStampRecognizer::wordShortlistSize, CStampRecognizer::minimumWordScore);
        searchTimes.push_back(double(timer.nsecsElapsed()) / 1e6);
        cpuTimes.push_back(processCpuMs() - cpu);
        if (query.stamp > 0) {
            ++known;
            found += std::any_of(list.begin(), list.end(),
                                 [&](const CVisualWordIndex::Candidate &c) { return c.row == query.stamp - 1; });
        } else {
            answered += !list.empty();
        }
    }
    const double postingsMiB = double(words.postingBytes().size()) / (1024 * 1024);
    out << QStringLiteral("  visual words over %1 (%2 words, %3 postings, %4 MiB): median per upload: describe %5 ms, "
                          "quantise %6 ms, inverted file %7 ms (max %8 ms), the three in CPU time %13 ms; true stamp in the "
                          "words' shortlist %9/%10; uploads from outside with a words' shortlist %11/%12\n")
               .arg(label).arg(words.wordCount()).arg(words.postingCount()).arg(postingsMiB, 0, 'f', 0)
               .arg(median(describeTimes), 0, 'f', 1).arg(median(quantiseTimes), 0, 'f', 2)
               .arg(median(searchTimes), 0, 'f', 2)
               .arg(*std::max_element(searchTimes.begin(), searchTimes.end()), 0, 'f', 2)
               .arg(found).arg(known).arg(answered).arg(int(uploads.size()) - known)
               .arg(median(cpuTimes), 0, 'f', 1);
    out.flush();
}

// The catalogue's visual words among `madeUp` made-up pictures' words, on the same vocabulary: each
// made-up picture holds as many words as a real one drawn at random, each word drawn as often as it
// is held in the catalogue (a posting drawn at random), so that the lists grow as a larger catalogue
// of such stamps would make them. The real rows come first, keeping their numbers.
std::unique_ptr<CVisualWordIndex> wordsAmongMadeUp(const CVisualWordIndex &real, int madeUp)
{
    auto words = std::make_unique<CVisualWordIndex>();
    QString problem;
    if (!words->setVocabularyBytes(real.vocabularyBytes(), &problem))
        return nullptr;
    std::vector<std::vector<quint32>> rows = real.rows();
    const int realCount = int(rows.size());
    const std::vector<quint64> &offsets = real.offsets();
    const quint64 postings = offsets.back();
    if (realCount == 0 || postings == 0)
        return nullptr;
    rows.resize(size_t(realCount) + size_t(madeUp));
    QRandomGenerator random(11);
    for (size_t r = size_t(realCount); r < rows.size(); ++r) {
        const size_t count = rows[size_t(random.bounded(realCount))].size();
        std::vector<quint32> &row = rows[r];
        while (row.size() < count) {
            const quint64 posting = random.bounded(postings);
            const quint32 word = quint32(std::upper_bound(offsets.begin(), offsets.end(), posting) - offsets.begin() - 1);
            if (std::find(row.begin(), row.end(), word) == row.end())
                row.push_back(word);
        }
        std::sort(row.begin(), row.end());
    }
    words->setRows(rows);
    return words;
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
    // The words first: they are the catalogue's, whose rows go next. Kept while the signatures'
    // index is measured, so that the process resident shows the whole first filter.
    std::unique_ptr<CVisualWordIndex> words;
    if (catalogue.wordIndex()) {
        ::malloc_trim(0);
        const long before = residentKiB();
        timer.start();
        words = wordsAmongMadeUp(*catalogue.wordIndex(), distractors);
        const qint64 wordsMs = timer.elapsed();
        ::malloc_trim(0);
        if (words) {
            out << QStringLiteral("visual words of %1 pictures (%2 real, %3 made up): postings made in %4 s, "
                                  "process resident +%5 MiB\n")
                       .arg(words->size()).arg(size).arg(distractors).arg(double(wordsMs) / 1000, 0, 'f', 1)
                       .arg((residentKiB() - before) / 1024);
            wordFilterBench(*words, uploads, QStringLiteral("%1 pictures").arg(words->size()), out);
        }
    }
    catalogue = CStampCatalogue(); // the index alone: no catalogue rows
    ::malloc_trim(0);
    const long residentSignatures = residentKiB();
    const int total = int(signatures.size());
    out << QStringLiteral("%1 signatures (%2 real, %3 made up): %4 MiB\n")
               .arg(total).arg(size).arg(distractors)
               .arg(qint64(total) * qint64(sizeof(CStampSignature)) / (1024 * 1024));
    out.flush();

    // "--kinds none": the visual words alone.
    for (const QString &kindText : parser.value("kinds").split(',', Qt::SkipEmptyParts)) {
        if (kindText == "none")
            continue;
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
    if (catalogue.wordIndex())
        wordFilterBench(*catalogue.wordIndex(), uploads, QStringLiteral("%1 pictures").arg(size), out);

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
        std::vector<double> searchTimes, filterTimes, answerTimes, answerCpuTimes;
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
            const double cpu = processCpuMs();
            const QList<CStampRecognizer::Match> matches = recognizer.recognise(query.picture);
            answerTimes.push_back(double(timer.nsecsElapsed()) / 1e6);
            answerCpuTimes.push_back(processCpuMs() - cpu);
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
                              "first filter (signature, search, ranking) %5 ms, whole answer %6 ms (max %7 ms; CPU time %15 ms); "
                              "shortlist equal to the scan's %8/%9; true stamp shortlisted %10/%11, named first %12/%11; "
                              "false answers %13/%14\n")
                   .arg(kindText).arg(buildMs).arg(residentKiB() / 1024)
                   .arg(median(searchTimes), 0, 'f', 2).arg(median(filterTimes), 0, 'f', 1)
                   .arg(median(answerTimes), 0, 'f', 1)
                   .arg(*std::max_element(answerTimes.begin(), answerTimes.end()), 0, 'f', 1)
                   .arg(sameAsScan).arg(uploads.size()).arg(inShortlist).arg(known).arg(first)
                   .arg(falseAnswers).arg(int(uploads.size()) - known)
                   .arg(median(answerCpuTimes), 0, 'f', 1);
        out.flush();
    }
    return 0;
}

// quillet-server as a child process on 127.0.0.1, serving `catalogue` with its stored index in
// `index`; its standard error goes to `log`.
class ServerProcess
{
public:
    bool start(const QString &program, const QString &catalogue, const QString &index, const QString &uploads,
               const QString &log, QString *error)
    {
        m_process.setStandardErrorFile(log, QIODevice::Append);
        m_process.start(program, {"--catalogue", catalogue, "--index", index, "--uploads", uploads, "--port", "0"});
        if (!m_process.waitForStarted()) {
            *error = program + ": " + m_process.errorString();
            return false;
        }
        QByteArray out;
        while (!out.contains('\n') && m_process.state() == QProcess::Running)
            if (m_process.waitForReadyRead(1000))
                out += m_process.readAllStandardOutput();
        if (!out.startsWith("listening on ")) {
            *error = QStringLiteral("%1 did not start (see %2): %3").arg(program, log, QString::fromUtf8(out));
            return false;
        }
        HostConfig::global().setValue(QStringLiteral("recognition"),
                                      QString::fromLatin1(out.mid(13, out.indexOf('\n') - 13).trimmed()));
        return true;
    }
    ~ServerProcess()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished(10000);
    }
    // Its request log is not read; dropping it keeps the pipe from filling.
    void dropLog() { m_process.readAllStandardOutput(); }

private:
    QProcess m_process;
};

struct PhotoQuery
{
    QString photo;   // file in the queries folder
    QString picture; // the catalogue picture it shows
};

struct Asked
{
    int first = 0, wrong = 0, unanswered = 0, failed = 0;
    std::vector<double> times;
    QStringList wrongLines, unansweredLines;
};

// Asks the server that HostConfig names with each photo as the program uploads a picture framed
// whole (reduced to 512 pixels when both sides are longer, JPEG); `keywords` gives the catalogue
// picture a keyword names (as the client reads it, blanks as "+").
Asked askServer(ServerProcess &server, const QString &photos, const std::vector<PhotoQuery> &queries,
                const QHash<QString, QString> &pictureOfKeyword)
{
    Asked asked;
    CRecognitionClient client;
    QElapsedTimer timer;
    for (const PhotoQuery &query : queries) {
        const QImage image(QDir(photos).filePath(query.photo));
        const QByteArray upload = CSelectionCutout::encode(CSelectionCutout::cut(image, image.size(), image.size(), image.rect()));
        timer.start();
        const CRecognitionAnswer answer = CRecognitionAnswer::parse(client.queryRecognitionServer(upload));
        asked.times.push_back(double(timer.nsecsElapsed()) / 1e6);
        server.dropLog();
        const QString line = query.photo + " (" + query.picture + ")";
        if (answer.kind() == CRecognitionAnswer::NoMatch) {
            ++asked.unanswered;
            asked.unansweredLines << line;
        } else if (!answer.isGood() || answer.keywordList().isEmpty()) {
            ++asked.failed;
            asked.unansweredLines << line + ": " + answer.message();
        } else {
            const QStringList named = answer.keywordList();
            const QString best = pictureOfKeyword.value(named.first(), named.first());
            if (best == query.picture) {
                ++asked.first;
            } else {
                ++asked.wrong;
                QStringList pictures;
                for (const QString &keyword : named)
                    pictures << pictureOfKeyword.value(keyword, keyword);
                asked.wrongLines << line + ": " + pictures.join(", ");
            }
        }
    }
    return asked;
}

int photoBench(const QCommandLineParser &parser, QTextStream &out)
{
    const QString folder = parser.value("folder");
    const QString photos = parser.value("photos");
    const QString server = parser.isSet("server") ? parser.value("server")
                                                  : QCoreApplication::applicationDirPath() + "/quillet-server";
    // The catalogue's rows and their keywords, read as the server reads them.
    CStampCatalogue catalogue;
    CStampCatalogue::LoadOptions options;
    options.buildIndex = false;
    QString error;
    if (!catalogue.load(folder, options, &error)) {
        out << "cannot read the catalogue: " << error << "\n";
        return 1;
    }
    QHash<QString, QString> pictureOfKeyword;
    std::vector<std::pair<QString, QString>> catalogueRows; // picture, its line, in the file's order
    QSet<QString> cataloguePictures;
    for (const CStampCatalogue::Entry &entry : catalogue.entries()) {
        QString keyword = entry.keywordItem();
        pictureOfKeyword.insert(keyword.replace(QLatin1Char('_'), QLatin1Char('+')), entry.fileName);
    }
    QFile rows(QDir(folder).filePath(CStampCatalogue::indexFileName));
    if (!rows.open(QIODevice::ReadOnly)) {
        out << "cannot read " << rows.fileName() << "\n";
        return 1;
    }
    const QList<QByteArray> catalogueLines = rows.readAll().split('\n');
    for (const QByteArray &line : catalogueLines) {
        const QString text = QString::fromUtf8(line);
        if (!text.startsWith('#') && text.contains('\t')) {
            catalogueRows.push_back({text.section('\t', 0, 0).trimmed(), text});
            cataloguePictures.insert(catalogueRows.back().first);
        }
    }

    QFile list(QDir(photos).filePath("queries.tsv"));
    if (!list.open(QIODevice::ReadOnly)) {
        out << "cannot read " << list.fileName() << "\n";
        return 1;
    }
    const QRegularExpression only(parser.value("only"));
    const int every = std::max(1, parser.value("every").toInt());
    std::vector<PhotoQuery> queries;
    int matching = 0;
    for (const QByteArray &line : list.readAll().split('\n')) {
        const QStringList fields = QString::fromUtf8(line).split('\t');
        if (fields.size() >= 2 && !fields.at(0).startsWith('#') && only.match(fields.at(1)).hasMatch()
            && cataloguePictures.contains(fields.at(1)) && matching++ % every == 0)
            queries.push_back({fields.at(0), fields.at(1)});
    }
    if (queries.empty()) {
        out << "no photo of a catalogue row matches --only\n";
        return 1;
    }
    const bool verbose = parser.isSet("verbose");
    const auto report = [&out, verbose](const Asked &asked) {
        if (verbose || asked.wrong > 0)
            for (const QString &line : asked.wrongLines)
                out << "    named wrongly: " << line << "\n";
        if (verbose)
            for (const QString &line : asked.unansweredLines)
                out << "    unanswered: " << line << "\n";
    };

    QTemporaryDir work;
    work.setAutoRemove(!parser.isSet("keep"));
    const QString log = work.filePath("server.log");
    const QString index = parser.isSet("index") ? parser.value("index") : work.filePath("index");
    QDir().mkpath(index);
    QDir().mkpath(work.filePath("uploads"));
    {
        ServerProcess process;
        if (!process.start(server, folder, index, work.filePath("uploads"), log, &error)) {
            out << error << "\n";
            return 1;
        }
        const Asked asked = askServer(process, photos, queries, pictureOfKeyword);
        out << QStringLiteral("%1 photos of %2 (catalogue %3, %4 stamps): named first %5, named wrongly %6, "
                              "unanswered %7%8; median answer %9 ms\n")
                   .arg(queries.size()).arg(photos, folder).arg(catalogue.size())
                   .arg(asked.first).arg(asked.wrong).arg(asked.unanswered)
                   .arg(asked.failed ? QStringLiteral(", exchanges failed %1").arg(asked.failed) : QString())
                   .arg(median(asked.times), 0, 'f', 1);
        report(asked);
        out.flush();
    }

    // Held out: in each round a served copy of the catalogue lacks every fold-th asked stamp (the
    // pictures linked, not copied), and those stamps' photos are asked.
    const int folds = parser.value("folds").toInt();
    Asked heldOut;
    for (int fold = 0; fold < folds; ++fold) {
        QSet<QString> held;
        std::vector<PhotoQuery> asking;
        for (size_t n = fold; n < queries.size(); n += size_t(folds)) {
            held.insert(queries[n].picture);
            asking.push_back(queries[n]);
        }
        const QString served = work.filePath(QStringLiteral("served%1").arg(fold));
        QDir().mkpath(served);
        QFile tsv(QDir(served).filePath(CStampCatalogue::indexFileName));
        if (!tsv.open(QIODevice::WriteOnly)) {
            out << "cannot write " << tsv.fileName() << "\n";
            return 1;
        }
        for (const auto &[picture, line] : catalogueRows) {
            if (held.contains(picture))
                continue;
            tsv.write(line.toUtf8() + '\n');
            QFile::link(QDir(folder).absoluteFilePath(picture), QDir(served).filePath(picture));
        }
        tsv.close();
        ServerProcess process;
        if (!process.start(server, served, work.filePath(QStringLiteral("index%1").arg(fold)), work.filePath("uploads"),
                           log, &error)) {
            out << error << "\n";
            return 1;
        }
        const Asked asked = askServer(process, photos, asking, pictureOfKeyword);
        heldOut.first += asked.first; // cannot happen: the stamp is not served
        heldOut.wrong += asked.wrong;
        heldOut.unanswered += asked.unanswered;
        heldOut.failed += asked.failed;
        heldOut.wrongLines << asked.wrongLines;
        heldOut.unansweredLines << asked.unansweredLines;
    }
    if (folds > 0) {
        out << QStringLiteral("  held out in %1 rounds (each stamp asked once while not served): answered %2 of %3%4\n")
                   .arg(folds).arg(heldOut.wrong + heldOut.first).arg(queries.size())
                   .arg(heldOut.failed ? QStringLiteral(", exchanges failed %1").arg(heldOut.failed) : QString());
        for (const QString &line : std::as_const(heldOut.wrongLines))
            out << "    answered: " << line << "\n";
    }
    if (parser.isSet("keep"))
        out << "served catalogues, indexes and the server's log kept in " << work.path() << "\n";
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
                       {"breadths", "With --distractors: the graph's search breadths to measure.", "LIST"},
                       {"photos", "With --folder: ask a quillet-server with the photos of this folder.", "DIR"},
                       {"only", "With --photos: only photos of catalogue pictures that match.", "REGEX", "."},
                       {"every", "With --photos: every N-th of those photos only.", "N", "1"},
                       {"folds", "With --photos: rounds of held-out stamps (0: none).", "N", "4"},
                       {"server", "With --photos: the quillet-server to run.", "PATH"},
                       {"keep", "With --photos: keep the served catalogues and the server's log."}});
    parser.process(app);
    QTextStream out(stdout);
    if (parser.isSet("photos"))
        return photoBench(parser, out);
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
