#pragma once

#include "stampsignature.h"

#include <QImage>

// The full comparison of an upload with one catalogue stamp. Built once per upload, then asked
// about one catalogue picture after another.
class CStampVerifier
{
public:
    // False when the upload cannot serve as a reference (too small, featureless).
    bool setReference(const QImage &upload);
    // Whether the catalogue picture shows the same stamp; on success *score ranks it (higher is
    // better).
    bool compare(const QImage &picture, const CStampSignature &signature, int *score);

private:
    CStampSignature m_reference;
};
