#pragma once

#include "matching/stampmatcher.h"

#include <QImage>

// The full comparison of an upload with one catalogue stamp, by the program's own stamp matcher:
// the upload is the reference, each catalogue picture a candidate. Built once per upload, then
// asked about one catalogue picture after another; one object per thread.
class CStampVerifier
{
public:
    // False when the upload cannot serve as a reference (too small, featureless). `side` is the
    // reference image's shorter side (see CStampMatcher).
    bool setReference(const QImage &upload, int side = CStampMatcher::referenceSide);
    // Whether the catalogue picture, prepared for the comparison, shows the same stamp; on success
    // *score is the number of agreeing grid cells (higher is better).
    bool compare(const CStampMatcher::Candidate &picture, int *score);
    // What the last accepted comparison saw (its inliers and pairs among it).
    const CMatchEvidence &evidence() const { return m_matcher.evidence(); }

private:
    CStampMatcher m_matcher;
};
