#include "stamprecognizer.h"

#include "stampcatalogue.h"
#include "stampverifier.h"

#include "matching/normalisation.h"

#include <QTransform>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <future>
#include <numeric>
#include <vector>

CStampRecognizer::CStampRecognizer(const CStampCatalogue &catalogue) : m_catalogue(catalogue)
{
}

QList<int> CStampRecognizer::shortlist(const QImage &upload, int count) const
{
    return shortlist(upload, count, m_similarityFloor, nullptr);
}

QList<int> CStampRecognizer::shortlist(const QImage &upload, int count, double floor, QList<double> *similarities) const
{
    const QList<CStampCatalogue::Entry> &entries = m_catalogue.entries();
    const CStampSignature signature = CStampSignature::fromImage(upload);
    std::vector<int> order;
    const CSignatureIndex *index = m_catalogue.signatureIndex();
    const int candidates = std::max(minimumCandidates, candidatesPerShortlisted * count);
    if (count > 0 && index && index->size() == entries.size() && candidates < entries.size()) {
        order = index->search(signature.embedding(), candidates);
    } else {
        order.resize(entries.size());
        std::iota(order.begin(), order.end(), 0);
    }
    std::vector<double> similarity(entries.size(), -2.0);
    for (int n : order)
        similarity[n] = signature.similarity(entries.at(n).signature);
    const size_t kept = count <= 0 ? order.size() : std::min(order.size(), size_t(count));
    std::partial_sort(order.begin(), order.begin() + kept, order.end(),
                      [&similarity](int a, int b) {
                          return similarity[a] > similarity[b] || (similarity[a] == similarity[b] && a < b);
                      });
    QList<int> result(order.begin(), order.begin() + kept);
    if (count > 0) {
        while (!result.isEmpty() && similarity[result.last()] < floor)
            result.removeLast();
    }
    if (similarities) {
        similarities->clear();
        for (int n : result)
            similarities->append(similarity[n]);
    }
    return result;
}

QList<int> CStampRecognizer::candidates(const QImage &upload, QList<int> *wordCandidates,
                                        CVisualWordIndex::Features *features, int *signatureCount, int *laterFrom,
                                        Prepared &prepared, QStringList *unreadable) const
{
    QList<double> similarities;
    QList<int> joined = shortlist(upload, m_shortlistSize, std::min(m_similarityFloor, minimumWeakSimilarity),
                                  &similarities);
    *signatureCount = int(std::count_if(similarities.begin(), similarities.end(),
                                        [this](double s) { return s >= m_similarityFloor; }));
    const CVisualWordIndex *words = m_catalogue.wordIndex();
    wordCandidates->clear();
    *laterFrom = int(joined.size());
    // A shortlist of 0 compares every stamp already.
    if (!words || m_shortlistSize <= 0 || words->size() != m_catalogue.size())
        return joined;
    // The signature's candidates are prepared for the comparison on a thread of their own while
    // the words are looked up and the words' first round is prepared after them: the two halves
    // of the first round's work side by side, with no thread waiting on another's share.
    QList<int> signatureRows;
    for (int row : joined)
        if (!prepared.contains(row))
            signatureRows.append(row);
    Prepared early, late;
    QStringList earlyUnreadable;
    std::future<void> preparing =
        std::async(std::launch::async, [&] { prepare(signatureRows, early, &earlyUnreadable, false); });
    *features = CVisualWordIndex::describe(upload);
    const std::vector<CVisualWordIndex::Candidate> found =
        words->search(words->quantise(features->descriptors), wordShortlistSize, minimumWordScore);
    QList<int> wordRows;
    for (size_t k = 0; k < found.size() && k < size_t(wordFirstRound); ++k)
        if (!prepared.contains(found[k].row) && !signatureRows.contains(found[k].row))
            wordRows.append(found[k].row);
    prepare(wordRows, late, unreadable, false);
    preparing.get();
    prepared.insert(early);
    prepared.insert(late);
    if (unreadable)
        unreadable->append(earlyUnreadable);
    for (const CVisualWordIndex::Candidate &candidate : found) {
        if (wordCandidates->size() == wordFirstRound)
            *laterFrom = int(joined.size());
        wordCandidates->append(candidate.row);
        if (!joined.contains(candidate.row))
            joined.append(candidate.row);
    }
    if (wordCandidates->size() <= wordFirstRound)
        *laterFrom = int(joined.size());
    return joined;
}

