#include "stamprecognizer.h"

#include "stampcatalogue.h"
#include "stampverifier.h"

#include <QTransform>

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <vector>

CStampRecognizer::CStampRecognizer(const CStampCatalogue &catalogue) : m_catalogue(catalogue)
{
}

QList<int> CStampRecognizer::shortlist(const QImage &upload, int count) const
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
        while (!result.isEmpty() && similarity[result.last()] < m_similarityFloor)
            result.removeLast();
    }
    return result;
}

QList<int> CStampRecognizer::candidates(const QImage &upload, QList<int> *wordCandidates,
                                        CVisualWordIndex::Features *features, int *signatureCount) const
{
    QList<int> joined = shortlist(upload, m_shortlistSize);
    *signatureCount = int(joined.size());
    const CVisualWordIndex *words = m_catalogue.wordIndex();
    wordCandidates->clear();
    // A shortlist of 0 compares every stamp already.
    if (!words || m_shortlistSize <= 0 || words->size() != m_catalogue.size())
        return joined;
    *features = CVisualWordIndex::describe(upload);
    for (const CVisualWordIndex::Candidate &candidate :
         words->search(words->quantise(features->descriptors), wordShortlistSize, minimumWordScore)) {
        wordCandidates->append(candidate.row);
        if (!joined.contains(candidate.row))
            joined.append(candidate.row);
    }
    return joined;
}

QList<CStampRecognizer::Match> CStampRecognizer::compare(const QImage &upload, const QList<int> &candidates,
                                                         int signatureCount, bool fine, QStringList *unreadable) const
{
    struct Passed
    {
        Match match;
        int inliers;
    };
    std::vector<Passed> passed;
    CStampVerifier verifier;
    if (!verifier.setReference(upload, fine ? fineReferenceSide : CStampMatcher::referenceSide))
        return {};
    for (int n = 0; n < candidates.size(); ++n) {
        const CStampCatalogue::Entry &entry = m_catalogue.entries().at(candidates.at(n));
        int score = 0;
        const QImage picture = entry.loadPicture();
        if (picture.isNull() && unreadable && !fine)
            unreadable->append(entry.picturePath());
        if (!verifier.compare(picture, &score))
            continue;
        const CMatchEvidence &evidence = verifier.evidence();
        if (fine ? evidence.inliers < minimumFineInliers || evidence.inliers < minimumFineInlierShare * evidence.pairs
                 : n >= signatureCount && evidence.inliers < minimumWordInliers)
            continue;
        passed.push_back({{candidates.at(n), score}, evidence.inliers});
    }
    // Best first; equal scores keep the first filter's order. The fine grid's cells say less
    // between look-alikes than the inliers do, so those rank the fine comparison's matches.
    std::stable_sort(passed.begin(), passed.end(), [fine](const Passed &a, const Passed &b) {
        return fine ? a.inliers > b.inliers : a.match.score > b.match.score;
    });
    QList<Match> matches;
    for (const Passed &p : passed)
        matches.append(p.match);
    if (matches.size() > maxMatches)
        matches.resize(maxMatches);
    return matches;
}

int CStampRecognizer::quarterTurns(const CVisualWordIndex::Features &features, const QList<int> &rows) const
{
    std::array<int, 4> votes{};
    for (int row : rows.mid(0, turnCandidates)) {
        const CVisualWordIndex::Features stamp = CVisualWordIndex::describe(m_catalogue.entries().at(row).loadPicture());
        for (const auto &[i, j] : CStampMatcher::collectPairs(features.keypoints, features.descriptors,
                                                             stamp.keypoints, stamp.descriptors)) {
            const double turn = features.keypoints[size_t(i)].angle - stamp.keypoints[size_t(j)].angle;
            ++votes[size_t((int(std::lround(turn / 90.0)) % 4 + 4) % 4)];
        }
    }
    const int total = std::accumulate(votes.begin(), votes.end(), 0);
    const int best = int(std::max_element(votes.begin(), votes.end()) - votes.begin());
    return votes[size_t(best)] >= minimumTurnVotes && 2 * votes[size_t(best)] > total ? best : 0;
}

QList<CStampRecognizer::Match> CStampRecognizer::compareUpload(const QImage &upload, const QList<int> &candidates,
                                                               int signatureCount, QStringList *unreadable) const
{
    const QList<Match> matches = compare(upload, candidates, signatureCount, false, unreadable);
    return matches.isEmpty() ? compare(upload, candidates, signatureCount, true, unreadable) : matches;
}

QList<CStampRecognizer::Match> CStampRecognizer::recognise(const QImage &upload, QStringList *unreadable) const
{
    QList<int> wordCandidates;
    CVisualWordIndex::Features features;
    int signatureCount = 0;
    const QList<int> first = candidates(upload, &wordCandidates, &features, &signatureCount);
    const QList<Match> matches = compareUpload(upload, first, signatureCount, unreadable);
    if (!matches.isEmpty() || wordCandidates.isEmpty())
        return matches;
    // The comparison takes only uploads turned a little; one turned by a quarter, a half or three
    // quarters is turned back by what its keypoints' orientations say, and compared again.
    const int turns = quarterTurns(features, wordCandidates);
    if (turns == 0)
        return matches;
    const QImage upright = upload.transformed(QTransform().rotate(-90.0 * turns));
    const QList<int> again = candidates(upright, &wordCandidates, &features, &signatureCount);
    return compareUpload(upright, again, signatureCount, unreadable);
}
