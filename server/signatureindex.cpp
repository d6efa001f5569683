#include "signatureindex.h"

#include <faiss/IndexFlat.h>
#include <faiss/IndexHNSW.h>
#include <faiss/IndexPreTransform.h>
#include <faiss/VectorTransform.h>
#include <faiss/impl/io.h>
#include <faiss/index_io.h>

#include <omp.h>

#include <algorithm>
#include <cstring>
#include <exception>

namespace {

// FAISS reads straight from the stored bytes (a copy would double a large index's loading peak).
struct ByteArrayReader : faiss::IOReader
{
    explicit ByteArrayReader(const QByteArray &bytes) : data(bytes) {}

    size_t operator()(void *ptr, size_t size, size_t items) override
    {
        if (size == 0 || at >= size_t(data.size()))
            return 0;
        const size_t available = (size_t(data.size()) - at) / size;
        const size_t count = std::min(items, available);
        std::memcpy(ptr, data.constData() + at, count * size);
        at += count * size;
        return count;
    }

    const QByteArray &data;
    size_t at = 0;
};

} // namespace

CSignatureIndex::CSignatureIndex() = default;
CSignatureIndex::~CSignatureIndex() = default;

void CSignatureIndex::build(const std::vector<float> &vectors, int dimension, Kind kind,
                            const std::function<void(int, int)> &progress)
{
    const int total = dimension > 0 ? int(vectors.size() / size_t(dimension)) : 0;
    build(total, dimension, kind,
          [&vectors, dimension](int first, int count, float *out) {
              std::memcpy(out, vectors.data() + size_t(first) * size_t(dimension),
                          size_t(count) * size_t(dimension) * sizeof(float));
          },
          progress);
}

void CSignatureIndex::build(int total, int dimension, Kind kind, const Rows &rows,
                            const std::function<void(int, int)> &progress)
{
    m_kind = kind;
    if (kind == Kind::Exact) {
        m_index = std::make_unique<faiss::IndexFlatIP>(dimension);
    } else {
        const bool reduce = total >= m_shape.reducedDimension && m_shape.reducedDimension < dimension;
        const int graphDimension = reduce ? m_shape.reducedDimension : dimension;
        std::unique_ptr<faiss::IndexHNSW> graph;
        if (m_shape.eightBit)
            graph = std::make_unique<faiss::IndexHNSWSQ>(graphDimension, faiss::ScalarQuantizer::QT_8bit,
                                                         m_shape.links, faiss::METRIC_L2);
        else
            graph = std::make_unique<faiss::IndexHNSWFlat>(graphDimension, m_shape.links, faiss::METRIC_L2);
        graph->hnsw.efConstruction = graphBuildBreadth;
        graph->hnsw.efSearch = graphSearchBreadth;
        // The components (and the 8-bit steps) are learnt from rows spread evenly over the catalogue.
        const int samples = std::min(total, trainingRows);
        std::vector<float> sample(size_t(samples) * size_t(dimension));
        for (int s = 0; s < samples; ++s)
            rows(int(qint64(s) * total / samples), 1, sample.data() + size_t(s) * size_t(dimension));
        if (reduce) {
            auto reduced = std::make_unique<faiss::IndexPreTransform>(
                new faiss::PCAMatrix(dimension, m_shape.reducedDimension), graph.release());
            reduced->own_fields = true;
            m_index = std::move(reduced);
        } else {
            // Too few rows to learn the components from.
            m_index = std::move(graph);
        }
        if (samples > 0)
            m_index->train(samples, sample.data());
    }
    // Added in slices, so that a long graph build can report its progress and no copy of every
    // row is made.
    const int slice = kind == Kind::Exact ? std::max(std::min(total, 20000), 1) : 2000;
    std::vector<float> buffer(size_t(std::min(slice, total)) * size_t(dimension));
    for (int done = 0; done < total; done += slice) {
        const int count = std::min(slice, total - done);
        rows(done, count, buffer.data());
        m_index->add(count, buffer.data());
        if (progress)
            progress(done + count, total);
    }
}

std::vector<int> CSignatureIndex::search(const std::vector<float> &query, int count) const
{
    std::vector<int> result;
    if (!m_index || count <= 0 || query.size() != size_t(m_index->d) || m_index->ntotal == 0)
        return result;
    const int k = int(std::min<faiss::Index::idx_t>(count, m_index->ntotal));
    // One query gains nothing from FAISS's OpenMP team, whose waiting threads take the cores from
    // the server's other recognitions (the graph's search took twice as long with two). This
    // sets the calling thread's team size only, and only for the search.
    const int threads = omp_get_max_threads();
    omp_set_num_threads(1);
    std::vector<float> distances(static_cast<size_t>(k));
    std::vector<faiss::Index::idx_t> labels(static_cast<size_t>(k));
    m_index->search(1, query.data(), k, distances.data(), labels.data());
    omp_set_num_threads(threads);
    for (faiss::Index::idx_t label : labels) {
        if (label >= 0) // the graph may return fewer than asked for
            result.push_back(int(label));
    }
    return result;
}

namespace {

// The graph inside an index this class builds, or null for the exact index.
faiss::IndexHNSW *graphOf(faiss::Index *index)
{
    if (auto *reduced = dynamic_cast<faiss::IndexPreTransform *>(index)) {
        if (reduced->chain.size() != 1 || !dynamic_cast<faiss::PCAMatrix *>(reduced->chain.front()))
            return nullptr;
        index = reduced->index;
    }
    if (dynamic_cast<faiss::IndexHNSWFlat *>(index) || dynamic_cast<faiss::IndexHNSWSQ *>(index))
        return static_cast<faiss::IndexHNSW *>(index);
    return nullptr;
}

} // namespace

void CSignatureIndex::setSearchBreadth(int breadth)
{
    if (faiss::IndexHNSW *graph = graphOf(m_index.get()))
        graph->hnsw.efSearch = breadth;
}

int CSignatureIndex::size() const
{
    return m_index ? int(m_index->ntotal) : 0;
}

int CSignatureIndex::dimension() const
{
    return m_index ? int(m_index->d) : 0;
}

QByteArray CSignatureIndex::toBytes() const
{
    if (!m_index)
        return {};
    faiss::VectorIOWriter writer;
    faiss::write_index(m_index.get(), &writer);
    return QByteArray(reinterpret_cast<const char *>(writer.data.data()), qsizetype(writer.data.size()));
}

bool CSignatureIndex::fromBytes(const QByteArray &bytes, int dimension, int count, QString *problem)
{
    ByteArrayReader reader(bytes);
    std::unique_ptr<faiss::Index> index;
    try {
        index.reset(faiss::read_index(&reader));
    } catch (const std::exception &error) {
        if (problem)
            *problem = QStringLiteral("FAISS cannot read it (%1)").arg(QString::fromLocal8Bit(error.what()).simplified().left(200));
        return false;
    }
    if (!index || index->d != dimension || index->ntotal != count) {
        if (problem)
            *problem = QStringLiteral("it does not hold %1 vectors of %2 values").arg(count).arg(dimension);
        return false;
    }
    if (faiss::IndexHNSW *graph = graphOf(index.get()); graph && graph->metric_type == faiss::METRIC_L2
        && graph->ntotal == count) {
        graph->hnsw.efSearch = graphSearchBreadth;
        m_kind = Kind::Graph;
    } else if (dynamic_cast<faiss::IndexFlatIP *>(index.get())) {
        m_kind = Kind::Exact;
    } else {
        if (problem)
            *problem = QStringLiteral("it is not an index kind this server builds");
        return false;
    }
    m_index = std::move(index);
    return true;
}
