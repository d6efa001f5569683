#include "visualwordindex.h"

#include "matching/normalisation.h"
#include "matching/surf.h"

#include <faiss/Clustering.h>
#include <faiss/IndexFlat.h>
#include <faiss/IndexHNSW.h>
#include <faiss/IndexIVFFlat.h>
#include <faiss/impl/io.h>
#include <faiss/index_io.h>
#include <faiss/utils/distances.h>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <mutex>

namespace {

// k-means over at most this many descriptors per word (FAISS samples them); enough for words
// that hold still from one training to the next, and a 2000-stamp catalogue learns in seconds.
constexpr int trainingPointsPerWord = 16;
constexpr int fewestPointsPerWord = 8;
constexpr int trainingIterations = 8;
// k-means rounds for the inverted file's centres over the words: a few suffice, since the
// words are themselves spread by k-means.
constexpr int listTrainingIterations = 10;

} // namespace

CVisualWordIndex::CVisualWordIndex()
{
    // Debian's FAISS computes many distances at once through the reference BLAS, which is slower
    // for these sizes (a few hundred descriptors against a few thousand words; k-means over a
    // few hundred thousand) than FAISS's own vectorised loops, taken below this many queries.
    static std::once_flag once;
    std::call_once(once, [] { faiss::distance_compute_blas_threshold = std::numeric_limits<int>::max(); });
}
CVisualWordIndex::~CVisualWordIndex() = default;

CVisualWordIndex::Features CVisualWordIndex::describe(const QImage &picture)
{
    CSurf surf;
    return strongest(CStampMatcher::prepareCandidate(toColorImage(picture), surf));
}

CVisualWordIndex::Features CVisualWordIndex::strongest(const CStampMatcher::Candidate &candidate)
{
    Features features;
    if (candidate.refused != CStampMatcher::Stage::Accepted)
        return features;
    // Strongest first: the weakest are the first to change with light and compression.
    const int kept = std::min(int(candidate.keypoints.size()), maxFeatures);
    features.keypoints.assign(candidate.keypoints.begin(), candidate.keypoints.begin() + kept);
    features.descriptors = candidate.descriptors.rowRange(0, kept).clone();
    return features;
}

int CVisualWordIndex::wordCountFor(int pictures)
{
    // Words rare enough to tell pictures apart: a small catalogue gets as many as its descriptors
    // allow (train() takes fewer when they do not); 4096 from 160 pictures on, which k-means
    // learns in about a minute of one core (FAISS's own loops; more would take far longer).
    int words = 64;
    while (words < 4096 && words < 25 * pictures)
        words *= 2;
    return words;
}

int CVisualWordIndex::trainingPicturesFor(int words)
{
    // About 200 descriptors a picture, twice as many as k-means takes: FAISS samples them, so
    // that the words are learnt from many pictures.
    return words * trainingPointsPerWord / 100 + 1;
}

int CVisualWordIndex::wordCount() const
{
    return m_quantiser ? int(m_quantiser->ntotal) : 0;
}

bool CVisualWordIndex::train(const std::vector<float> &descriptors, int words)
{
    const qint64 points = qint64(descriptors.size() / dimension);
    words = int(std::min<qint64>(words, points / fewestPointsPerWord));
    if (words < 1)
        return false;
    faiss::ClusteringParameters parameters;
    parameters.niter = trainingIterations;
    parameters.max_points_per_centroid = trainingPointsPerWord;
    parameters.min_points_per_centroid = fewestPointsPerWord;
    parameters.seed = 19;
    faiss::Clustering clustering(dimension, size_t(words), parameters);
    faiss::IndexFlatL2 assignment(dimension);
    clustering.train(faiss::Index::idx_t(points), descriptors.data(), assignment);

    setWords(words, clustering.centroids.data());
    return true;
}

