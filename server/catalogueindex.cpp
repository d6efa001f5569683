#include "catalogueindex.h"

#include "indexfile.h"
#include "signatureindex.h"
#include "stampcatalogue.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <cstring>

namespace {

constexpr char signaturesMagic[8] = {'Q', 'L', 'T', 'S', 'I', 'G', 'S', '\n'};
constexpr char faissMagic[8] = {'Q', 'L', 'T', 'F', 'A', 'I', 'S', '\n'};

// The header of a file to write: count rows, kind (0 for signatures), the signatures file's
// checksum for the FAISS index made from it (0 for signatures); length and checksum still to come.
CIndexFile::Header headerFor(const char (&magic)[8], quint32 count, quint32 kind, quint64 sourceChecksum)
{
    CIndexFile::Header header = {};
    std::memcpy(header.magic, magic, 8);
    header.version = CCatalogueIndex::formatVersion;
    header.dimension = quint32(CStampSignature::valueCount);
    header.count = count;
    header.kind = kind;
    header.sourceChecksum = sourceChecksum;
    return header;
}

struct StoredSignature
{
    qint64 size = 0;
    qint64 modified = 0;
    qint64 changed = 0;
    quint64 inode = 0;
    quint64 hash = 0;
    const char *bytes = nullptr; // CStampSignature::byteCount bytes in the file read
};

// The bytes of a row after its name: the picture's size, modification time, change time, inode and
// content hash, then the signature.
constexpr qsizetype rowFactsBytes = 40;
constexpr qsizetype smallestRow = qsizetype(sizeof(quint32)) + rowFactsBytes + qsizetype(CStampSignature::byteCount);

// Body of the signatures file: per row, the file name's length and UTF-8 bytes, the picture's
// facts and the signature's bytes.
QByteArray signaturesBody(const CStampCatalogue &catalogue)
{
    QByteArray body;
    body.reserve(qsizetype(catalogue.size()) * qsizetype(CStampSignature::byteCount + 64));
    char signature[CStampSignature::byteCount];
    for (const CStampCatalogue::Entry &entry : catalogue.entries()) {
        const QByteArray name = entry.fileName.toUtf8();
        const quint32 nameLength = quint32(name.size());
        body.append(reinterpret_cast<const char *>(&nameLength), sizeof nameLength);
        body.append(name);
        for (const void *fact : {static_cast<const void *>(&entry.pictureSize),
                                 static_cast<const void *>(&entry.pictureModified),
                                 static_cast<const void *>(&entry.pictureChanged),
                                 static_cast<const void *>(&entry.pictureInode),
                                 static_cast<const void *>(&entry.pictureHash)})
            body.append(static_cast<const char *>(fact), 8);
        entry.signature.toBytes(signature);
        body.append(signature, qsizetype(sizeof signature));
    }
    return body;
}

bool parseSignatures(const char *body, qsizetype length, quint32 count,
                     QHash<QString, StoredSignature> *stored, QStringList *order, QString *problem)
{
    const qsizetype signatureBytes = qsizetype(CStampSignature::byteCount);
    // The count is checked by the file's checksum already; bounded by the body's size as well, it
    // can never reserve more than the file could hold.
    if (qsizetype(count) > length / smallestRow) {
        *problem = QStringLiteral("is corrupt (it counts %1 rows, more than its %2 bytes hold)").arg(count).arg(length);
        return false;
    }
    qsizetype at = 0;
    stored->reserve(qsizetype(count));
    for (quint32 row = 0; row < count; ++row) {
        quint32 nameLength = 0;
        if (at + qsizetype(sizeof nameLength) > length)
            break;
        std::memcpy(&nameLength, body + at, sizeof nameLength);
        at += sizeof nameLength;
        if (nameLength > 4096 || at + qsizetype(nameLength) + rowFactsBytes + signatureBytes > length)
            break;
        const QString name = QString::fromUtf8(body + at, nameLength);
        at += nameLength;
        StoredSignature record;
        std::memcpy(&record.size, body + at, 8);
        std::memcpy(&record.modified, body + at + 8, 8);
        std::memcpy(&record.changed, body + at + 16, 8);
        std::memcpy(&record.inode, body + at + 24, 8);
        std::memcpy(&record.hash, body + at + 32, 8);
        at += rowFactsBytes;
        record.bytes = body + at;
        at += signatureBytes;
        stored->insert(name, record);
        order->append(name);
    }
    if (at != length || quint32(stored->size()) > count) {
        *problem = QStringLiteral("is corrupt (its rows do not match its header)");
        stored->clear();
        order->clear();
        return false;
    }
    return true;
}

} // namespace