namespace {

// The share of the catalogue picture that the upload's compared part covers, as placed.
double coverOf(const CMatchEvidence &evidence, cv::Size picture)
{
    if (evidence.outline.size() != 4 || picture.empty())
        return 0;
    double twiceArea = 0;
    for (int k = 0; k < 4; ++k) {
        const QPointF &a = evidence.outline.at(k), &b = evidence.outline.at((k + 1) % 4);
        twiceArea += a.x() * b.y() - b.x() * a.y();
    }
    return std::abs(twiceArea) / 2.0 / (double(picture.width) * picture.height);
}

// How many cells of a grid x grid division of the compared part hold an inlier.
int spreadOf(const CMatchEvidence &evidence, int grid)
{
    std::vector<bool> hit(size_t(grid * grid), false);
    const QRectF &box = evidence.compared;
    if (box.width() <= 0 || box.height() <= 0)
        return 0;
    for (const QPointF &p : evidence.referencePoints) {
        const int x = std::clamp(int((p.x() - box.left()) / box.width() * grid), 0, grid - 1);
        const int y = std::clamp(int((p.y() - box.top()) / box.height() * grid), 0, grid - 1);
        hit[size_t(y * grid + x)] = true;
    }
    return int(std::count(hit.begin(), hit.end(), true));
}

} // namespace

void CStampRecognizer::prepare(const QList<int> &rows, Prepared &prepared, QStringList *unreadable,
                               bool sideBySide) const
{
    QList<int> missing;
    for (int row : rows)
        if (!prepared.contains(row) && !missing.contains(row))
            missing.append(row);
    std::vector<CStampMatcher::Candidate> done(size_t(missing.size()));
    std::vector<char> unread(size_t(missing.size()), 0);
    const auto prepareRange = [&](const cv::Range &range) {
        CSurf surf;
        for (int k = range.start; k < range.end; ++k) {
            const QImage picture = m_catalogue.entries().at(missing.at(k)).loadPicture();
            unread[size_t(k)] = picture.isNull();
            done[size_t(k)] = CStampMatcher::prepareCandidate(toColorImage(picture), surf);
        }
    };
    // A recognition on an idle server gets every core; on a busy one OpenCV's pool is shared by
    // the recognitions in flight, each of which waits only for its own pictures.
    if (sideBySide)
        cv::parallel_for_(cv::Range(0, int(missing.size())), prepareRange, double(missing.size()));
    else
        prepareRange(cv::Range(0, int(missing.size())));
    for (int k = 0; k < missing.size(); ++k) {
        if (unread[size_t(k)] && unreadable)
            unreadable->append(m_catalogue.entries().at(missing.at(k)).picturePath());
        prepared.insert(missing.at(k), std::move(done[size_t(k)]));
    }
}

QList<CStampRecognizer::Match> CStampRecognizer::compare(const QImage &upload, const QList<int> &candidates,
                                                         int signatureCount, bool fine, Prepared &prepared,
                                                         QStringList *unreadable) const
{
    struct Passed
    {
        Match match;
        int inliers;
        bool firm; // passed the rule of its pass on its own
        int pairs, agreeingCells, cells, spread;
    };
    std::vector<Passed> passed;
    CStampVerifier verifier;
    if (!verifier.setReference(upload, fine ? fineReferenceSide : CStampMatcher::referenceSide))
        return {};
    prepare(candidates, prepared, unreadable);
    for (int n = 0; n < candidates.size(); ++n) {
        const CStampMatcher::Candidate &candidate = prepared[candidates.at(n)];
        int score = 0;
        if (!verifier.compare(candidate, &score))
            continue;
        const CMatchEvidence &evidence = verifier.evidence();
        if (coverOf(evidence, candidate.size) < minimumCover)
            continue;
        const bool firm = fine ? evidence.inliers >= minimumFineInliers
                                     && evidence.inliers >= minimumFineInlierShare * evidence.pairs
                               : n < signatureCount || evidence.inliers >= minimumWordInliers;
        if (!firm && !fine)
            continue;
        passed.push_back({{candidates.at(n), score}, evidence.inliers, firm, evidence.pairs, evidence.agreeingCells,
                          evidence.cells, spreadOf(evidence, spreadGrid)});
    }
    // Best first; equal scores keep the first filter's order. The fine grid's cells say less
    // between look-alikes than the inliers do, so those rank the fine comparison's matches.
    std::stable_sort(passed.begin(), passed.end(), [fine](const Passed &a, const Passed &b) {
        return fine ? a.inliers > b.inliers : a.match.score > b.match.score;
    });
    if (!fine && passed.size() > 1) {
        const auto most = std::max_element(passed.begin(), passed.end(),
                                           [](const Passed &a, const Passed &b) { return a.inliers < b.inliers; });
        if (most->inliers >= clearlyMoreInliers * passed.front().inliers)
            std::rotate(passed.begin(), most, most + 1);
    }
    if (fine && !passed.empty()) {
        Passed &best = passed.front();
        const int next = passed.size() > 1 ? passed.at(1).inliers : 0;
        if (best.inliers < fineMargin * next)
            return {};
        if (!best.firm)
            best.firm = best.spread >= clearSpreadCells
                && ((best.inliers >= clearInliers && best.inliers >= clearInlierShare * best.pairs)
                    || (best.inliers >= clearAgreementInliers && best.agreeingCells >= clearAgreement * best.cells));
    }
    QList<Match> matches;
    for (const Passed &p : passed) {
        if (p.firm)
            matches.append(p.match);
    }
    if (matches.size() > maxMatches)
        matches.resize(maxMatches);
    return matches;
}

