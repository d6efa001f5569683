#pragma once

#include "visualwordindex.h"
#include "matching/stampmatcher.h"

#include <QImage>
#include <QList>
#include <QStringList>

class CStampCatalogue;

// Finds the catalogue stamps shown by an upload. A cheap first filter ranks the catalogue by
// signature similarity: the catalogue's nearest-neighbour index picks candidateCount() stamps,
// whose exact similarity orders them (the whole catalogue when it is no larger, so that small
// catalogues are ranked exactly as by a scan of every signature); only the best few, and only those similar enough, get the full comparison,
// and the ones that pass are returned best first. The similarity floor also keeps out stamps that
// the full comparison alone would take for one another: generated or real stamps of one design
// family share frames, bands and lettering. The catalogue's visual words, when it has them, add
// the stamps sharing the most of the upload's local features to the shortlist, and tell by how
// many quarter turns an upload that nothing matched is turned.
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
    // Candidates the index gives per shortlisted stamp, and at least: the index's order is only
    // close to similarity()'s.
    static constexpr int candidatesPerShortlisted = 8;
    static constexpr int minimumCandidates = 64;
    // Photos of a catalogue stamp (turned up to 10 degrees, rescaled, relit, JPEG 40) score 0.73
    // and more; other stamps that the full comparison accepts score under 0.5.
    static constexpr double minimumSimilarity = 0.55;
    // The first filter over local features adds its best few to the signature's shortlist, those
    // sharing enough of the upload's words.
    static constexpr int wordShortlistSize = 6;
    static constexpr float minimumWordScore = 0.05f;
    // An upload that nothing matched is turned by the quarter turns that the keypoints it shares
    // with the best few of these agree on, and compared again.
    static constexpr int turnCandidates = 3;
    static constexpr int minimumTurnVotes = 6;
    // A stamp that only the words shortlisted has no similarity floor behind it: the comparison
    // must place it with at least this many RANSAC inliers. Photos of other generated stamps
    // sharing a frame pass the grid with 5 to 9; a real photo of the stamp has 10 and more.
    static constexpr int minimumWordInliers = 10;
    // An upload that nothing matched is compared again with a reference twice as fine (more of a
    // small or partly washed-out stamp's keypoints), for its outline's sake. The finer grid lets
    // look-alikes pass too, so there a stamp needs at least this many inliers, and this share of
    // its pairs among them.
    static constexpr int fineReferenceSide = 2 * CStampMatcher::referenceSide;
    static constexpr int minimumFineInliers = 30;
    static constexpr double minimumFineInlierShare = 0.6;

    explicit CStampRecognizer(const CStampCatalogue &catalogue);

    // How many stamps get the full comparison; 0 compares every stamp (no first filter, no floor).
    void setShortlistSize(int size) { m_shortlistSize = size; }
    int shortlistSize() const { return m_shortlistSize; }
    // The similarity a shortlisted stamp needs (minimumSimilarity by default).
    void setSimilarityFloor(double floor) { m_similarityFloor = floor; }

    // Safe to call from several threads at once: the catalogue is only read. The paths of
    // shortlisted catalogue pictures that no longer read (and so can never match) are added to
    // unreadable.
    QList<Match> recognise(const QImage &upload, QStringList *unreadable = nullptr) const;
    // The first filter alone: catalogue indexes, most similar first, at most count and at least
    // the similarity floor; with count 0 every index, in order of similarity.
    QList<int> shortlist(const QImage &upload, int count) const;

private:
    // The candidates that pass the full comparison, best first. The first signatureCount
    // candidates are the signature's; a fine comparison uses fineReferenceSide.
    QList<Match> compare(const QImage &upload, const QList<int> &candidates, int signatureCount, bool fine,
                         QStringList *unreadable) const;
    // compare(), and the fine comparison when nothing passed.
    QList<Match> compareUpload(const QImage &upload, const QList<int> &candidates, int signatureCount,
                               QStringList *unreadable) const;
    // The signature's shortlist (the first *signatureCount) joined by the first filter over local
    // features; the latter's own candidates and the upload's keypoints too.
    QList<int> candidates(const QImage &upload, QList<int> *wordCandidates, CVisualWordIndex::Features *features,
                          int *signatureCount) const;
    // The quarter turns (0 to 3) by which an upload with these keypoints shows the stamps of these
    // catalogue rows, as most of the keypoint pairs agree; 0 when they do not agree.
    int quarterTurns(const CVisualWordIndex::Features &upload, const QList<int> &rows) const;

    const CStampCatalogue &m_catalogue;
    int m_shortlistSize = defaultShortlistSize;
    double m_similarityFloor = minimumSimilarity;
};
