// The recognition server's reading of an upload: the multipart body under a boundary taken from the
// first line, and the "key" field's check.
#include "server/multipartform.h"
#include "server/recognitionserver.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype newline = input.indexOf('\n');
    const QByteArray contentType = newline < 0 ? QByteArray("multipart/form-data, boundary=AyV04a") : input.left(newline);
    const QByteArray body = newline < 0 ? input : input.mid(newline + 1);
    CMultipartForm form;
    if (form.parse(contentType, body)) {
        qsizetype total = 0;
        for (const CMultipartForm::Part &part : form.parts())
            total += part.data.size();
        if (total > body.size())
            std::abort();
        if (const CMultipartForm::Part *key = form.part("key"))
            CRecognitionServer::isValidKey(key->data);
    }
    CRecognitionServer::isValidKey(input);
    return 0;
}
