// ".lng" files: any bytes load as a table without crash; every key found translates.
#include "app/translationtable.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("fuzz.lng"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();
    CTranslationTable table;
    table.load(path);
    if (table.size() < 0 || qsizetype(table.size()) > qsizetype(size))
        std::abort(); // an entry takes at least a line of its own
    table.tr(QStringLiteral("Search"));
    return 0;
}
