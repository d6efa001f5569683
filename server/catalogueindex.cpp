#include "catalogueindex.h"

#include "signatureindex.h"
#include "stampcatalogue.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QSaveFile>
#include <QSet>

#include <cstring>

namespace {

constexpr char signaturesMagic[8] = {'Q', 'L', 'T', 'S', 'I', 'G', 'S', '\n'};
constexpr char faissMagic[8] = {'Q', 'L', 'T', 'F', 'A', 'I', 'S', '\n'};

// magic, version, dimension, count, kind (0 for signatures), signatures' checksum (the FAISS file's
// source; 0 for signatures), body length, body checksum.
struct Header
{
    char magic[8];
    quint32 version;
    quint32 dimension;
    quint32 count;
    quint32 kind;
    quint64 sourceChecksum;
    quint64 bodyLength;
    quint64 checksum;
};
static_assert(sizeof(Header) == 48);

// FNV-1a over 64-bit words (then the tail bytes): not a cryptographic hash, a check that the body
// is the one written.
quint64 checksum(const char *data, qsizetype length)
{
    quint64 hash = 0xcbf29ce484222325ULL;
    constexpr quint64 prime = 0x100000001b3ULL;
    qsizetype n = 0;
    for (; n + 8 <= length; n += 8) {
        quint64 word;
        std::memcpy(&word, data + n, 8);
        hash = (hash ^ word) * prime;
    }
    for (; n < length; ++n)
        hash = (hash ^ quint8(data[n])) * prime;
    return hash;
}

QByteArray withHeader(const char (&magic)[8], quint32 count, quint32 kind, quint64 sourceChecksum,
                      const QByteArray &body)
{
    Header header;
    std::memcpy(header.magic, magic, 8);
    header.version = CCatalogueIndex::formatVersion;
    header.dimension = quint32(CStampSignature::valueCount);
    header.count = count;
    header.kind = kind;
    header.sourceChecksum = sourceChecksum;
    header.bodyLength = quint64(body.size());
    header.checksum = checksum(body.constData(), body.size());
    QByteArray file(reinterpret_cast<const char *>(&header), sizeof header);
    file += body;
    return file;
}

// A stored file's body, read in place from the file mapped into memory: the files are hundreds of
// megabytes at 100 000 stamps, and a copy of each would add to the loading's peak.
struct StoredFile
{
    QFile file;
    Header header;
    const char *body = nullptr;
    qsizetype bodyLength = 0;
};

// Maps the file and checks its header and body, or false with the reason it is refused.
bool readChecked(const QString &path, const char (&magic)[8], StoredFile *stored, QString *problem)
{
    QFile &file = stored->file;
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("cannot be read (%1)").arg(file.errorString());
        return false;
    }
    const qint64 size = file.size();
    if (size < qint64(sizeof(Header))) {
        *problem = QStringLiteral("is truncated (%1 bytes, shorter than its header)").arg(size);
        return false;
    }
    const char *data = reinterpret_cast<const char *>(file.map(0, size));
    if (!data) {
        *problem = QStringLiteral("cannot be read (%1)").arg(file.errorString());
        return false;
    }
    Header *header = &stored->header;
    std::memcpy(header, data, sizeof(Header));
    if (std::memcmp(header->magic, magic, 8) != 0) {
        *problem = QStringLiteral("is not a Quillet index file of this kind");
        return false;
    }
    if (header->version != CCatalogueIndex::formatVersion) {
        *problem = QStringLiteral("has format version %1, this server reads %2")
                       .arg(header->version).arg(CCatalogueIndex::formatVersion);
        return false;
    }
    if (header->dimension != CStampSignature::valueCount) {
        *problem = QStringLiteral("holds vectors of %1 values, this server's have %2")
                       .arg(header->dimension).arg(CStampSignature::valueCount);
        return false;
    }
    const quint64 bodyLength = quint64(size) - sizeof(Header);
    if (header->bodyLength != bodyLength) {
        *problem = header->bodyLength > bodyLength
            ? QStringLiteral("is truncated (%1 of %2 bytes)").arg(size).arg(header->bodyLength + sizeof(Header))
            : QStringLiteral("has %1 bytes more than it should").arg(bodyLength - header->bodyLength);
        return false;
    }
    if (checksum(data + sizeof(Header), qsizetype(bodyLength)) != header->checksum) {
        *problem = QStringLiteral("is corrupt (its checksum does not match)");
        return false;
    }
    stored->body = data + sizeof(Header);
    stored->bodyLength = qsizetype(bodyLength);
    return true;
}

bool writeFile(const QString &path, const QByteArray &data, QString *problem)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        *problem = file.errorString();
        return false;
    }
    return true;
}

struct StoredSignature
{
    qint64 size = 0;
    qint64 modified = 0;
    const char *bytes = nullptr; // CStampSignature::byteCount bytes in the mapped file
};

// Body of the signatures file: per row, the file name's length and UTF-8 bytes, the picture's
// size and modification time, the signature's bytes.
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
        body.append(reinterpret_cast<const char *>(&entry.pictureSize), sizeof entry.pictureSize);
        body.append(reinterpret_cast<const char *>(&entry.pictureModified), sizeof entry.pictureModified);
        entry.signature.toBytes(signature);
        body.append(signature, qsizetype(sizeof signature));
    }
    return body;
}

