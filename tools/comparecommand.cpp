// quillet-tool compare REFERENCE CANDIDATE [--evidence FILE]: runs the stamp comparison as a search
// does (the reference as the user's framed picture, the candidate as a downloaded picture) and prints
// "match N" with the agreeing grid cells, or "no match" and the stage that turned the candidate down.
// With --evidence, a match's side-by-side picture (the two pictures, the inlier pairs joined, the
// outline) is written to FILE, and the figures follow on further lines.
#include "toolcommand.h"

#include "matching/stampmatcher.h"

#include <QImageReader>
#include <QTextStream>

namespace {

QImage readPicture(const QString &path, QTextStream &err)
{
    QImageReader reader(path);
    reader.setAutoTransform(false);
    const QImage image = reader.read();
    if (image.isNull())
        err << "compare: cannot read picture \"" << path << "\": " << reader.errorString() << "\n";
    return image;
}

} // namespace

static ToolCommand cmd("compare", "compare REFERENCE CANDIDATE [--evidence FILE]", [](const QStringList &args) -> int {
    QTextStream out(stdout);
    QTextStream err(stderr);
    QStringList paths = args;
    QString evidencePath;
    if (const qsizetype at = paths.indexOf(QStringLiteral("--evidence")); at >= 0 && at + 1 < paths.size()) {
        evidencePath = paths.takeAt(at + 1);
        paths.removeAt(at);
    }
    if (paths.size() != 2 || paths.contains(QStringLiteral("--evidence"))) {
        err << "usage: quillet-tool compare REFERENCE CANDIDATE [--evidence FILE]\n";
        return 2;
    }
    const QImage reference = readPicture(paths[0], err);
    const QImage candidate = readPicture(paths[1], err);
    if (reference.isNull() || candidate.isNull())
        return 1;

    CStampMatcher matcher;
    matcher.setReference(reference.convertToFormat(QImage::Format_RGB32));
    if (!matcher.hasReference()) {
        out << "no match: reference\n";
        err << "compare: the reference picture gives nothing to compare with (too small or without features)\n";
        return 3;
    }
    if (matcher.compareImage(candidate.convertToFormat(QImage::Format_RGB32))) {
        out << "match " << matcher.agreeCount() << "\n";
        if (evidencePath.isEmpty())
            return 0;
        const CMatchEvidence &evidence = matcher.evidence();
        out << evidence.agreementText({}) << "\n" << evidence.pairs << " keypoint pairs before the geometric check\n";
        if (!evidence.sideBySide(candidate).save(evidencePath)) {
            err << "compare: cannot write \"" << evidencePath << "\"\n";
            return 1;
        }
        return 0;
    }
    out << "no match: " << CStampMatcher::stageName(matcher.lastStage()) << "\n";
    return 3;
});
