// CVisualWordIndex's search alone, on postings made by the test: its best candidates against the
// cosine of every picture worked out here, and a search over more postings than it reads; the
// quantiser of a vocabulary large enough for a graph against the nearest word found by a scan.
#include "server/visualwordindex.h"

#include <QRandomGenerator>
#include <QtTest>

#include <faiss/IndexHNSW.h>
#include <faiss/IndexIVFFlat.h>
#include <faiss/impl/io.h>
#include <faiss/index_io.h>

#include <algorithm>
#include <cmath>
#include <memory>

class TestVisualWordIndex : public QObject
{
    Q_OBJECT

private:
    // A vocabulary of `words` words learnt from random descriptors: the search never looks at them.
    static void learn(CVisualWordIndex &index, int words)
    {
        QRandomGenerator random(5);
        std::vector<float> descriptors(size_t(words) * 16 * CVisualWordIndex::dimension);
        for (float &value : descriptors)
            value = float(random.generateDouble());
        QVERIFY(index.train(descriptors, words));
        QCOMPARE(index.wordCount(), words);
    }

private slots:
    void bestCandidatesAreTheBestCosines_data()
    {
        QTest::addColumn<int>("pictures");
        QTest::addColumn<int>("rarest"); // the rarest word's share of the pictures, in percent
        QTest::newRow("a few hundred pictures") << 400 << 15;
        // More rows than a search adds up at a time, with fewer words a picture so that the
        // postings stay within what a search reads.
        QTest::newRow("pictures over several blocks") << 2 * CVisualWordIndex::scoreBlockRows + 9000 << 3;
    }

    void bestCandidatesAreTheBestCosines()
    {
        QFETCH(int, pictures);
        QFETCH(int, rarest);
        CVisualWordIndex index;
        learn(index, 128);
        QRandomGenerator random(9);
        std::vector<std::vector<quint32>> rows(static_cast<size_t>(pictures));
        for (std::vector<quint32> &row : rows) {
            for (quint32 w = 0; w < 128; ++w)
                if (random.bounded(100) < rarest + int(w) / 4) // common and rare words
                    row.push_back(w);
        }
        rows[17].clear(); // a picture without words: not counted among the pictures below
        index.setRows(rows);
        QVERIFY(index.postingCount() < CVisualWordIndex::searchBudget);
        // The cosine of binary tf-idf vectors, a word weighing log(pictures / holders) squared.
        std::vector<double> weight(128, 0.0);
        for (quint32 w = 0; w < 128; ++w) {
            int holders = 0;
            for (const auto &row : rows)
                holders += std::binary_search(row.begin(), row.end(), w);
            weight[w] = holders ? std::pow(std::log((pictures - 1.0) / holders), 2) : 0.0;
        }
        const auto length = [&](const std::vector<quint32> &words) {
            double sum = 0;
            for (quint32 w : words)
                sum += weight[w];
            return std::sqrt(sum);
        };
        const auto cosine = [&](const std::vector<quint32> &query, int r) {
            double shared = 0;
            for (quint32 w : query)
                shared += std::binary_search(rows[r].begin(), rows[r].end(), w) ? weight[w] : 0.0;
            return shared > 0 ? shared / length(query) / length(rows[r]) : 0.0;
        };
        for (int q = 0; q < 5; ++q) {
            // Half of a picture's words, as a partial view gives; the last picture's, past the first blocks.
            const int from = q < 4 ? q * 50 : pictures - 1;
            std::vector<quint32> query = rows[size_t(from)];
            query.resize(query.size() / 2);
            std::vector<double> expected;
            for (int r = 0; r < pictures; ++r) {
                if (const double c = cosine(query, r); c >= 0.2)
                    expected.push_back(c);
            }
            std::sort(expected.begin(), expected.end(), std::greater<>());
            const std::vector<CVisualWordIndex::Candidate> found = index.search(query, 6, 0.2f);
            QCOMPARE(found.size(), std::min<size_t>(6, expected.size()));
            for (size_t n = 0; n < found.size(); ++n) {
                QVERIFY(std::abs(found[n].score - expected[n]) < 1e-4);
                QVERIFY(std::abs(found[n].score - cosine(query, found[n].row)) < 1e-4);
            }
            if (pictures < CVisualWordIndex::scoreBlockRows)
                QCOMPARE(found.front().row, from);
        }
    }

