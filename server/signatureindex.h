#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

#include <memory>
#include <vector>

namespace faiss {
struct Index;
}

// The first filter's nearest-neighbour index over the catalogue's signature embeddings (FAISS,
// inner product). An exact scan while the catalogue is small; a graph (HNSW) beyond
// graphThreshold stamps, where the exact scan's time and the graph's recall were measured
// (bench_recognition, README). Searching is safe from several threads at once.
class CSignatureIndex
{
public:
    enum class Kind { Exact, Graph };

    // Stamps from which the graph is used (see the README's measurements).
    static constexpr int graphThreshold = 4000;
    // The graph's links per node and search breadth, chosen for recall over speed.
    static constexpr int graphLinks = 32;
    static constexpr int graphBuildBreadth = 80;
    static constexpr int graphSearchBreadth = 256;

    CSignatureIndex();
    ~CSignatureIndex();
    CSignatureIndex(const CSignatureIndex &) = delete;
    CSignatureIndex &operator=(const CSignatureIndex &) = delete;

    static Kind kindFor(int count) { return count < graphThreshold ? Kind::Exact : Kind::Graph; }

    // vectors: count rows of dimension values each, row n for catalogue entry n. progress, when
    // set, is called with the rows added so far.
    void build(const std::vector<float> &vectors, int dimension, Kind kind,
               const std::function<void(int done, int total)> &progress = {});

    // The count nearest rows to query (most similar first), fewer when the index holds fewer.
    std::vector<int> search(const std::vector<float> &query, int count) const;

    // The graph's search breadth (graphSearchBreadth unless set); nothing for the exact index.
    void setSearchBreadth(int breadth);

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
};
