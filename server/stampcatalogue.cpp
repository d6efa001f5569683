#include "stampcatalogue.h"

#include <QDir>
#include <QFile>
#include <QBuffer>
#include <QImageReader>

#include <xxhash.h>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// A field may not carry the answer's own markers; brackets become parentheses, blanks "_".
QString keywordField(const QString &field)
{
    QString text = field.trimmed();
    text.replace(QLatin1Char('['), QLatin1Char('('));
    text.replace(QLatin1Char(']'), QLatin1Char(')'));
    text.replace(QLatin1Char(' '), QLatin1Char('_'));
    return text;
}

// country "[c]" number "[inf]" the three descriptions joined by "[i]".
QString keywordFor(const QStringList &fields)
{
    QStringList descriptions;
    for (int n = 3; n < 6; ++n)
        descriptions << keywordField(fields.at(n));
    return keywordField(fields.at(1)) + QStringLiteral("[c]") + keywordField(fields.at(2))
        + QStringLiteral("[inf]") + descriptions.join(QStringLiteral("[i]"));
}

QImage decodePicture(QIODevice *device)
{
    QImageReader reader(device);
    reader.setAutoTransform(true);
    return reader.read().convertToFormat(QImage::Format_RGB32);
}

quint64 hashOf(const QByteArray &bytes)
{
    // Never 0, which stands for "not taken".
    return std::max<quint64>(XXH3_64bits(bytes.constData(), size_t(bytes.size())), 1);
}

