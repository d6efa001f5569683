#include "stampverifier.h"

bool CStampVerifier::setReference(const QImage &upload, int side)
{
    m_matcher.setReference(upload.convertToFormat(QImage::Format_RGB32), side);
    return m_matcher.hasReference();
}

bool CStampVerifier::compare(const CStampMatcher::Candidate &picture, int *score)
{
    if (!m_matcher.compareCandidate(picture))
        return false;
    if (score)
        *score = m_matcher.agreeCount();
    return true;
}
