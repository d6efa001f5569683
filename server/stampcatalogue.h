#pragma once

#include "signatureindex.h"
#include "stampsignature.h"
#include "visualwordindex.h"

#include <QImage>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// The recognition server's catalogue: a folder of stamp pictures and "catalogue.tsv", one stamp per
// row, tab-separated, no header: picture file name, country or issue name, catalogue number and
// three descriptive fields ("0001" when there is no third). Lines starting with "#" and blank
// lines are skipped. Each picture's signature is computed at load, unless a stored one for the same
// picture (same file, size and modification time) is offered; the signatures' nearest-neighbour
// index (the recognizer's first filter) is built at load or set from a stored one.
class CStampCatalogue
{
public:
    struct Entry
    {
        QString folder;          // the catalogue's, one text shared by every entry
        QString fileName;        // as catalogue.tsv names it
        qint64 pictureSize = 0;  // bytes, and
        qint64 pictureModified = 0; // ms since the epoch, when the signature was taken
        // The picture file's status change time (ns since the epoch) and inode: a picture
        // replaced by another of the same size and modification time (cp -p, rsync -t) changes
        // them.
        qint64 pictureChanged = 0;
        quint64 pictureInode = 0;
        quint64 pictureHash = 0; // of the file's bytes, when known (0: not taken)
        // The search keyword, made once at load (a hundred thousand rows keep one text each rather
        // than five): country "[c]" number "[inf]" three fields joined by "[i]", blanks written
        // "_".
        QString keyword;
        CStampSignature signature;

        QString keywordItem() const { return keyword; }
        QString picturePath() const;
        // The picture as the comparison takes it (32-bit RGB); null when it no longer reads.
        QImage loadPicture() const;
        // The hash of the picture file's bytes as pictureHash holds it; 0 when it does not read.
        quint64 hashPicture() const;
    };

    // Reads the folder. False with a reason when catalogue.tsv is missing or unreadable; rows that
    // are malformed or whose picture does not read are skipped with a warning each.
    bool load(const QString &folder, QString *error = nullptr, QStringList *warnings = nullptr);

    struct LoadOptions
    {
        // Sets entry.signature (and may set entry.pictureHash) from a stored signature for the
        // picture entry.fileName as it is now (size, times, inode), or false to compute it.
        std::function<bool(Entry &entry)> storedSignature;
        // Called for a row whose picture is not a readable file (the row is skipped, warned).
        std::function<void(const QString &fileName)> pictureMissing;
        // Called after each row with the rows read so far and the rows in all.
        std::function<void(int done, int total)> progress;
        bool buildIndex = true;
    };
    bool load(const QString &folder, const LoadOptions &options, QString *error = nullptr,
              QStringList *warnings = nullptr);
    // Signatures taken from storage and computed in the last load.
    int storedSignatureCount() const { return m_stored; }
    int computedSignatureCount() const { return m_computed; }

    // The first filter's index over the entries' signatures, row n for entry n; null before one
    // is built or set.
    const CSignatureIndex *signatureIndex() const { return m_index.get(); }
    CSignatureIndex *signatureIndex() { return m_index.get(); }
    void buildSignatureIndex(CSignatureIndex::Kind kind,
                             const std::function<void(int done, int total)> &progress = {},
                             const CSignatureIndex::GraphShape &shape = {});
    void buildSignatureIndex() { buildSignatureIndex(CSignatureIndex::kindFor(size())); }
    // Takes an index read from storage; it must hold size() rows.
    void setSignatureIndex(std::unique_ptr<CSignatureIndex> index) { m_index = std::move(index); }

    // The first filter over local features, row n for entry n; null when there is none: load()
    // leaves it to CCatalogueIndex or to buildWordIndex(), as learning a vocabulary takes a while;
    // a catalogue without a single keypoint has none either.
    const CVisualWordIndex *wordIndex() const { return m_words.get(); }
    // Builds it: a vocabulary is learnt from pictures spread over the catalogue unless `words`
    // has one, then every row is quantised but those whose words `known` gives (known[n] for row
    // n, when known has the row and it is set). Returns the rows quantised.
    using StageProgress = std::function<void(const QString &stage, int done, int total)>;
    int buildWordIndex(std::shared_ptr<CVisualWordIndex> words,
                       const std::vector<std::optional<std::vector<quint32>>> &known = {},
                       const StageProgress &progress = {});
    void setWordIndex(std::shared_ptr<CVisualWordIndex> words) { m_words = std::move(words); }

    const QList<Entry> &entries() const { return m_entries; }
    int size() const { return int(m_entries.size()); }
    QString folder() const { return m_folder; }

    static constexpr const char *indexFileName = "catalogue.tsv";

private:
    QString m_folder;
    QList<Entry> m_entries;
    int m_stored = 0;
    int m_computed = 0;
    std::shared_ptr<CSignatureIndex> m_index; // shared: a catalogue is moved into the server
    std::shared_ptr<CVisualWordIndex> m_words;
};
