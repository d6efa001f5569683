#pragma once

#include <QImage>
#include <QList>

class CStampCatalogue;

// Finds the catalogue stamps shown by an upload. A cheap first filter ranks the whole catalogue by
// signature similarity; only the best few get the full comparison, and the ones that pass are
// returned best first.
class CStampRecognizer
{
public:
    struct Match
    {
        int index; // into the catalogue's entries
        int score;
    };

    static constexpr int defaultShortlistSize = 8;
    static constexpr int maxMatches = 10;

    explicit CStampRecognizer(const CStampCatalogue &catalogue);

    // How many stamps get the full comparison; 0 compares every stamp (no first filter).
    void setShortlistSize(int size) { m_shortlistSize = size; }
    int shortlistSize() const { return m_shortlistSize; }

    // Safe to call from several threads at once: the catalogue is only read.
    QList<Match> recognise(const QImage &upload) const;
    // The first filter alone: catalogue indexes, most similar first, at most count (0: all).
    QList<int> shortlist(const QImage &upload, int count) const;

private:
    const CStampCatalogue &m_catalogue;
    int m_shortlistSize = defaultShortlistSize;
};
