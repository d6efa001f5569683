#pragma once

#include "matching/stampmatcher.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QImage>
#include <QString>
#include <QtEndian>

#include <opencv2/core.hpp>

#include <memory>
#include <vector>

namespace faiss {
struct Index;
}

// The first filter over local features: a bag of visual words with an inverted file. Each
// catalogue picture's SURF descriptors are quantised against a vocabulary learnt from the catalogue
// (FAISS k-means); a picture becomes the set of words it holds, and an upload's candidates are the
// pictures that share the most of its words, each word weighed by its rarity in the catalogue
// (tf-idf, cosine of binary word vectors). Unlike the signature, the words survive a loose frame
// that takes in the album and a neighbour, a glare spot, a small picture and a turn: a part of the
// stamp's keypoints suffices.
//
// A picture with fewer than minimumFeatures keypoints (a plain colour, a tiny picture) holds no
// words; the signature alone finds it. Searching is safe from several threads at once.
class CVisualWordIndex
{
public:
    // The strongest keypoints kept per picture: more add little but time and postings.
    static constexpr int maxFeatures = 300;
    static constexpr int minimumFeatures = 8;
    static constexpr int dimension = 64;
    // Words from which the vocabulary is searched through an inverted file over its words (FAISS's
    // IVF: the words grouped around wordsPerList-word centres, the listsProbed lists nearest a
    // descriptor searched) instead of a scan of every word. FAISS as Debian builds it computes
    // distances without vector instructions, which made the graph that older index files hold
    // the slowest part of the first filter. Against the 4096 words of 100 000 demo stamps, with
    // photos of real scans, 1 descriptor in 180 is given a near word instead of the nearest (the
    // graph: 1 in 1 700), in a third of the graph's time; the true stamp's place in the words'
    // shortlist stayed as an exact scan gives it for all 234 photos of the real scans (8 lists
    // lost one from the first 6, 16 took 1.6 times as long).
    static constexpr int invertedFileWords = 1024;
    static constexpr int wordsPerList = 32;
    static constexpr int listsProbed = 12;
    // Postings a search reads at most: past it the commonest of an upload's words are left out,
    // so that a search stays within a few milliseconds however large the catalogue. A catalogue
    // of 100 000 demo stamps reads about 1.5 million; among a million pictures it would be ten
    // times as many.
    static constexpr quint64 searchBudget = 4'000'000;
    // Rows whose scores a search adds up at a time (256 KiB of them).
    static constexpr int scoreBlockRows = 1 << 16;
    // Parts into which a quantisation or a search is cut, to be done side by side.
    static constexpr int searchParts = 4;

    struct Features
    {
        std::vector<cv::KeyPoint> keypoints;
        cv::Mat descriptors; // one CV_32F row per keypoint
    };
    // The picture's strongest keypoints, taken as the comparison takes a catalogue picture (grey,
    // shorter side 256 pixels), so that uploads and catalogue pictures are described alike.
    static Features describe(const QImage &picture);
    // The same of a picture already prepared for the comparison.
    static Features strongest(const CStampMatcher::Candidate &candidate);

    CVisualWordIndex();
    ~CVisualWordIndex();
    CVisualWordIndex(const CVisualWordIndex &) = delete;
    CVisualWordIndex &operator=(const CVisualWordIndex &) = delete;

    // The vocabulary's size for a catalogue of this many pictures.
    static int wordCountFor(int pictures);
    // Pictures whose descriptors the vocabulary is learnt from, for this many words.
    static int trainingPicturesFor(int words);
    // Learns a vocabulary of `words` words from descriptors (rows of `dimension` floats, one after
    // the other); fewer words when there are too few descriptors. False with nothing to learn from.
    bool train(const std::vector<float> &descriptors, int words);
    bool hasVocabulary() const { return m_quantiser != nullptr; }
    int wordCount() const;
    // The distinct words of a picture's descriptors, in increasing order; none for fewer than
    // minimumFeatures descriptors.
    std::vector<quint32> quantise(const cv::Mat &descriptors) const;

    // The postings: rows[n] is picture n's words. Replaces what was there.
    void setRows(const std::vector<std::vector<quint32>> &rows);
    // Picture n's words again (for rewriting the postings when rows change).
    std::vector<std::vector<quint32>> rows() const;
    int size() const { return m_rowCount; }
    // Pictures without words: found by their signature alone.
    int unindexedCount() const;

    struct Candidate
    {
        int row;
        float score; // cosine of the tf-idf word vectors, 0 to 1
    };
    // The `count` pictures sharing the most weight of words with the query, best first, with a
    // score of at least floor (the query's rarest words within searchBudget postings).
    std::vector<Candidate> search(const std::vector<quint32> &words, int count, float floor) const;

    // The vocabulary's quantiser in FAISS's serialisation, and the postings as offsets (one per
    // word and one more) and rows (32 bits each, in the host's order); the setters refuse (false,
    // with the reason) what FAISS cannot read or what does not fit.
    QByteArray vocabularyBytes() const;
    bool setVocabularyBytes(const QByteArray &bytes, QString *problem);
    const std::vector<quint64> &offsets() const { return m_offsets; }
    quint64 postingCount() const { return m_offsets.empty() ? 0 : m_offsets.back(); }
    QByteArrayView postingBytes() const { return {m_postings, qsizetype(postingCount() * sizeof(quint32))}; }
    // The postings are the bytes at `at` in `storage` (a stored file's body, kept as it is rather
    // than copied: some 80 MB at 100 000 pictures).
    bool setPostings(int rowCount, std::vector<quint64> offsets, const QByteArray &storage, qsizetype at,
                     QString *problem);

private:
    // The vocabulary: `words` rows of `dimension` values.
    void setWords(int words, const float *centres);
    void weigh();

    // The first of the postings from .. to (of one word) at or past row.
    quint64 firstPosting(quint64 from, quint64 to, quint32 row) const;
    // Posting p, read where it lies (a file's body need not place it on a 4-byte boundary).
    quint32 posting(quint64 p) const { return qFromUnaligned<quint32>(m_postings + p * sizeof(quint32)); }

    std::unique_ptr<faiss::Index> m_quantiser;
    int m_rowCount = 0;
    std::vector<quint64> m_offsets; // word w's rows: postings m_offsets[w] .. m_offsets[w + 1]
    QByteArray m_postingStorage;    // holds the postings
    const char *m_postings = nullptr; // rows, increasing within a word
    std::vector<float> m_weight;     // per word: idf squared
    std::vector<float> m_norm;       // per row: length of its tf-idf vector (0: no words)
};
