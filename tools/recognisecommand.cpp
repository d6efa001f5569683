// quillet-tool recognise CATALOGUE PICTURE: what the recognition server would answer for an
// upload, with the first filter's ranking, for tuning a catalogue.
#include "server/stampcatalogue.h"
#include "server/stamprecognizer.h"
#include "toolcommand.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QImageReader>
#include <QTextStream>

static ToolCommand cmd("recognise", "recognise CATALOGUE_DIR PICTURE [SHORTLIST]", [](const QStringList &args) -> int {
    QTextStream out(stdout);
    QTextStream err(stderr);
    if (args.size() < 2) {
        err << "usage: quillet-tool recognise CATALOGUE_DIR PICTURE [SHORTLIST]\n";
        return 2;
    }
    CStampCatalogue catalogue;
    QString error;
    QStringList warnings;
    if (!catalogue.load(args.at(0), &error, &warnings)) {
        err << error << "\n";
        return 1;
    }
    for (const QString &warning : warnings)
        err << "catalogue " << warning << "\n";
    catalogue.buildWordIndex(std::make_shared<CVisualWordIndex>());
    QImageReader reader(args.at(1));
    reader.setAutoTransform(true);
    const QImage picture = reader.read();
    if (picture.isNull()) {
        err << "cannot read " << args.at(1) << ": " << reader.errorString() << "\n";
        return 1;
    }
    CStampRecognizer recognizer(catalogue);
    if (args.size() > 2)
        recognizer.setShortlistSize(args.at(2).toInt());
    const CStampSignature signature = CStampSignature::fromImage(picture);
    out << "first filter:\n";
    const QList<int> ranked = recognizer.shortlist(picture, 10);
    for (int index : ranked) {
        const CStampCatalogue::Entry &entry = catalogue.entries().at(index);
        out << QStringLiteral("  %1  %2  %3\n")
                   .arg(signature.similarity(entry.signature), 6, 'f', 3)
                   .arg(QFileInfo(entry.picturePath()).fileName(), entry.keywordItem());
    }
    QElapsedTimer timer;
    timer.start();
    const QList<CStampRecognizer::Match> matches = recognizer.recognise(picture);
    out << "matches (" << timer.elapsed() << " ms):\n";
    for (const CStampRecognizer::Match &match : matches)
        out << "  " << match.score << "  " << catalogue.entries().at(match.index).keywordItem() << "\n";
    if (matches.isEmpty())
        out << "  none\n";
    return 0;
});
