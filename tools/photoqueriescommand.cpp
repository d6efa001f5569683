// quillet-tool photo-queries CATALOGUE_DIR OUT [--hard] [--turned] [--seed N]: a photo of every
// catalogue picture as a collector takes one (see CStampPhotographer), for asking the recognition
// server with; OUT/queries.tsv names the catalogue picture of each photo.
#include "matching/normalisation.h"
#include "matching/stampphotographer.h"
#include "server/stampcatalogue.h"
#include "toolcommand.h"

#include <QDir>
#include <QFile>
#include <QTextStream>

static ToolCommand cmd(
    "photo-queries", "photo-queries CATALOGUE_DIR OUT [--hard] [--turned] [--seed N]",
    [](const QStringList &args) -> int {
        QTextStream out(stdout);
        QTextStream err(stderr);
        QStringList folders;
        CStampPhotographer::Options options;
        bool turned = false;
        bool ok = true;
        int seed = 1;
        for (int n = 0; n < args.size(); ++n) {
            if (args.at(n) == QLatin1String("--hard"))
                options.hard = true;
            else if (args.at(n) == QLatin1String("--turned"))
                turned = true;
            else if (args.at(n) == QLatin1String("--seed") && n + 1 < args.size())
                seed = args.at(++n).toInt(&ok);
            else if (args.at(n).startsWith(QLatin1String("--")))
                ok = false;
            else
                folders << args.at(n);
        }
        if (folders.size() != 2 || !ok) {
            err << "usage: quillet-tool photo-queries CATALOGUE_DIR OUT [--hard] [--turned] [--seed N]\n";
            return 2;
        }
        const QString prefix = QStringLiteral("quillet-tool photo-queries: ");
        CStampCatalogue catalogue;
        CStampCatalogue::LoadOptions loadOptions;
        loadOptions.buildIndex = false;
        QString error;
        QStringList warnings;
        if (!catalogue.load(folders.at(0), loadOptions, &error, &warnings)) {
            err << prefix << error << "\n";
            return 1;
        }
        for (const QString &warning : std::as_const(warnings))
            err << prefix << "catalogue " << warning << "\n";
        const QDir dir(folders.at(1));
        QFile list(dir.filePath(QStringLiteral("queries.tsv")));
        if (!QDir().mkpath(dir.path()) || !list.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            err << prefix << "cannot write " << list.fileName() << ": " << list.errorString() << "\n";
            return 1;
        }
        list.write("# photo\tcatalogue picture (as catalogue.tsv names it)\tquarter turns clockwise\n");
        int written = 0;
        for (int n = 0; n < catalogue.size(); ++n) {
            const CStampCatalogue::Entry &entry = catalogue.entries().at(n);
            const QImage picture = entry.loadPicture();
            const cv::Mat colour = toColorImage(picture);
            if (colour.empty()) {
                err << prefix << "cannot read picture " << entry.picturePath() << "\n";
                continue;
            }
            // The same seed gives the same photos with and without --turned, so that a turned set
            // is its upright set turned.
            options.quarterTurns = turned ? 1 + n % 3 : 0;
            const CStampPhotographer::Photo photo =
                CStampPhotographer::photograph(colour, int(uint32_t(seed) * 100003u + uint32_t(n)), options);
            const QString name = QStringLiteral("%1.jpg").arg(n + 1, 5, 10, QLatin1Char('0'));
            QFile file(dir.filePath(name));
            if (photo.jpeg.empty() || !file.open(QIODevice::WriteOnly | QIODevice::Truncate)
                || file.write(reinterpret_cast<const char *>(photo.jpeg.data()), qint64(photo.jpeg.size()))
                    != qint64(photo.jpeg.size())) {
                err << prefix << "cannot write " << file.fileName() << ": " << file.errorString() << "\n";
                return 1;
            }
            list.write(QStringLiteral("%1\t%2\t%3\n").arg(name, entry.fileName).arg(options.quarterTurns).toUtf8());
            ++written;
        }
        if (!list.flush()) {
            err << prefix << "cannot write " << list.fileName() << ": " << list.errorString() << "\n";
            return 1;
        }
        out << "wrote " << written << " photos to " << dir.path();
        if (!warnings.isEmpty() || written < catalogue.size())
            out << " (" << warnings.size() + catalogue.size() - written << " catalogue rows without a photo)";
        out << "\n";
        return written == catalogue.size() && warnings.isEmpty() ? 0 : 1;
    });