    // More postings than a search reads: the rare words, read first, still name the picture.
    void searchOverMorePostingsThanItReads()
    {
        CVisualWordIndex index;
        learn(index, 256);
        const int pictures = 30000, common = 150, rare = 256 - common;
        std::vector<std::vector<quint32>> rows(pictures);
        for (int r = 0; r < pictures; ++r) {
            for (quint32 w = 0; w < quint32(common); ++w)
                rows[size_t(r)].push_back(w);
            const int a = r % rare, b = (r / rare) % rare, c = (r / (rare * rare) + a + 1) % rare;
            for (int w : {a, b, c})
                rows[size_t(r)].push_back(quint32(common + w));
            std::sort(rows[size_t(r)].begin(), rows[size_t(r)].end());
            rows[size_t(r)].erase(std::unique(rows[size_t(r)].begin(), rows[size_t(r)].end()), rows[size_t(r)].end());
        }
        index.setRows(rows);
        QVERIFY(index.postingCount() > CVisualWordIndex::searchBudget);
        for (int r : {0, 4321, 29999}) {
            const std::vector<CVisualWordIndex::Candidate> found = index.search(rows[size_t(r)], 3, 0.0f);
            QVERIFY(!found.empty());
            QCOMPARE(found.front().row, r);
        }
    }

    // A large vocabulary, stored as a graph over its words by older builds: descriptors next to its
    // words are given those words, as a scan would nearly always.
    void largeVocabularyFindsTheNearestWord()
    {
        // 2048 words stored as an older build stored them, lying (as SURF descriptors do)
        // in fewer dimensions than their 64: mixtures of 32 random directions.
        const int words = 2 * CVisualWordIndex::invertedFileWords, latent = 32, dimension = CVisualWordIndex::dimension;
        QRandomGenerator random(3);
        std::vector<float> directions(size_t(latent) * dimension), centres(size_t(words) * dimension, 0.0f);
        for (float &value : directions)
            value = float(random.generateDouble() - 0.5);
        for (int w = 0; w < words; ++w)
            for (int l = 0; l < latent; ++l) {
                const float weight = float(random.generateDouble());
                for (int d = 0; d < dimension; ++d)
                    centres[size_t(w) * dimension + d] += weight * directions[size_t(l) * dimension + d];
            }
        faiss::IndexHNSWFlat graph(dimension, 32);
        graph.hnsw.efConstruction = 80;
        graph.add(words, centres.data());
        faiss::VectorIOWriter writer;
        faiss::write_index(&graph, &writer);
        CVisualWordIndex index;
        QString problem;
        QVERIFY2(index.setVocabularyBytes(QByteArray(reinterpret_cast<const char *>(writer.data.data()),
                                                     qsizetype(writer.data.size())), &problem),
                 qPrintable(problem));
        // One descriptor a little off each of the first 600 words: its nearest word is that one.
        const int count = 600;
        cv::Mat descriptors(count, dimension, CV_32F);
        for (int n = 0; n < count; ++n)
            for (int d = 0; d < dimension; ++d)
                descriptors.at<float>(n, d) = centres[size_t(n) * dimension + d] + float(random.generateDouble() - 0.5) * 0.01f;
        const auto found = [&](const std::vector<quint32> &given) {
            return int(std::count_if(given.begin(), given.end(), [](quint32 w) { return w < quint32(count); }));
        };
        const int given = found(index.quantise(descriptors));
        QVERIFY2(given >= count * 99 / 100, qPrintable(QString::number(given)));

        // The vocabulary is written back as the inverted file over its words, which a later start
        // reads as it is, searching exactly as before.
        const QByteArray written = index.vocabularyBytes();
        faiss::VectorIOReader reader;
        reader.data.assign(written.begin(), written.end());
        const std::unique_ptr<faiss::Index> stored(faiss::read_index(&reader));
        QVERIFY(dynamic_cast<faiss::IndexIVFFlat *>(stored.get()));
        CVisualWordIndex again;
        QVERIFY2(again.setVocabularyBytes(written, &problem), qPrintable(problem));
        QCOMPARE(again.quantise(descriptors), index.quantise(descriptors));
    }
};

QTEST_GUILESS_MAIN(TestVisualWordIndex)
#include "tst_visualwordindex.moc"
