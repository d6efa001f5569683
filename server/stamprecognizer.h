#pragma once

#include "visualwordindex.h"
#include "matching/stampmatcher.h"

#include <QHash>
#include <QImage>
#include <QList>
#include <QStringList>

#include <array>

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
    // Photos taken loosely framed, glared or small score a little lower; down to this the
    // signature's shortlist still offers a stamp, which the comparison must then place as firmly as
    // one the words offered (minimumWordInliers).
    static constexpr double minimumWeakSimilarity = 0.45;
    // The comparison ranks the stamps that pass by their agreeing grid cells; a stamp placed with
    // this many times the inliers of the first goes before it all the same: stamps of one issue
    // share frame and lettering and agree in as many cells, but only the stamp itself is placed by
    // its whole design.
    static constexpr double clearlyMoreInliers = 1.5;
    // The first filter over local features adds its best few to the signature's shortlist, those
    // sharing enough of the upload's words. Photos of generated stamps, which share frames and
    // lettering with many others, rank their own stamp as low as 9th among 2 000 stamps and, small
    // and glared, 43rd and 45th among 20 000; those past the first wordFirstRound are compared only
    // when none of the others passed, at no cost to the rest (an upload that nothing matches pays
    // for preparing them all).
    static constexpr int wordShortlistSize = 50;
    static constexpr int wordFirstRound = 6;
    static constexpr float minimumWordScore = 0.05f;
    // An upload that nothing matched is turned by the quarter turns that the keypoints it shares
    // with the best few of these agree on, and compared again. When their pairs pooled do not
    // agree, one picture's pairs alone may: the stamp itself gives 18 to 110 pairs, nearly all
    // agreeing, while other pictures give a few scattered over the turns, which pooled with the
    // stamp's own can take away their majority.
    static constexpr int turnCandidates = 3;
    static constexpr int minimumTurnVotes = 6;
    static constexpr int minimumOwnTurnVotes = 12;
    static constexpr double minimumOwnTurnShare = 2.0 / 3.0;
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
    // The fine comparison answers only when its best stamp has at least twice the inliers of the
    // next: generated stamps sharing a frame pass it with 20 to 35 inliers side by side. It also
    // takes that best stamp placed with fewer inliers when its inliers spread over the design (at
    // least clearSpreadCells of the 4 x 4 cells of the compared part, where a shared frame and
    // lettering fill 2 to 5) and either clearInliers make clearInlierShare of its pairs or, for a
    // sheetlet whose many small details pair loosely, clearAgreement of the grid's cells agree
    // (other stamps agree in at most 0.86).
    static constexpr int fineMargin = 2;
    static constexpr int spreadGrid = 4;
    static constexpr int clearSpreadCells = 6;
    static constexpr int clearInliers = 16;
    static constexpr double clearInlierShare = 0.7;
    static constexpr int clearAgreementInliers = 10;
    static constexpr double clearAgreement = 0.88;
    // A catalogue picture of which the upload covers less than this share, as the comparison places
    // it, shows more than the upload: a sheetlet, a block or a booklet pane holding the
    // photographed stamp, not the stamp itself. Photos of the stamp itself, framed loosely or
    // tightly, cover 0.9 to 2.1 of it.
    static constexpr double minimumCover = 0.4;
    // An upload that nothing matched may be framed so loosely that the album around the stamp
    // fills most of the compared part and the grid disagrees. It is compared again, with the words'
    // best stamp only, framed to its keypoints that pair with that stamp's, grown by this share of
    // their extent on each side (the comparison leaves out a tenth of each side); only when that
    // frame keeps at most maximumFramedShare of the upload, since a tighter one gains nothing.
    static constexpr double framingMargin = 0.2;
    static constexpr double maximumFramedShare = 0.7;

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
    // shortlist() with this floor; *similarities, when given, gets each one's similarity.
    QList<int> shortlist(const QImage &upload, int count, double floor, QList<double> *similarities) const;
    // Catalogue pictures prepared for the comparison during one recognition, by row: the
    // comparison's passes and the turn look at the same pictures, and preparing is most of the work.
    using Prepared = QHash<int, CStampMatcher::Candidate>;
    // Prepares the rows not prepared yet, side by side on OpenCV's threads or one after another on
    // this one; the paths of those whose pictures no longer read are added to unreadable.
    void prepare(const QList<int> &rows, Prepared &prepared, QStringList *unreadable, bool sideBySide = true) const;
    // The candidates that pass the full comparison, best first. The first signatureCount
    // candidates are the signature's, similar enough to need no more; a fine comparison uses
    // fineReferenceSide.
    QList<Match> compare(const QImage &upload, const QList<int> &candidates, int signatureCount, bool fine,
                         Prepared &prepared, QStringList *unreadable) const;
    // compare() of the candidates before laterFrom, then of the rest, then the fine comparison of
    // all, each only when nothing passed before. An answer of the first two that leaves out the
    // stamp the words rank first (wordsBest, -1 for none) stands only when that stamp is not
    // outplaced() by it; otherwise nothing is answered and *declined is set.
    QList<Match> compareUpload(const QImage &upload, const QList<int> &candidates, int signatureCount, int laterFrom,
                               int wordsBest, bool *declined, Prepared &prepared, QStringList *unreadable) const;
    // Whether the fine comparison places the catalogue row rival with more inliers than answer.
    // Stamps of one issue share so much (one artwork cropped otherwise, the same portrait in
    // another frame) that the usual comparison can take a sister for the photographed stamp while
    // turning down the stamp itself, which the words rank first; the finer reference places the
    // stamp by more of its keypoints than the sister.
    bool outplaced(const QImage &upload, int answer, int rival, Prepared &prepared) const;
    // The part of the upload around its keypoints (described as features) that pair, unturned,
    // with those of the catalogue row, grown by framingMargin of their extent on each side; null
    // when fewer than minimumOwnTurnVotes pair or when it would keep more than maximumFramedShare.
    QImage framedToPairs(const QImage &upload, const CVisualWordIndex::Features &features, int row,
                         Prepared &prepared) const;
    // The signature's shortlist (the first *signatureCount, then those down to
    // minimumWeakSimilarity) joined by the first filter over local features; the latter's own
    // candidates, the upload's keypoints and where the words past wordFirstRound begin too. The
    // signature's candidates come back prepared.
    QList<int> candidates(const QImage &upload, QList<int> *wordCandidates, CVisualWordIndex::Features *features,
                          int *signatureCount, int *laterFrom, Prepared &prepared, QStringList *unreadable) const;
    // The quarter turns (0 to 3) by which an upload with these keypoints shows the stamps of the
    // first turnCandidates of these catalogue rows, as most of their pairs agree, or else as one
    // row's ownTurn(); 0 when they do not agree. Each of those rows with an ownTurn() is added to
    // (*agreeing)[turn].
    int quarterTurns(const CVisualWordIndex::Features &upload, const QList<int> &rows,
                     std::array<QList<int>, 4> *agreeing, Prepared &prepared) const;
    // How many of the upload's keypoint pairs with the catalogue row's are turned by no, one, two
    // and three quarter turns.
    std::array<int, 4> turnVotes(const CVisualWordIndex::Features &upload, int row, Prepared &prepared) const;
    // The turn that nearly all of one row's pairs agree on (minimumOwnTurnVotes of them, and
    // minimumOwnTurnShare), or -1.
    static int ownTurn(const std::array<int, 4> &votes);

    const CStampCatalogue &m_catalogue;
    int m_shortlistSize = defaultShortlistSize;
    double m_similarityFloor = minimumSimilarity;
};