void CVisualWordIndex::setWords(int words, const float *centres)
{
    std::unique_ptr<faiss::Index> quantiser;
    if (words > invertedFileWords) {
        const int lists = words / wordsPerList;
        auto inverted = std::make_unique<faiss::IndexIVFFlat>(new faiss::IndexFlatL2(dimension), dimension, size_t(lists));
        inverted->own_fields = true;
        inverted->cp.niter = listTrainingIterations;
        inverted->cp.seed = 19;
        // The centres are learnt from the words themselves, fewer than FAISS's usual 39 a centre.
        inverted->cp.min_points_per_centroid = 1;
        inverted->nprobe = listsProbed;
        inverted->train(faiss::Index::idx_t(words), centres);
        quantiser = std::move(inverted);
    } else {
        quantiser = std::make_unique<faiss::IndexFlatL2>(dimension);
    }
    quantiser->add(faiss::Index::idx_t(words), centres);
    m_quantiser = std::move(quantiser);
    setRows({});
}

std::vector<quint32> CVisualWordIndex::quantise(const cv::Mat &descriptors) const
{
    std::vector<quint32> words;
    if (!m_quantiser || descriptors.rows < minimumFeatures || descriptors.cols != dimension
        || descriptors.type() != CV_32F)
        return words;
    const cv::Mat rows = descriptors.isContinuous() ? descriptors : descriptors.clone();
    std::vector<float> distances(static_cast<size_t>(rows.rows));
    std::vector<faiss::Index::idx_t> labels(static_cast<size_t>(rows.rows));
    // Each descriptor's word is a search of its own, so the descriptors are searched in parts side
    // by side on OpenCV's threads (one after another on a busy server, whose pool is taken). Not
    // on FAISS's OpenMP team: its waiting threads would take the cores from the server's other
    // recognitions (as for the signatures' index); each part sets its own thread's team to one,
    // and only for the search.
    cv::parallel_for_(
        cv::Range(0, rows.rows),
        [&](const cv::Range &part) {
            const int threads = omp_get_max_threads();
            omp_set_num_threads(1);
            m_quantiser->search(part.size(), rows.ptr<float>(part.start), 1, distances.data() + part.start,
                                labels.data() + part.start);
            omp_set_num_threads(threads);
        },
        searchParts);
    words.reserve(labels.size());
    for (faiss::Index::idx_t label : labels)
        if (label >= 0)
            words.push_back(quint32(label));
    std::sort(words.begin(), words.end());
    words.erase(std::unique(words.begin(), words.end()), words.end());
    return words;
}

void CVisualWordIndex::setRows(const std::vector<std::vector<quint32>> &rows)
{
    const size_t words = size_t(wordCount());
    std::vector<quint64> offsets(words + 1, 0);
    for (const std::vector<quint32> &row : rows)
        for (quint32 word : row)
            if (word < words)
                ++offsets[word + 1];
    for (size_t w = 0; w < words; ++w)
        offsets[w + 1] += offsets[w];
    QByteArray storage(qsizetype(offsets.back() * sizeof(quint32)), Qt::Uninitialized);
    quint32 *postings = reinterpret_cast<quint32 *>(storage.data());
    std::vector<quint64> next(offsets.begin(), offsets.end() - 1);
    for (size_t r = 0; r < rows.size(); ++r)
        for (quint32 word : rows[r])
            if (word < words)
                postings[next[word]++] = quint32(r);
    m_rowCount = int(rows.size());
    m_offsets = std::move(offsets);
    m_postingStorage = std::move(storage);
    m_postings = m_postingStorage.constData();
    weigh();
}

std::vector<std::vector<quint32>> CVisualWordIndex::rows() const
{
    std::vector<std::vector<quint32>> rows(static_cast<size_t>(m_rowCount));
    for (size_t w = 0; w + 1 < m_offsets.size(); ++w)
        for (quint64 p = m_offsets[w]; p < m_offsets[w + 1]; ++p)
            rows[posting(p)].push_back(quint32(w));
    return rows;
}

int CVisualWordIndex::unindexedCount() const
{
    return int(std::count(m_norm.begin(), m_norm.end(), 0.0f));
}

