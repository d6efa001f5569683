#include "stamprecognizer.h"

#include "stampcatalogue.h"
#include "stampverifier.h"

#include <algorithm>
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

QList<CStampRecognizer::Match> CStampRecognizer::recognise(const QImage &upload, QStringList *unreadable) const
{
    QList<Match> matches;
    CStampVerifier verifier;
    if (!verifier.setReference(upload))
        return matches;
    const QList<int> candidates = shortlist(upload, m_shortlistSize);
    for (int index : candidates) {
        const CStampCatalogue::Entry &entry = m_catalogue.entries().at(index);
        int score = 0;
        const QImage picture = entry.loadPicture();
        if (picture.isNull() && unreadable)
            unreadable->append(entry.picturePath());
        if (verifier.compare(picture, &score))
            matches.append({index, score});
    }
    // Best first; equal scores keep the first filter's order.
    std::stable_sort(matches.begin(), matches.end(),
                     [](const Match &a, const Match &b) { return a.score > b.score; });
    if (matches.size() > maxMatches)
        matches.resize(maxMatches);
    return matches;
}
