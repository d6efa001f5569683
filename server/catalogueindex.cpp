#include "catalogueindex.h"

#include "indexfile.h"
#include "signatureindex.h"
#include "stampcatalogue.h"
#include "visualwordindex.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <xxhash.h>

#include <cstring>

namespace {

const QByteArray signaturesMagic("QLTSIGS\n");
const QByteArray faissMagic("QLTFAIS\n");
const QByteArray wordsMagic("QLTWORD\n");

// The files' header values. Signatures: dimension, rows, bytes per signature. FAISS: dimension,
// rows, index kind, the digest of the signatures it was built from.
enum Value { Dimension, Rows, SignatureBytesOrKind, SourceChecksum };

// A row of the signatures file: name length (32 bits), the file name in UTF-8, the picture's size,
// modification time (ms), status change time (ns), inode and content hash (64 bits each), the
// signature's bytes.
constexpr qsizetype rowFixedBytes = 4 + 5 * 8 + qsizetype(CStampSignature::byteCount);
constexpr quint32 longestName = 4096;

struct StoredSignature
{
    qint64 size = 0;
    qint64 modified = 0;
    qint64 changed = 0;
    quint64 inode = 0;
    quint64 hash = 0;
    const char *bytes = nullptr; // CStampSignature::byteCount bytes in the file's body
};

// The rows of the stored signatures file, found by their pictures' names. A name is looked for
// first in the row after the last one found, where an unchanged catalogue has it, so that a start
// hashes no names; by name otherwise.
class StoredSignatures
{
public:
    QList<StoredSignature> rows;
    QStringList names; // rows' names, in the file's order