std::array<int, 4> CStampRecognizer::turnVotes(const CVisualWordIndex::Features &features, int row,
                                               Prepared &prepared) const
{
    prepare({row}, prepared, nullptr);
    const CVisualWordIndex::Features stamp = CVisualWordIndex::strongest(prepared[row]);
    std::array<int, 4> votes{};
    for (const auto &[i, j] : CStampMatcher::collectPairs(features.keypoints, features.descriptors, stamp.keypoints,
                                                         stamp.descriptors)) {
        const double turn = features.keypoints[size_t(i)].angle - stamp.keypoints[size_t(j)].angle;
        ++votes[size_t((int(std::lround(turn / 90.0)) % 4 + 4) % 4)];
    }
    return votes;
}

int CStampRecognizer::ownTurn(const std::array<int, 4> &votes)
{
    const int total = std::accumulate(votes.begin(), votes.end(), 0);
    const int best = int(std::max_element(votes.begin(), votes.end()) - votes.begin());
    const int agree = votes[size_t(best)];
    return agree >= minimumOwnTurnVotes && agree >= minimumOwnTurnShare * total ? best : -1;
}

int CStampRecognizer::quarterTurns(const CVisualWordIndex::Features &features, const QList<int> &rows,
                                   std::array<QList<int>, 4> *agreeing, Prepared &prepared) const
{
    std::array<int, 4> votes{};
    int ownTurns = 0, ownStrongest = 0;
    const QList<int> first = rows.mid(0, turnCandidates);
    prepare(first, prepared, nullptr);
    for (int row : first) {
        const std::array<int, 4> own = turnVotes(features, row, prepared);
        const int turn = ownTurn(own);
        if (turn >= 0) {
            (*agreeing)[size_t(turn)].append(row);
            if (own[size_t(turn)] > ownStrongest) {
                ownStrongest = own[size_t(turn)];
                ownTurns = turn;
            }
        }
        for (size_t k = 0; k < 4; ++k)
            votes[k] += own[k];
    }
    const int total = std::accumulate(votes.begin(), votes.end(), 0);
    const int best = int(std::max_element(votes.begin(), votes.end()) - votes.begin());
    return votes[size_t(best)] >= minimumTurnVotes && 2 * votes[size_t(best)] > total ? best : ownTurns;
}

QImage CStampRecognizer::framedToPairs(const QImage &upload, const CVisualWordIndex::Features &features, int row,
                                       Prepared &prepared) const
{
    if (features.keypoints.empty() || upload.isNull())
        return {};
    prepare({row}, prepared, nullptr);
    const CVisualWordIndex::Features stamp = CVisualWordIndex::strongest(prepared[row]);
    std::vector<cv::Point2f> points;
    for (const auto &[i, j] : CStampMatcher::collectPairs(features.keypoints, features.descriptors, stamp.keypoints,
                                                         stamp.descriptors)) {
        const double turn = features.keypoints[size_t(i)].angle - stamp.keypoints[size_t(j)].angle;
        if ((int(std::lround(turn / 90.0)) % 4 + 4) % 4 == 0)
            points.push_back(features.keypoints[size_t(i)].pt);
    }
    if (int(points.size()) < minimumOwnTurnVotes)
        return {};
    // The keypoints were found at a shorter side of 256 pixels.
    const double k = std::min(upload.width(), upload.height()) / 256.0;
    const cv::Rect2f box = cv::boundingRect(points);
    const double grow = framingMargin * std::max(box.width, box.height);
    const QRect frame = QRect(QPoint(int((box.x - grow) * k), int((box.y - grow) * k)),
                              QPoint(int((box.x + box.width + grow) * k), int((box.y + box.height + grow) * k)))
                            .intersected(upload.rect());
    if (double(frame.width()) * frame.height() > maximumFramedShare * upload.width() * upload.height())
        return {};
    return upload.copy(frame);
}

bool CStampRecognizer::outplaced(const QImage &upload, int answer, int rival, Prepared &prepared) const
{
    CStampVerifier verifier;
    if (!verifier.setReference(upload, fineReferenceSide))
        return false;
    prepare({answer, rival}, prepared, nullptr);
    const auto inliers = [&verifier, &prepared](int row) {
        const CStampMatcher::Candidate &candidate = prepared[row];
        int score = 0;
        if (!verifier.compare(candidate, &score) || coverOf(verifier.evidence(), candidate.size) < minimumCover)
            return 0;
        return verifier.evidence().inliers;
    };
    return inliers(rival) > inliers(answer);
}