// Pictures missing in large part (over a tenth of the rows, or every picture of one folder) mean
// the pictures are away for a while (a disk not mounted, a folder being moved), not that the
// stamps left the catalogue: their stored signatures must survive until they are back.
static bool picturesAway(const CStampCatalogue &catalogue)
{
    const QStringList &missing = catalogue.missingPictures();
    if (missing.isEmpty())
        return false;
    if (missing.size() * 10 > catalogue.size() + missing.size())
        return true;
    QHash<QString, int> missingIn, presentIn;
    for (const QString &name : missing)
        ++missingIn[QFileInfo(name).path()];
    for (const CStampCatalogue::Entry &entry : catalogue.entries())
        ++presentIn[QFileInfo(entry.fileName).path()];
    for (auto group = missingIn.cbegin(); group != missingIn.cend(); ++group)
        if (group.value() > 1 && !presentIn.contains(group.key()))
            return true;
    return false;
}

bool CCatalogueIndex::open(CStampCatalogue &catalogue, const QString &folder,
                           const QString &indexFolder, const Progress &progress, Report *report,
                           QString *error, QStringList *warnings)
{
    Report local;
    Report &result = report ? *report : local;
    result = Report();
    const QDir indexDir(indexFolder.isEmpty() ? folder : indexFolder);
    const QString signaturesPath = indexDir.filePath(QString::fromLatin1(signaturesFileName));
    const QString faissPath = indexDir.filePath(QString::fromLatin1(faissFileName));
    for (const QString &path : {signaturesPath, faissPath})
        for (const QString &removed : CIndexFile::removeStaleTemporaries(indexDir.path(), QFileInfo(path).fileName()))
            result.messages << QStringLiteral("removed %1, left by a writer that was stopped").arg(removed);

    // A file this server may not replace: a later version's, or one refused as not a regular file.
    bool leaveAlone = false;
    const auto readStored = [&](const QString &path, const char (&magic)[8], CIndexFile::Contents *contents,
                                const QString &then) {
        QString problem;
        switch (CIndexFile::read(path, magic, formatVersion, quint32(CStampSignature::valueCount), contents, &problem)) {
        case CIndexFile::Status::Good:
            return true;
        case CIndexFile::Status::Missing:
            result.messages << QStringLiteral("no stored file at %1; %2").arg(path, then);
            return false;
        case CIndexFile::Status::Newer:
            leaveAlone = true;
            result.messages << QStringLiteral("%1 %2: left as it is; serving from memory").arg(path, problem);
            return false;
        case CIndexFile::Status::Refused:
            result.messages << QStringLiteral("refused %1: it %2; %3").arg(path, problem, then);
            return false;
        }
        return false;
    };

    QHash<QString, StoredSignature> stored;
    QStringList storedOrder;
    CIndexFile::Contents signaturesFile;
    bool haveStored = false;
    if (readStored(signaturesPath, signaturesMagic, &signaturesFile, QStringLiteral("computing every signature again"))) {
        QString problem;
        haveStored = parseSignatures(signaturesFile.body(), signaturesFile.bodyLength(), signaturesFile.header.count,
                                     &stored, &storedOrder, &problem);
        if (!haveStored)
            result.messages << QStringLiteral("refused %1: it %2; computing every signature again").arg(signaturesPath, problem);
    }

    // Read before anything is written, so that a later version's file stops every write.
    CIndexFile::Contents faissFile;
    const bool haveFaiss = readStored(faissPath, faissMagic, &faissFile, QStringLiteral("building the index again"));

    QSet<QString> used;
    int refreshed = 0; // rows taken from storage whose picture's file was replaced by the same bytes
    CStampCatalogue::LoadOptions options;
    options.buildIndex = false;
    // A row naming a picture already taken gets its signature computed.
    options.storedSignature = [&stored, &used, &refreshed](CStampCatalogue::Entry &entry, CStampSignature *signature) {
        const auto found = stored.constFind(entry.fileName);
        if (found == stored.constEnd() || found->size != entry.pictureSize
            || found->modified != entry.pictureModified || used.contains(entry.fileName))
            return false;
        if (found->changed != entry.pictureChanged || found->inode != entry.pictureInode) {
            // Written again or replaced since: only its bytes can tell whether it is the same.
            quint64 hash = 0;
            if (!CIndexFile::contentHash(entry.picturePath(), &hash) || hash != found->hash)
                return false;
            ++refreshed;
        }
        entry.pictureHash = found->hash;
        *signature = CStampSignature::fromBytes(found->bytes, CStampSignature::byteCount);
        used.insert(entry.fileName);
        return true;
    };
    if (progress)
        options.progress = [&progress](int done, int total) {
            progress(QStringLiteral("signatures"), done, total);
        };
    if (!catalogue.load(folder, options, error, warnings))
        return false;
    result.stored = catalogue.storedSignatureCount();
    result.computed = catalogue.computedSignatureCount();
    result.removed = int(stored.size() - used.size());
    result.missing = int(catalogue.missingPictures().size());
    if (result.missing > 0)
        result.firstMissing = QDir(folder).filePath(catalogue.missingPictures().first());
    stored.clear();
    used.clear();
    if (picturesAway(catalogue)) {
        leaveAlone = true;
        result.messages << QStringLiteral("%1 pictures are missing (the first: %2); the stored index is "
                                          "left as it is until they are back, and their stamps cannot be answered")
                               .arg(result.missing).arg(result.firstMissing);
    }

    // Every row taken from storage as stored, in the stored order: the stored file is the one this
    // catalogue would write, no need to serialise it again (hundreds of megabytes at 100 000 stamps).
    bool unchanged = haveStored && result.computed == 0 && refreshed == 0 && storedOrder.size() == catalogue.size();
    for (qsizetype n = 0; unchanged && n < storedOrder.size(); ++n)
        unchanged = storedOrder.at(n) == catalogue.entries().at(n).fileName;
    signaturesFile.clear();
    quint64 signaturesChecksum = signaturesFile.header.checksum;
    const auto store = [&](const QString &path, const CIndexFile::Header &header, const QByteArray &body,
                           const QString &done) {
        QString problem;
        if (leaveAlone || !result.upToDate) {
            // (a FAISS index is not stored beside signatures that could not be: the pair stays as it was)
            result.upToDate = false;
        } else if (!CIndexFile::write(path, header, body, &problem)) {
            result.upToDate = false;
            result.messages << QStringLiteral("cannot write %1: %2").arg(path, problem);
        } else {
            result.messages << done;
        }
    };
    if (!unchanged) {
        const QByteArray body = signaturesBody(catalogue);
        const CIndexFile::Header header = headerFor(signaturesMagic, quint32(catalogue.size()), 0, 0);
        CIndexFile::Header sealed = header;
        sealed.bodyLength = quint64(body.size());
        const quint64 checksum = CIndexFile::checksum(sealed, body.constData(), body.size());
        if (!haveStored || checksum != signaturesChecksum)
            store(signaturesPath, header, body,
                  QStringLiteral("wrote %1 signatures to %2").arg(catalogue.size()).arg(signaturesPath));
        signaturesChecksum = checksum;
    }

    if (haveFaiss) {
        auto index = std::make_unique<CSignatureIndex>();
        QString problem;
        if (faissFile.header.sourceChecksum != signaturesChecksum
                   || faissFile.header.count != quint32(catalogue.size())) {
            result.messages << QStringLiteral("%1 was built from other signatures; building it again").arg(faissPath);
        } else if (!index->fromBytes(QByteArray::fromRawData(faissFile.body(), faissFile.bodyLength()),
                                     int(CStampSignature::valueCount), catalogue.size(), &problem)) {
            result.messages << QStringLiteral("refused %1: %2; building the index again").arg(faissPath, problem);
        } else {
            catalogue.setSignatureIndex(std::move(index));
            result.indexLoaded = true;
        }
        faissFile.clear();
    }
    if (!result.indexLoaded) {
        catalogue.buildSignatureIndex(CSignatureIndex::kindFor(catalogue.size()),
                                      [&progress](int done, int total) {
                                          if (progress)
                                              progress(QStringLiteral("index"), done, total);
                                      });
        const CSignatureIndex *index = catalogue.signatureIndex();
        store(faissPath, headerFor(faissMagic, quint32(catalogue.size()), quint32(index->kind()), signaturesChecksum),
              index->toBytes(),
              QStringLiteral("wrote the first filter's index (%1) to %2")
                  .arg(index->kind() == CSignatureIndex::Kind::Exact ? QStringLiteral("exact") : QStringLiteral("graph"),
                       faissPath));
    }
    return true;
}