// Sets the entry's picture size, times and inode; false when the picture is not a regular file
// this process may read (a stored signature for it would be served and never match).
bool readPictureState(CStampCatalogue::Entry *entry)
{
    struct stat info;
    const QByteArray path = QFile::encodeName(entry->picturePath());
    if (::stat(path.constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    entry->pictureSize = info.st_size;
    entry->pictureModified = qint64(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
    entry->pictureChanged = qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    entry->pictureInode = quint64(info.st_ino);
    // The mode bits settle the usual cases without another system call per picture.
    const uid_t user = ::geteuid();
    if (user == 0 || (info.st_mode & S_IROTH) || (info.st_uid == user && (info.st_mode & S_IRUSR)))
        return true;
    return ::access(path.constData(), R_OK) == 0;
}

} // namespace

QString CStampCatalogue::Entry::picturePath() const
{
    return QDir(folder).filePath(fileName);
}

QImage CStampCatalogue::Entry::loadPicture() const
{
    QFile file(picturePath());
    return file.open(QIODevice::ReadOnly) ? decodePicture(&file) : QImage();
}

quint64 CStampCatalogue::Entry::hashPicture() const
{
    QFile file(picturePath());
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray bytes = file.readAll();
    return file.error() == QFile::NoError ? hashOf(bytes) : 0;
}

bool CStampCatalogue::load(const QString &folder, QString *error, QStringList *warnings)
{
    return load(folder, LoadOptions(), error, warnings);
}

void CStampCatalogue::buildSignatureIndex(CSignatureIndex::Kind kind,
                                          const std::function<void(int, int)> &progress,
                                          const CSignatureIndex::GraphShape &shape)
{
    auto index = std::make_shared<CSignatureIndex>();
    index->setGraphShape(shape);
    index->build(size(), int(CStampSignature::valueCount), kind,
                 [this](int first, int count, float *out) {
                     for (int n = first; n < first + count; ++n, out += CStampSignature::valueCount)
                         m_entries.at(n).signature.embedding(out);
                 },
                 progress);
    m_index = std::move(index);
}

int CStampCatalogue::buildWordIndex(std::shared_ptr<CVisualWordIndex> words,
                                    const std::vector<std::optional<std::vector<quint32>>> &known,
                                    const StageProgress &progress)
{
    const int total = size();
    const auto describe = [this](int row) {
        return CVisualWordIndex::describe(m_entries.at(row).loadPicture()).descriptors;
    };
    if (!words->hasVocabulary()) {
        // Learnt from pictures spread evenly over the catalogue.
        const int wordCount = CVisualWordIndex::wordCountFor(total);
        const int pictures = std::min(total, CVisualWordIndex::trainingPicturesFor(wordCount));
        std::vector<float> samples;
        for (int n = 0; n < pictures; ++n) {
            const cv::Mat descriptors = describe(int(qint64(n) * total / pictures));
            samples.insert(samples.end(), descriptors.ptr<float>(), descriptors.ptr<float>() + descriptors.total());
            if (progress)
                progress(QStringLiteral("vocabulary"), n + 1, pictures);
        }
        if (!words->train(samples, wordCount)) {
            // Not a keypoint in the catalogue: the signature alone finds its stamps.
            m_words.reset();
            return 0;
        }
    }
    std::vector<std::vector<quint32>> rows(static_cast<size_t>(total));
    int computed = 0;
    for (int n = 0; n < total; ++n) {
        if (size_t(n) < known.size() && known[size_t(n)]) {
            rows[size_t(n)] = *known[size_t(n)];
        } else {
            rows[size_t(n)] = words->quantise(describe(n));
            ++computed;
        }
        if (progress)
            progress(QStringLiteral("words"), n + 1, total);
    }
    words->setRows(rows);
    m_words = std::move(words);
    return computed;
}

bool CStampCatalogue::load(const QString &folder, const LoadOptions &options, QString *error,
                           QStringList *warnings)
{
    m_entries.clear();
    m_index.reset();
    m_words.reset();
    m_stored = 0;
    m_computed = 0;
    m_folder = folder;
    const QDir dir(folder);
    QFile index(dir.filePath(QString::fromLatin1(indexFileName)));
    if (!index.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(index.fileName(), index.errorString());
        return false;
    }
    const auto warn = [warnings](const QString &text) {
        if (warnings)
            warnings->append(text);
    };
    // Read whole first, so that progress can say how many rows there are.
    QList<QByteArray> lines = index.readAll().split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    m_entries.reserve(lines.size()); // no regrowth copies of a hundred thousand rows
    int lineNumber = 0;
    for (const QByteArray &bytes : std::as_const(lines)) {
        ++lineNumber;
        if (options.progress && lineNumber > 1)
            options.progress(lineNumber - 1, int(lines.size()));
        QString line = QString::fromUtf8(bytes);
        if (lineNumber == 1 && line.startsWith(QChar(0xFEFF)))
            line.remove(0, 1); // a byte-order mark some editors write
        while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.trimmed().isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() < 6 || fields.at(0).trimmed().isEmpty()) {
            warn(QStringLiteral("line %1: expected 6 tab-separated fields, found %2")
                     .arg(lineNumber)
                     .arg(fields.size()));
            continue;
        }
        Entry entry;
        entry.folder = m_folder;
        entry.fileName = fields.at(0).trimmed();
        QStringList keywordFields = fields.mid(0, 6);
        if (keywordFields.last().trimmed().isEmpty())
            keywordFields.last() = QStringLiteral("0001");
        entry.keyword = keywordFor(keywordFields);
        if (!readPictureState(&entry)) {
            if (options.pictureMissing)
                options.pictureMissing(entry.fileName);
            warn(QStringLiteral("line %1: cannot read picture %2").arg(lineNumber).arg(fields.at(0)));
            continue;
        }
        if (options.storedSignature && options.storedSignature(entry) && entry.signature.isValid()) {
            ++m_stored;
            m_entries.append(entry);
            continue;
        }
        // Read once, for the picture and for the hash that tells a later start whether it changed.
        QFile file(entry.picturePath());
        QByteArray content = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        entry.pictureHash = content.isEmpty() ? 0 : hashOf(content);
        QBuffer buffer(&content);
        buffer.open(QIODevice::ReadOnly);
        const QImage picture = decodePicture(&buffer);
        if (picture.isNull()) {
            warn(QStringLiteral("line %1: cannot read picture %2").arg(lineNumber).arg(fields.at(0)));
            continue;
        }
        entry.signature = CStampSignature::fromImage(picture);
        if (!entry.signature.isValid()) {
            warn(QStringLiteral("line %1: picture %2 is too small").arg(lineNumber).arg(fields.at(0)));
            continue;
        }
        ++m_computed;
        m_entries.append(entry);
    }
    if (options.progress)
        options.progress(int(lines.size()), int(lines.size()));
    if (options.buildIndex)
        buildSignatureIndex();
    return true;
}