QList<CStampRecognizer::Match> CStampRecognizer::compareUpload(const QImage &upload, const QList<int> &candidates,
                                                               int signatureCount, int laterFrom, int wordsBest,
                                                               bool *declined, Prepared &prepared,
                                                               QStringList *unreadable) const
{
    *declined = false;
    QList<Match> matches = compare(upload, candidates.mid(0, laterFrom), signatureCount, false, prepared, unreadable);
    if (matches.isEmpty() && laterFrom < candidates.size())
        matches = compare(upload, candidates.mid(laterFrom), 0, false, prepared, unreadable);
    if (matches.isEmpty())
        return compare(upload, candidates, signatureCount, true, prepared, unreadable);
    const auto passed = [&matches](int row) {
        return std::any_of(matches.begin(), matches.end(), [row](const Match &m) { return m.index == row; });
    };
    if (wordsBest >= 0 && !passed(wordsBest) && outplaced(upload, matches.first().index, wordsBest, prepared)) {
        *declined = true;
        return {};
    }
    return matches;
}

QList<CStampRecognizer::Match> CStampRecognizer::recognise(const QImage &upload, QStringList *unreadable) const
{
    QList<int> wordCandidates;
    CVisualWordIndex::Features features;
    int signatureCount = 0, laterFrom = 0;
    bool declined = false;
    Prepared prepared;
    const QList<int> first =
        candidates(upload, &wordCandidates, &features, &signatureCount, &laterFrom, prepared, unreadable);
    QList<Match> matches = compareUpload(upload, first, signatureCount, laterFrom, wordCandidates.value(0, -1),
                                         &declined, prepared, unreadable);
    if (!matches.isEmpty() || declined || wordCandidates.isEmpty())
        return matches;
    // The comparison takes only uploads turned a little; one turned by a quarter, a half or three
    // quarters is turned back by what its keypoints' orientations say, and compared again.
    std::array<QList<int>, 4> agreeing;
    const int turns = quarterTurns(features, wordCandidates, &agreeing, prepared);
    const QImage upright = turns != 0 ? upload.transformed(QTransform().rotate(-90.0 * turns)) : upload;
    QList<int> uprightWords = wordCandidates;
    CVisualWordIndex::Features uprightFeatures = features;
    if (turns != 0) {
        const QList<int> again =
            candidates(upright, &uprightWords, &uprightFeatures, &signatureCount, &laterFrom, prepared, unreadable);
        matches = compareUpload(upright, again, signatureCount, laterFrom, uprightWords.value(0, -1), &declined,
                                prepared, unreadable);
        if (!matches.isEmpty() || declined)
            return matches;
    }
    // Framed loosely, the album around the stamp may fill so much of the compared part that the
    // grid disagrees: framed to the stamp, the upload is compared again with the words' best.
    if (!uprightWords.isEmpty()) {
        const QImage framed = framedToPairs(upright, uprightFeatures, uprightWords.first(), prepared);
        if (!framed.isNull()) {
            matches = compare(framed, uprightWords.mid(0, 1), 0, false, prepared, unreadable);
            if (!matches.isEmpty())
                return matches;
        }
    }
    // The turns that the pairs did not decide on: the stamp may be one the words rank lower (whose
    // own pairs agree on a turn), one they miss but the signature of the upload so turned finds, or
    // the words' best itself, whose pairs scatter over the turns (a half-turned photo's true stamp
    // gave 12, 7, 27 and 8 pairs). No agreement of many pairs stands behind such a turn, so a stamp
    // needs the words' inliers.
    const QList<int> later = wordCandidates.mid(turnCandidates);
    prepare(later, prepared, nullptr);
    for (int row : later) {
        const int turn = ownTurn(turnVotes(features, row, prepared));
        if (turn > 0)
            agreeing[size_t(turn)].append(row);
    }
    for (int t = 1; t < 4; ++t) {
        if (t == turns)
            continue;
        const QImage turned = upload.transformed(QTransform().rotate(-90.0 * t));
        QList<int> rows =
            shortlist(turned, m_shortlistSize, std::min(m_similarityFloor, minimumWeakSimilarity), nullptr);
        for (int row : agreeing[size_t(t)] + wordCandidates.mid(0, 1)) {
            if (!rows.contains(row))
                rows.append(row);
        }
        if (rows.isEmpty())
            continue;
        matches = compare(turned, rows, 0, false, prepared, unreadable);
        if (!matches.isEmpty())
            return matches;
    }
    return {};
}