void CVisualWordIndex::weigh()
{
    // Rows with words: a word in all of them tells nothing (weight 0), a rare one much.
    std::vector<char> indexed(static_cast<size_t>(m_rowCount), 0);
    for (quint64 p = 0; p < postingCount(); ++p)
        indexed[posting(p)] = 1;
    const double pictures = double(std::count(indexed.begin(), indexed.end(), 1));
    const size_t words = m_offsets.empty() ? 0 : m_offsets.size() - 1;
    m_weight.assign(words, 0.0f);
    m_norm.assign(static_cast<size_t>(m_rowCount), 0.0f);
    for (size_t w = 0; w < words; ++w) {
        const quint64 holders = m_offsets[w + 1] - m_offsets[w];
        if (holders == 0)
            continue;
        const double idf = std::log(pictures / double(holders));
        m_weight[w] = float(idf * idf);
        for (quint64 p = m_offsets[w]; p < m_offsets[w + 1]; ++p)
            m_norm[posting(p)] += m_weight[w];
    }
    // A row whose only words are in every row keeps a tiny length, so that it still counts as
    // indexed and never divides by zero.
    for (size_t r = 0; r < m_norm.size(); ++r)
        m_norm[r] = indexed[r] ? std::max(std::sqrt(m_norm[r]), 1e-6f) : 0.0f;
}

std::vector<CVisualWordIndex::Candidate> CVisualWordIndex::search(const std::vector<quint32> &words,
                                                                  int count, float floor) const
{
    std::vector<Candidate> found;
    if (count <= 0 || words.empty() || m_rowCount == 0)
        return found;
    // Rarest words first: they weigh the most, and when the postings read reach the budget, the
    // commoner words left out would add a little to many pictures' scores.
    std::vector<quint32> order;
    order.reserve(words.size());
    double queryLength = 0;
    for (quint32 w : words) {
        if (w + 1 >= m_offsets.size())
            continue;
        order.push_back(w);
        queryLength += m_weight[w];
    }
    if (queryLength <= 0)
        return found;
    std::sort(order.begin(), order.end(), [this](quint32 a, quint32 b) {
        return m_offsets[a + 1] - m_offsets[a] < m_offsets[b + 1] - m_offsets[b];
    });
    // The words read, each as the range of its postings and its weight.
    struct Reading
    {
        quint64 first, end;
        float weight;
    };
    std::vector<Reading> reading;
    quint64 read = 0;
    for (quint32 w : order) {
        const quint64 holders = m_offsets[w + 1] - m_offsets[w];
        if (read > 0 && read + holders > searchBudget)
            break;
        read += holders;
        reading.push_back({m_offsets[w], m_offsets[w + 1], m_weight[w]});
    }
    // The scores are added up a block of rows at a time, small enough to stay in the core's own
    // cache: among a million pictures a search adds some four million postings, which, scattered
    // over the whole catalogue's scores, would each wait on the memory. A word's postings are in
    // increasing rows, so each block takes up where the last one stopped; every row still gets its
    // words' weights added in the same order. Blocks are added up side by side on OpenCV's
    // threads, each part keeping its own best `count` as its rows go by (no list of every picture
    // that shares a word); the parts' best are merged after.
    const float scale = float(1.0 / std::sqrt(queryLength));
    const auto better = [](const Candidate &a, const Candidate &b) {
        return a.score > b.score || (a.score == b.score && a.row < b.row);
    };
    const int blocks = (m_rowCount + scoreBlockRows - 1) / scoreBlockRows;
    std::vector<std::vector<Candidate>> bestOfPart(static_cast<size_t>(blocks));
    const auto addUp = [&](const cv::Range &part) {
        std::vector<Candidate> &best = bestOfPart[size_t(part.start)];
        std::vector<quint64> next(reading.size());
        for (size_t k = 0; k < reading.size(); ++k)
            next[k] = firstPosting(reading[k].first, reading[k].end, quint32(part.start) * scoreBlockRows);
        std::vector<float> score(static_cast<size_t>(std::min(m_rowCount, scoreBlockRows)), 0.0f);
        for (int block = part.start; block < part.end; ++block) {
            const quint32 start = quint32(block) * scoreBlockRows;
            const quint32 end = quint32(std::min<qint64>(m_rowCount, qint64(block + 1) * scoreBlockRows));
            for (size_t k = 0; k < reading.size(); ++k) {
                quint64 p = next[k];
                for (quint32 row; p < reading[k].end && (row = posting(p)) < end; ++p)
                    score[row - start] += reading[k].weight;
                next[k] = p;
            }
            for (quint32 r = start; r < end; ++r) {
                float &shared = score[r - start];
                if (shared <= 0)
                    continue;
                const Candidate candidate{int(r), shared * scale / m_norm[r]};
                shared = 0;
                if (candidate.score < floor || (int(best.size()) == count && !better(candidate, best.back())))
                    continue;
                if (int(best.size()) == count)
                    best.pop_back();
                best.insert(std::upper_bound(best.begin(), best.end(), candidate, better), candidate);
            }
        }
    };
    cv::parallel_for_(cv::Range(0, blocks), addUp, searchParts);
    for (const std::vector<Candidate> &best : bestOfPart)
        found.insert(found.end(), best.begin(), best.end());
    std::sort(found.begin(), found.end(), better);
    if (int(found.size()) > count)
        found.resize(size_t(count));
    return found;
}

