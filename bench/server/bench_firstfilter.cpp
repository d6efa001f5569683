// Where photo queries are lost: for each photo of a catalogue picture (a folder written by
// quillet-tool photo-queries, its queries.tsv naming each photo's picture), the true stamp's place
// in the signature's shortlist and in the visual words' one, whether the full comparison accepts
// it when asked directly, and what the recogniser answers.
//
//   bench_firstfilter CATALOGUE_DIR INDEX_DIR QUERY_DIR [--heldout] [--verbose]
//
// With --heldout the photos show stamps outside the catalogue: every answer is a false one.
#include "matching/stampmatcher.h"
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

#include <algorithm>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool heldOut = args.removeAll(QStringLiteral("--heldout")) > 0;
    const bool verbose = args.removeAll(QStringLiteral("--verbose")) > 0;
    QTextStream out(stdout);
    if (args.size() != 3) {
        out << "usage: bench_firstfilter CATALOGUE_DIR INDEX_DIR QUERY_DIR [--heldout] [--verbose]\n";
        return 2;
    }
    CStampCatalogue catalogue;
    QString error;
    if (!CCatalogueIndex::open(catalogue, args.at(0), args.at(1), {}, nullptr, &error, nullptr)) {
        out << error << "\n";
        return 1;
    }
    QHash<QString, int> rowOf;
    for (int n = 0; n < catalogue.size(); ++n)
        rowOf.insert(catalogue.entries().at(n).fileName, n);
    QFile list(QDir(args.at(2)).filePath(QStringLiteral("queries.tsv")));
    if (!list.open(QIODevice::ReadOnly)) {
        out << "cannot read " << list.fileName() << "\n";
        return 1;
    }
    const CStampRecognizer recognizer(catalogue);
    const CVisualWordIndex *words = catalogue.wordIndex();
    int queries = 0, first = 0, wrong = 0, unanswered = 0, bySignature = 0, byWords = 0, accepted = 0;
    QList<qint64> times;
    for (const QByteArray &line : list.readAll().split('\n')) {
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.split('\t');
        const QString photo = QDir(args.at(2)).filePath(QString::fromUtf8(fields.at(0)));
        const int truth = rowOf.value(QString::fromUtf8(fields.value(1)), -1);
        QImageReader reader(photo);
        reader.setAutoTransform(true);
        const QImage upload = reader.read().convertToFormat(QImage::Format_RGB32);
        if (upload.isNull() || (!heldOut && truth < 0))
            continue;
        ++queries;
        const QList<int> signatureList = recognizer.shortlist(upload, CStampRecognizer::defaultShortlistSize);
        std::vector<CVisualWordIndex::Candidate> wordList;
        if (words)
            wordList = words->search(words->quantise(CVisualWordIndex::describe(upload).descriptors),
                                     CStampRecognizer::wordShortlistSize, 0.0f);
        int wordRank = -1;
        float wordScore = 0, bestOther = 0;
        for (size_t r = 0; r < wordList.size(); ++r) {
            if (wordList[r].row == truth) {
                wordRank = int(r);
                wordScore = wordList[r].score;
            } else {
                bestOther = std::max(bestOther, wordList[r].score);
            }
        }
        const int signatureRank = int(signatureList.indexOf(truth));
        bool accepts = false;
        if (!heldOut) {
            CStampMatcher matcher;
            matcher.setReference(upload);
            accepts = matcher.compareImage(catalogue.entries().at(truth).loadPicture());
        }
        QElapsedTimer timer;
        timer.start();
        const QList<CStampRecognizer::Match> matches = recognizer.recognise(upload);
        times << timer.elapsed();
        const QString answer = matches.isEmpty() ? QStringLiteral("none")
                                                 : catalogue.entries().at(matches.first().index).fileName;
        bySignature += signatureRank >= 0;
        byWords += wordRank >= 0 && wordScore >= CStampRecognizer::minimumWordScore;
        accepted += accepts;
        if (matches.isEmpty())
            ++unanswered;
        else if (!heldOut && matches.first().index == truth)
            ++first;
        else
            ++wrong;
        if (verbose || (!heldOut && (matches.isEmpty() || matches.first().index != truth)) || (heldOut && !matches.isEmpty()))
            out << fields.at(0) << "  " << fields.value(1) << "  signature " << signatureRank << "  words "
                << wordRank << " (" << wordScore << ", best other " << bestOther << ")  accepted "
                << accepts << "  answer " << answer << "\n";
    }
    std::sort(times.begin(), times.end());
    out << queries << " queries: named first " << first << ", wrong " << wrong << ", unanswered "
        << unanswered << "; true stamp in the signature's shortlist " << bySignature
        << ", in the words' " << byWords << ", accepted when asked directly " << accepted
        << "; answer median " << (times.isEmpty() ? 0 : times.at(times.size() / 2)) << " ms\n";
    return 0;
}
