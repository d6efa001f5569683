#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

#include <memory>
#include <vector>

namespace faiss {
struct Index;
}

// The first filter's nearest-neighbour index over the catalogue's signature embeddings (FAISS).
// An exact inner-product scan while the catalogue is small; beyond graphThreshold stamps, where
// the exact scan's time and the graph's recall were measured (bench_recognition, README), a graph
// (HNSW) over the embeddings reduced by PCA to reducedDimension values: the embeddings have unit
// length, so the nearest by distance are the nearest by inner product, and the reduced vectors
// take a sixth of the memory and of each distance's time. Searching is safe from several threads
// at once.
class CSignatureIndex
{
public:
    enum class Kind { Exact, Graph };

    // Stamps from which the graph is used: at 1000 its search took 0.4 ms to the exact scan's 1 ms,
    // with the same shortlists (README).
    static constexpr int graphThreshold = 1000;
    // The graph's links per node and search breadth, chosen for recall over speed.
    static constexpr int graphLinks = 32;
    static constexpr int graphBuildBreadth = 80;
    static constexpr int graphSearchBreadth = 256;
    // The graph's vectors: the embeddings' first principal components (kept the true stamp in the
    // shortlist as the whole embeddings did; README), learnt from at most trainingRows rows, each
    // value kept in 8 bits (a quarter of the memory; as fast and the same shortlists as floats).
    static constexpr int reducedDimension = 128;
    static constexpr bool graphEightBit = true;
    static constexpr int trainingRows = 20000;

    CSignatureIndex();
    ~CSignatureIndex();
    CSignatureIndex(const CSignatureIndex &) = delete;
    CSignatureIndex &operator=(const CSignatureIndex &) = delete;

    static Kind kindFor(int count) { return count < graphThreshold ? Kind::Exact : Kind::Graph; }

    // rows(first, count, out) writes rows first to first + count - 1 (dimension values each, row n
    // for catalogue entry n) to out; the index asks for a slice at a time, so that no copy of
    // every row is made. progress, when set, is called with the rows added so far.
    using Rows = std::function<void(int first, int count, float *out)>;
    void build(int total, int dimension, Kind kind, const Rows &rows,
               const std::function<void(int done, int total)> &progress = {});
    // vectors: the rows one after the other.
    void build(const std::vector<float> &vectors, int dimension, Kind kind,
               const std::function<void(int done, int total)> &progress = {});

    // The count nearest rows to query (most similar first), fewer when the index holds fewer.
    std::vector<int> search(const std::vector<float> &query, int count) const;

    // The graph's search breadth (graphSearchBreadth unless set); nothing for the exact index.
    void setSearchBreadth(int breadth);

    // The shape of the graph the next build() makes (for measuring others than the default):
    // the reduced vectors' values, the links per node, and its vectors kept in 8 bits a value.
    struct GraphShape
    {
        int reducedDimension = CSignatureIndex::reducedDimension;
        int links = graphLinks;
        bool eightBit = graphEightBit;
    };
    void setGraphShape(const GraphShape &shape) { m_shape = shape; }

    int size() const;
    int dimension() const;
    Kind kind() const { return m_kind; }

    // FAISS's own serialisation; fromBytes() refuses (false, with a reason) what FAISS cannot read
    // or what does not hold count rows of dimension values.
    QByteArray toBytes() const;
    bool fromBytes(const QByteArray &bytes, int dimension, int count, QString *problem);

private:
    std::unique_ptr<faiss::Index> m_index;
    Kind m_kind = Kind::Exact;
    GraphShape m_shape;
};
