// The argument list a later start hands over: any bytes decode to at most what they hold.
#include "app/argumentdatagram.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray payload = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    qsizetype characters = 0;
    for (const QString &argument : CArgumentDatagram::decode(payload))
        characters += argument.size();
    if (characters * 2 > qsizetype(size))
        std::abort(); // more text than the payload holds
    return 0;
}