    // The row of `name`, or -1.
    int find(const QString &name)
    {
        if (m_next < names.size() && names.at(m_next) == name)
            return m_next++;
        if (m_byName.isEmpty()) {
            m_byName.reserve(names.size());
            for (int n = 0; n < names.size(); ++n)
                m_byName.insert(names.at(n), n);
        }
        const int found = m_byName.value(name, -1);
        if (found >= 0)
            m_next = found + 1;
        return found;
    }
    void clear() { *this = StoredSignatures(); }

private:
    int m_next = 0;
    QHash<QString, int> m_byName; // built at the first name not found in order
};

template <typename T>
void append(QByteArray &body, T value)
{
    body.append(reinterpret_cast<const char *>(&value), sizeof value);
}

QByteArray signaturesBody(const CStampCatalogue &catalogue)
{
    QByteArray body;
    body.reserve(qsizetype(catalogue.size()) * (rowFixedBytes + 40));
    char signature[CStampSignature::byteCount];
    for (const CStampCatalogue::Entry &entry : catalogue.entries()) {
        const QByteArray name = entry.fileName.toUtf8();
        append(body, quint32(name.size()));
        body.append(name);
        append(body, entry.pictureSize);
        append(body, entry.pictureModified);
        append(body, entry.pictureChanged);
        append(body, entry.pictureInode);
        append(body, entry.pictureHash);
        entry.signature.toBytes(signature);
        body.append(signature, qsizetype(sizeof signature));
    }
    return body;
}

// The rows of a checked signatures file; false with the reason when they do not match its header.
bool parseSignatures(const CIndexFile &file, StoredSignatures *stored, QString *problem)
{
    const QByteArray &body = file.body();
    const quint64 count = file.values()[Rows];
    if (file.values()[Dimension] != CStampSignature::valueCount
        || file.values()[SignatureBytesOrKind] != CStampSignature::byteCount) {
        *problem = QStringLiteral("holds signatures of another shape");
        return false;
    }
    // Bounded by the file's size before anything is reserved for it.
    if (count > quint64(body.size() / rowFixedBytes)) {
        *problem = QStringLiteral("is corrupt (its rows do not match its header)");
        return false;
    }
    const char *data = body.constData();
    const qsizetype length = body.size();
    qsizetype at = 0;
    stored->rows.reserve(qsizetype(count));
    stored->names.reserve(qsizetype(count));
    for (quint64 row = 0; row < count; ++row) {
        quint32 nameLength = 0;
        if (at + rowFixedBytes > length)
            break;
        std::memcpy(&nameLength, data + at, sizeof nameLength);
        at += sizeof nameLength;
        if (nameLength > longestName || at + qsizetype(nameLength) + rowFixedBytes - 4 > length)
            break;
        const QString name = QString::fromUtf8(data + at, nameLength);
        at += nameLength;
        StoredSignature record;
        std::memcpy(&record.size, data + at, 8);
        std::memcpy(&record.modified, data + at + 8, 8);
        std::memcpy(&record.changed, data + at + 16, 8);
        std::memcpy(&record.inode, data + at + 24, 8);
        std::memcpy(&record.hash, data + at + 32, 8);
        at += 40;
        record.bytes = data + at;
        at += qsizetype(CStampSignature::byteCount);
        stored->rows.append(record);
        stored->names.append(name);
    }
    if (at != length || quint64(stored->names.size()) != count) {
        *problem = QStringLiteral("is corrupt (its rows do not match its header)");
        stored->clear();
        return false;
    }
    return true;
}

// The words file's header values: the descriptors' dimension, rows, words in the vocabulary, the
// vocabulary's bytes, postings. Its body: the vocabulary (FAISS's serialisation of its quantiser);
// per row the picture's file name (32-bit length, UTF-8) and content hash (64 bits); the offset of
// each word's postings and the end of the last (64 bits each); the postings, the rows holding each
// word in increasing order (32 bits each).
enum WordsValue { WordsDimension, WordsRows, WordsVocabulary, WordsVocabularyBytes, WordsPostings };

template <typename T>
void appendVector(QByteArray &body, const std::vector<T> &values)
{
    body.append(reinterpret_cast<const char *>(values.data()), qsizetype(values.size() * sizeof(T)));
}

QByteArray wordsBody(const CStampCatalogue &catalogue, const CVisualWordIndex &words, CIndexFile::Values *values)
{
    const QByteArray vocabulary = words.vocabularyBytes();
    QByteArray body;
    body.reserve(vocabulary.size() + qsizetype(catalogue.size()) * 60
                 + qsizetype(words.offsets().size() * 8) + words.postingBytes().size());
    body.append(vocabulary);
    for (const CStampCatalogue::Entry &entry : catalogue.entries()) {
        const QByteArray name = entry.fileName.toUtf8();
        append(body, quint32(name.size()));
        body.append(name);
        append(body, entry.pictureHash);
    }
    appendVector(body, words.offsets());
    body.append(words.postingBytes());
    *values = {quint64(CVisualWordIndex::dimension), quint64(catalogue.size()), quint64(words.wordCount()),
               quint64(vocabulary.size()), words.postingCount(), 0};
    return body;
}

// The vocabulary and postings of a checked words file into words, its rows' names and hashes into
// names and hashes; false with the reason when they do not match its header.
bool parseWords(const CIndexFile &file, CVisualWordIndex *words, QStringList *names,
                std::vector<quint64> *hashes, QString *problem)
{
    const QByteArray &body = file.body();
    const CIndexFile::Values &values = file.values();
    const quint64 length = quint64(body.size());
    if (values[WordsDimension] != quint64(CVisualWordIndex::dimension)) {
        *problem = QStringLiteral("holds descriptors of another shape");
        return false;
    }
    *problem = QStringLiteral("is corrupt (its parts do not match its header)");
    // Every count bounded by the file's size before anything is reserved for it.
    if (values[WordsVocabularyBytes] > length || values[WordsRows] > length / 12
        || values[WordsVocabulary] > length / 8 || values[WordsPostings] > length / 4)
        return false;
    if (!words->setVocabularyBytes(body.left(qsizetype(values[WordsVocabularyBytes])), problem))
        return false;
    if (quint64(words->wordCount()) != values[WordsVocabulary]) {
        *problem = QStringLiteral("is corrupt (its vocabulary does not match its header)");
        return false;
    }
    const char *data = body.constData();
    quint64 at = values[WordsVocabularyBytes];
    const quint64 rows = values[WordsRows];
    names->reserve(qsizetype(rows));
    hashes->reserve(size_t(rows));
    for (quint64 row = 0; row < rows; ++row) {
        quint32 nameLength = 0;
        if (at + 4 > length)
            return false;
        std::memcpy(&nameLength, data + at, 4);
        at += 4;
        if (nameLength > longestName || at + nameLength + 8 > length)
            return false;
        names->append(QString::fromUtf8(data + at, nameLength));
        at += nameLength;
        quint64 hash = 0;
        std::memcpy(&hash, data + at, 8);
        hashes->push_back(hash);
        at += 8;
    }
    const quint64 offsetBytes = (values[WordsVocabulary] + 1) * 8, postingBytes = values[WordsPostings] * 4;
    if (at + offsetBytes + postingBytes != length)
        return false;
    std::vector<quint64> offsets(size_t(values[WordsVocabulary] + 1));
    std::memcpy(offsets.data(), data + at, offsetBytes);
    return words->setPostings(int(rows), std::move(offsets), body, qsizetype(at + offsetBytes), problem);
}

// The signatures a FAISS index is built from, in row order: the index stays good as long as they
// do, whatever else of their rows changed.
quint64 signaturesDigest(const CStampCatalogue &catalogue)
{
    XXH3_state_t *state = XXH3_createState();
    XXH3_64bits_reset(state);
    char signature[CStampSignature::byteCount];
    for (const CStampCatalogue::Entry &entry : catalogue.entries()) {
        entry.signature.toBytes(signature);
        XXH3_64bits_update(state, signature, sizeof signature);
    }
    const quint64 digest = XXH3_64bits_digest(state);
    XXH3_freeState(state);
    return digest;
}

} // namespace

