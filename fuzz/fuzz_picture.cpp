// Pictures as the workers decode them (the format read from the data, a header declaring too much
// refused before decoding): never a crash, never a picture over the limits.
#include "matching/loadthreadimg.h"
#include "matching/stampgenerator.h"
#include "matching/stampmatcher.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QImage picture = CLoadThreadImg::decode(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (picture.isNull())
        return 0;
    if (picture.width() > CLoadThreadImg::maxPictureSide || picture.height() > CLoadThreadImg::maxPictureSide)
        std::abort();
    // And compared, as a worker would once it is large enough.
    static CStampMatcher *matcher = [] {
        auto *model = new CStampMatcher;
        model->setReference(CStampGenerator::toImage(CStampGenerator::stamp(3)));
        return model;
    }();
    if (picture.width() >= CLoadThreadImg::minPictureSide && picture.height() >= CLoadThreadImg::minPictureSide)
        matcher->compareImage(picture.convertToFormat(QImage::Format_RGB32));
    return 0;
}