quint64 CVisualWordIndex::firstPosting(quint64 from, quint64 to, quint32 row) const
{
    while (from < to) {
        const quint64 middle = from + (to - from) / 2;
        if (posting(middle) < row)
            from = middle + 1;
        else
            to = middle;
    }
    return from;
}

QByteArray CVisualWordIndex::vocabularyBytes() const
{
    if (!m_quantiser)
        return {};
    faiss::VectorIOWriter writer;
    faiss::write_index(m_quantiser.get(), &writer);
    return QByteArray(reinterpret_cast<const char *>(writer.data.data()), qsizetype(writer.data.size()));
}

bool CVisualWordIndex::setVocabularyBytes(const QByteArray &bytes, QString *problem)
{
    faiss::VectorIOReader reader;
    reader.data.assign(bytes.begin(), bytes.end());
    std::unique_ptr<faiss::Index> index;
    try {
        index.reset(faiss::read_index(&reader));
    } catch (const std::exception &error) {
        *problem = QStringLiteral("holds a vocabulary FAISS cannot read (%1)")
                       .arg(QString::fromLocal8Bit(error.what()).simplified().left(200));
        return false;
    }
    const bool known = dynamic_cast<faiss::IndexIVFFlat *>(index.get()) || dynamic_cast<faiss::IndexHNSWFlat *>(index.get())
        || dynamic_cast<faiss::IndexFlatL2 *>(index.get());
    if (!known || index->d != dimension || index->ntotal < 1 || index->ntotal > std::numeric_limits<int>::max()) {
        *problem = QStringLiteral("holds a vocabulary of a kind this server does not learn");
        return false;
    }
    if (auto *inverted = dynamic_cast<faiss::IndexIVFFlat *>(index.get())) {
        inverted->nprobe = listsProbed;
        m_quantiser = std::move(index);
        setRows({});
        return true;
    }
    // A flat vocabulary, or a graph over the words as older files hold: the words are searched as
    // a newly learnt vocabulary's are.
    const int words = int(index->ntotal);
    std::vector<float> centres(size_t(words) * dimension);
    index->reconstruct_n(0, words, centres.data());
    setWords(words, centres.data());
    return true;
}

bool CVisualWordIndex::setPostings(int rowCount, std::vector<quint64> offsets, const QByteArray &storage,
                                   qsizetype at, QString *problem)
{
    const quint64 bytes = at >= 0 && at <= storage.size() ? quint64(storage.size() - at) : 1;
    bool good = rowCount >= 0 && offsets.size() == size_t(wordCount()) + 1 && offsets.front() == 0
        && bytes % sizeof(quint32) == 0 && offsets.back() == bytes / sizeof(quint32);
    // Every offset within the postings before any posting is read through them.
    for (size_t w = 0; good && w + 1 < offsets.size(); ++w)
        good = offsets[w] <= offsets[w + 1];
    // Each word's rows increasing (none twice) and below rowCount.
    const char *postings = storage.constData() + at;
    for (size_t w = 0; good && w + 1 < offsets.size(); ++w) {
        qint64 previous = -1;
        for (quint64 p = offsets[w]; good && p < offsets[w + 1]; ++p) {
            const qint64 row = qFromUnaligned<quint32>(postings + p * sizeof(quint32));
            good = row > previous && row < rowCount;
            previous = row;
        }
    }
    if (!good) {
        *problem = QStringLiteral("holds postings that do not fit its vocabulary and rows");
        return false;
    }
    m_rowCount = rowCount;
    m_offsets = std::move(offsets);
    m_postingStorage = storage; // shared with the caller's, not copied
    m_postings = m_postingStorage.constData() + at;
    weigh();
    return true;
}
