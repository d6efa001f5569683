#include "stampverifier.h"

namespace {
constexpr double minimumSimilarity = 0.75;
}

bool CStampVerifier::setReference(const QImage &upload)
{
    m_reference = CStampSignature::fromImage(upload);
    return m_reference.isValid();
}

bool CStampVerifier::compare(const QImage &picture, const CStampSignature &signature, int *score)
{
    Q_UNUSED(picture);
    const double similarity = m_reference.similarity(signature);
    if (similarity < minimumSimilarity)
        return false;
    if (score)
        *score = int(similarity * 1000);
    return true;
}