bool CCatalogueIndex::open(CStampCatalogue &catalogue, const QString &folder,
                           const QString &indexFolder, const Progress &progress, Report *report,
                           QString *error, QStringList *warnings)
{
    Report local;
    Report &result = report ? *report : local;
    result = Report();
    const QString indexPath = QDir(indexFolder.isEmpty() ? folder : indexFolder).path();
    CIndexFile signaturesFile(indexPath, QString::fromLatin1(signaturesFileName), signaturesMagic, formatVersion);
    CIndexFile faissFile(indexPath, QString::fromLatin1(faissFileName), faissMagic, formatVersion);
    CIndexFile wordsFile(indexPath, QString::fromLatin1(wordsFileName), wordsMagic, formatVersion);
    for (const CIndexFile *file : {&signaturesFile, &faissFile, &wordsFile})
        for (const QString &removed : file->removeStaleTemporaries())
            result.messages << QStringLiteral("removed %1, left by an interrupted write").arg(removed);

    // Nothing is written over a newer server's files; what it finds is served from memory.
    bool writable = true;
    const auto leaveNewer = [&result, &writable](const CIndexFile &file, const QString &problem) {
        result.messages << QStringLiteral("left %1 as it is: it %2; serving from memory, writing no index file")
                               .arg(file.path(), problem);
        writable = false;
        result.upToDate = false;
    };

    StoredSignatures stored;
    bool haveStored = false;
    {
        QString problem;
        switch (signaturesFile.read(&problem)) {
        case CIndexFile::Status::Read:
            haveStored = parseSignatures(signaturesFile, &stored, &problem);
            if (!haveStored) {
                signaturesFile.clear();
                result.messages << QStringLiteral("refused %1: it %2; computing every signature again")
                                       .arg(signaturesFile.path(), problem);
            }
            break;
        case CIndexFile::Status::Missing:
            result.messages << QStringLiteral("no stored signatures at %1; computing them").arg(signaturesFile.path());
            break;
        case CIndexFile::Status::Refused:
            result.messages << QStringLiteral("refused %1: it %2; computing every signature again")
                                   .arg(signaturesFile.path(), problem);
            break;
        case CIndexFile::Status::Newer:
            leaveNewer(signaturesFile, problem);
            break;
        }
    }

    std::vector<char> used(size_t(stored.rows.size()), 0); // stored rows taken
    int usedCount = 0;
    QStringList missing; // rows with a stored signature whose picture is not there
    int refreshed = 0;   // rows whose picture's status change time or inode moved, bytes the same
    CStampCatalogue::LoadOptions options;
    options.buildIndex = false;
    // A row naming a picture already taken gets its signature computed.
    options.storedSignature = [&stored, &used, &usedCount, &refreshed](CStampCatalogue::Entry &entry) {
        const int row = stored.find(entry.fileName);
        if (row < 0 || used[size_t(row)])
            return false;
        const StoredSignature &found = stored.rows.at(row);
        if (found.size != entry.pictureSize || found.modified != entry.pictureModified)
            return false;
        // Another file given the same size and modification time (cp -p, rsync -t) has another
        // status change time or inode: its bytes decide. A copied catalogue has only new ones,
        // and is read once, not decoded again.
        if (found.changed != entry.pictureChanged || found.inode != entry.pictureInode) {
            entry.pictureHash = entry.hashPicture();
            if (entry.pictureHash == 0 || entry.pictureHash != found.hash)
                return false;
            ++refreshed;
        } else {
            entry.pictureHash = found.hash;
        }
        entry.signature = CStampSignature::fromBytes(found.bytes, CStampSignature::byteCount);
        used[size_t(row)] = 1;
        ++usedCount;
        return true;
    };
    options.pictureMissing = [&stored, &missing](const QString &name) {
        if (stored.find(name) >= 0)
            missing << name;
    };
    if (progress)
        options.progress = [&progress](int done, int total) {
            progress(QStringLiteral("signatures"), done, total);
        };
    if (!catalogue.load(folder, options, error, warnings))
        return false;
    result.stored = catalogue.storedSignatureCount();
    result.computed = catalogue.computedSignatureCount();
    result.removed = int(stored.rows.size()) - usedCount;

    // Pictures gone in large part are more likely unmounted or moved than removed: the stored rows
    // stay for their return, and the catalogue is served from memory without them.
    if (!missing.isEmpty()) {
        bool folderGone = false;
        for (const QString &name : std::as_const(missing))
            folderGone = folderGone || !QFileInfo(QFileInfo(QDir(folder).filePath(name)).path()).isDir();
        if (folderGone || missing.size() * 10 > stored.rows.size()) {
            result.messages << QStringLiteral("%1 of %2 pictures with a stored signature are missing "
                                              "(the first: %3); keeping the stored index as it is and "
                                              "serving the others from memory")
                                   .arg(missing.size()).arg(stored.rows.size())
                                   .arg(QDir(folder).filePath(missing.first()));
            writable = false;
            result.upToDate = false;
        }
    }

    const auto write = [&result](CIndexFile &file, const CIndexFile::Values &values, const QByteArray &body,
                                 const QString &what) {
        QString problem;
        if (file.write(values, body, &problem)) {
            result.messages << QStringLiteral("wrote %1 to %2").arg(what, file.path());
            return true;
        }
        result.messages << QStringLiteral("cannot write %1: %2").arg(file.path(), problem);
        result.upToDate = false;
        return false;
    };

    // Every row taken from storage as stored, in the stored order: the stored file is the one this
    // catalogue would write, no need to serialise it again (100 MB at 100 000 stamps).
    bool unchanged = haveStored && result.computed == 0 && refreshed == 0
        && stored.names.size() == catalogue.size();
    for (qsizetype n = 0; unchanged && n < stored.names.size(); ++n)
        unchanged = stored.names.at(n) == catalogue.entries().at(n).fileName;
    stored.clear();
    used = {};
    signaturesFile.clear();
    if (!unchanged && writable) {
        const CIndexFile::Values values{CStampSignature::valueCount, quint64(catalogue.size()),
                                        CStampSignature::byteCount, 0, 0, 0};
        write(signaturesFile, values, signaturesBody(catalogue),
              QStringLiteral("%1 signatures").arg(catalogue.size()));
    }
    const quint64 digest = signaturesDigest(catalogue);

    QString problem;
    switch (writable ? faissFile.read(&problem) : CIndexFile::Status::Missing) {
    case CIndexFile::Status::Read: {
        auto index = std::make_unique<CSignatureIndex>();
        if (faissFile.values()[SourceChecksum] != digest
            || faissFile.values()[Rows] != quint64(catalogue.size())) {
            result.messages << QStringLiteral("%1 was built from other signatures; building it again").arg(faissFile.path());
        } else if (!index->fromBytes(faissFile.body(), int(CStampSignature::valueCount), catalogue.size(), &problem)) {
            result.messages << QStringLiteral("refused %1: %2; building the index again").arg(faissFile.path(), problem);
        } else {
            catalogue.setSignatureIndex(std::move(index));
            result.indexLoaded = true;
        }
        faissFile.clear();
        break;
    }
    case CIndexFile::Status::Refused:
        result.messages << QStringLiteral("refused %1: it %2; building the index again").arg(faissFile.path(), problem);
        break;
    case CIndexFile::Status::Newer:
        leaveNewer(faissFile, problem);
        writable = false;
        break;
    case CIndexFile::Status::Missing:
        break;
    }
    if (!result.indexLoaded) {
        catalogue.buildSignatureIndex(CSignatureIndex::kindFor(catalogue.size()),
                                      [&progress](int done, int total) {
                                          if (progress)
                                              progress(QStringLiteral("index"), done, total);
                                      });
        const CSignatureIndex *index = catalogue.signatureIndex();
        if (writable)
            write(faissFile,
                  {CStampSignature::valueCount, quint64(catalogue.size()), quint64(index->kind()),
                   digest, 0, 0},
                  index->toBytes(),
                  QStringLiteral("the first filter's index (%1)")
                      .arg(index->kind() == CSignatureIndex::Kind::Exact ? QStringLiteral("exact")
                                                                         : QStringLiteral("graph")));
    }

    // The visual words: a stored row's words are kept while its picture's bytes are the same; the
    // others are quantised against the stored vocabulary, learnt again only without one.
    auto words = std::make_shared<CVisualWordIndex>();
    std::vector<std::optional<std::vector<quint32>>> known;
    bool wordsUnchanged = false;
    switch (wordsFile.read(&problem)) {
    case CIndexFile::Status::Read: {
        QStringList names;
        std::vector<quint64> hashes;
        if (!parseWords(wordsFile, words.get(), &names, &hashes, &problem)) {
            words = std::make_shared<CVisualWordIndex>();
            result.messages << QStringLiteral("refused %1: it %2; learning the vocabulary again")
                                   .arg(wordsFile.path(), problem);
            break;
        }
        wordsFile.clear();
        result.vocabularyLoaded = true;
        const QList<CStampCatalogue::Entry> &entries = catalogue.entries();
        const auto same = [&](int row, int stored) {
            return entries.at(row).pictureHash != 0 && hashes[size_t(stored)] == entries.at(row).pictureHash
                && names.at(stored) == entries.at(row).fileName;
        };
        wordsUnchanged = names.size() == entries.size();
        for (int n = 0; wordsUnchanged && n < entries.size(); ++n)
            wordsUnchanged = same(n, n);
        if (wordsUnchanged)
            break;
        const std::vector<std::vector<quint32>> storedRows = words->rows();
        QHash<QString, int> byName;
        for (int n = 0; n < names.size(); ++n)
            byName.insert(names.at(n), n);
        known.resize(size_t(entries.size()));
        for (int n = 0; n < entries.size(); ++n)
            if (const auto found = byName.constFind(entries.at(n).fileName); found != byName.constEnd() && same(n, *found))
                known[size_t(n)] = storedRows[size_t(*found)];
        break;
    }
    case CIndexFile::Status::Refused:
        result.messages << QStringLiteral("refused %1: it %2; learning the vocabulary again").arg(wordsFile.path(), problem);
        break;
    case CIndexFile::Status::Newer:
        leaveNewer(wordsFile, problem);
        break;
    case CIndexFile::Status::Missing:
        break;
    }
    wordsFile.clear();
    if (wordsUnchanged) {
        catalogue.setWordIndex(words);
        result.wordsStored = catalogue.size();
    } else {
        result.wordsComputed = catalogue.buildWordIndex(words, known, progress);
        result.wordsStored = catalogue.size() - result.wordsComputed;
        if (writable && catalogue.wordIndex()) {
            CIndexFile::Values values;
            const QByteArray body = wordsBody(catalogue, *catalogue.wordIndex(), &values);
            write(wordsFile, values, body,
                  QStringLiteral("the visual words of %1 pictures").arg(catalogue.size()));
        }
    }
    const CVisualWordIndex *index = catalogue.wordIndex();
    result.vocabularySize = index ? index->wordCount() : 0;
    result.withoutWords = index ? index->unindexedCount() : catalogue.size();
    return true;
}
