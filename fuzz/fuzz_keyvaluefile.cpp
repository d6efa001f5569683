// config.cfg and hosts.cfg: any bytes read as entries; what is read out parses back as read.
#include "sites/keyvaluefile.h"

#include <QBuffer>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    for (const auto &[key, value] : KeyValueFile::read(buffer)) {
        QString again, valueAgain;
        if (!KeyValueFile::parseLine(key + QStringLiteral(" = ") + value, &again, &valueAgain) || again != key
            || valueAgain != value)
            std::abort();
    }
    return 0;
}
