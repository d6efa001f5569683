#include "stampverifier.h"

bool CStampVerifier::setReference(const QImage &upload, int side)
{
    m_matcher.setReference(upload.convertToFormat(QImage::Format_RGB32), side);
    return m_matcher.hasReference();
}

bool CStampVerifier::compare(const QImage &picture, int *score)
{
    if (picture.isNull() || !m_matcher.compareImage(picture))
        return false;
    if (score)
        *score = m_matcher.agreeCount();
    return true;
}
