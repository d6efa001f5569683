// The recognition server's answer as the client reads it: any bytes deciphered (as letters, the
// first four dropped) and read by the answer grammar give a message or keywords, never a crash.
#include "search/pc1cipher.h"
#include "search/recognitionanswer.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray letters(reinterpret_cast<const char *>(data), qsizetype(size));
    CPc1Cipher cipher;
    cipher.setLength(int(letters.size()));
    const QString text = QString::fromUtf8(cipher.decryptText(letters).mid(4));
    const CRecognitionAnswer answer = CRecognitionAnswer::parse(text);
    if (answer.isGood() == !answer.message().isEmpty())
        std::abort();
    // The same bytes as a plain answer, too.
    CRecognitionAnswer::parse(QString::fromLatin1(letters));
    qint64 count = 0;
    CRecognitionAnswer::readIndexedCount(text, &count);
    return 0;
}
