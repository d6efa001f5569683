#include "democatalogue.h"

#include "matching/stampgenerator.h"

#include <QDir>
#include <QFile>

#include <opencv2/imgcodecs.hpp>

QString CDemoCatalogue::fileName(int n)
{
    return QStringLiteral("stamp%1.png").arg(n, 4, 10, QLatin1Char('0'));
}

QString CDemoCatalogue::keywordItem(int n)
{
    return QStringLiteral("Demoland[c]%1[inf]Generated_stamp[i]Seed_%1[i]0001").arg(n);
}

bool CDemoCatalogue::write(const QString &folder, int count, QString *error)
{
    const auto fail = [error](const QString &text) {
        if (error)
            *error = text;
        return false;
    };
    if (!QDir().mkpath(folder))
        return fail(QStringLiteral("cannot create %1").arg(folder));
    const QDir dir(folder);
    QFile index(dir.filePath(QStringLiteral("catalogue.tsv")));
    if (!index.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(QStringLiteral("cannot write %1: %2").arg(index.fileName(), index.errorString()));
    index.write("# Demo catalogue of generated stamps.\n"
                "# picture\tcountry or issue\tcatalogue number\tdescription 1\tdescription 2\t"
                "description 3 (0001 for none)\n");
    for (int n = 1; n <= count; ++n) {
        const QString file = fileName(n);
        if (!cv::imwrite(dir.filePath(file).toStdString(), CStampGenerator::stamp(n)))
            return fail(QStringLiteral("cannot write %1").arg(dir.filePath(file)));
        index.write(QStringLiteral("%1\tDemoland\t%2\tGenerated stamp\tSeed %2\t0001\n").arg(file).arg(n).toUtf8());
    }
    if (!index.flush())
        return fail(QStringLiteral("cannot write %1").arg(index.fileName()));
    return true;
}