bool parseSignatures(const char *body, qsizetype length, quint32 count,
                     QHash<QString, StoredSignature> *stored, QStringList *order, QString *problem)
{
    const qsizetype signatureBytes = qsizetype(CStampSignature::byteCount);
    qsizetype at = 0;
    stored->reserve(qsizetype(count));
    for (quint32 row = 0; row < count; ++row) {
        quint32 nameLength = 0;
        if (at + qsizetype(sizeof nameLength) > length)
            break;
        std::memcpy(&nameLength, body + at, sizeof nameLength);
        at += sizeof nameLength;
        if (nameLength > 4096 || at + qsizetype(nameLength) + 16 + signatureBytes > length)
            break;
        const QString name = QString::fromUtf8(body + at, nameLength);
        at += nameLength;
        StoredSignature record;
        std::memcpy(&record.size, body + at, 8);
        std::memcpy(&record.modified, body + at + 8, 8);
        at += 16;
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

    QHash<QString, StoredSignature> stored;
    QStringList storedOrder;
    quint64 storedChecksum = 0;
    bool haveStored = false;
    StoredFile signaturesFile;
    if (QFile::exists(signaturesPath)) {
        QString problem;
        if (readChecked(signaturesPath, signaturesMagic, &signaturesFile, &problem)
            && parseSignatures(signaturesFile.body, signaturesFile.bodyLength,
                               signaturesFile.header.count, &stored, &storedOrder, &problem)) {
            haveStored = true;
            storedChecksum = signaturesFile.header.checksum;
        } else {
            result.messages << QStringLiteral("refused %1: it %2; computing every signature again")
                                   .arg(signaturesPath, problem);
        }
    } else {
        result.messages << QStringLiteral("no stored signatures at %1; computing them").arg(signaturesPath);
    }

    QSet<QString> used;
    CStampCatalogue::LoadOptions options;
    options.buildIndex = false;
    // A row naming a picture already taken gets its signature computed.
    options.storedSignature = [&stored, &used](const QString &name, qint64 size, qint64 modified,
                                               CStampSignature *signature) {
        const auto found = stored.constFind(name);
        if (found == stored.constEnd() || found->size != size || found->modified != modified
            || used.contains(name))
            return false;
        *signature = CStampSignature::fromBytes(found->bytes, CStampSignature::byteCount);
        used.insert(name);
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
    stored.clear();
    used.clear();
    signaturesFile.file.close(); // unmaps it

    // Every row taken from storage, in the stored order: the stored file is the one this catalogue
    // would write, no need to serialise it again (hundreds of megabytes at 100 000 stamps).
    bool unchanged = haveStored && result.computed == 0 && storedOrder.size() == catalogue.size();
    for (qsizetype n = 0; unchanged && n < storedOrder.size(); ++n)
        unchanged = storedOrder.at(n) == catalogue.entries().at(n).fileName;
    quint64 bodyChecksum = storedChecksum;
    if (!unchanged) {
        const QByteArray body = signaturesBody(catalogue);
        bodyChecksum = checksum(body.constData(), body.size());
        QString problem;
        if (haveStored && bodyChecksum == storedChecksum)
            ; // what is stored already
        else if (!QDir().mkpath(indexDir.path())
            || !writeFile(signaturesPath, withHeader(signaturesMagic, quint32(catalogue.size()), 0, 0, body), &problem))
            result.messages << QStringLiteral("cannot write %1: %2").arg(signaturesPath, problem);
        else
            result.messages << QStringLiteral("wrote %1 signatures to %2").arg(catalogue.size()).arg(signaturesPath);
    }

    if (QFile::exists(faissPath)) {
        StoredFile faissFile;
        QString problem;
        auto index = std::make_unique<CSignatureIndex>();
        if (!readChecked(faissPath, faissMagic, &faissFile, &problem)) {
            result.messages << QStringLiteral("refused %1: it %2; building the index again").arg(faissPath, problem);
        } else if (faissFile.header.sourceChecksum != bodyChecksum
                   || faissFile.header.count != quint32(catalogue.size())) {
            result.messages << QStringLiteral("%1 was built from other signatures; building it again").arg(faissPath);
        } else if (!index->fromBytes(QByteArray::fromRawData(faissFile.body, faissFile.bodyLength),
                                     int(CStampSignature::valueCount), catalogue.size(), &problem)) {
            result.messages << QStringLiteral("refused %1: %2; building the index again").arg(faissPath, problem);
        } else {
            catalogue.setSignatureIndex(std::move(index));
            result.indexLoaded = true;
        }
    }
    if (!result.indexLoaded) {
        catalogue.buildSignatureIndex(CSignatureIndex::kindFor(catalogue.size()),
                                      [&progress](int done, int total) {
                                          if (progress)
                                              progress(QStringLiteral("index"), done, total);
                                      });
        const CSignatureIndex *index = catalogue.signatureIndex();
        QString problem;
        if (!QDir().mkpath(indexDir.path())
            || !writeFile(faissPath,
                          withHeader(faissMagic, quint32(catalogue.size()), quint32(index->kind()),
                                     bodyChecksum, index->toBytes()),
                          &problem))
            result.messages << QStringLiteral("cannot write %1: %2").arg(faissPath, problem);
        else
            result.messages << QStringLiteral("wrote the first filter's index (%1) to %2")
                                   .arg(index->kind() == CSignatureIndex::Kind::Exact
                                            ? QStringLiteral("exact") : QStringLiteral("graph"),
                                        faissPath);
    }
    return true;
}
