#include "stampcatalogue.h"

#include "hugepages.h"

#include <QDir>
#include <QFile>
#include <QBuffer>
#include <QImageReader>
#include <QScopeGuard>

#include <xxhash.h>

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A field may not carry the answer's own markers; brackets become parentheses, blanks "_".
void appendKeywordField(QString &keyword, QStringView field)
{
    for (QChar c : field.trimmed()) {
        if (c == QLatin1Char('['))
            c = QLatin1Char('(');
        else if (c == QLatin1Char(']'))
            c = QLatin1Char(')');
        else if (c == QLatin1Char(' '))
            c = QLatin1Char('_');
        keyword.append(c);
    }
}

// country "[c]" number "[inf]" the three descriptions joined by "[i]"; built in one text, as a
// hundred thousand rows are read at every start.
QString keywordFor(const QList<QStringView> &fields)
{
    QString keyword;
    keyword.reserve(fields.at(1).size() + fields.at(2).size() + fields.at(3).size() + fields.at(4).size()
                    + fields.at(5).size() + 13);
    appendKeywordField(keyword, fields.at(1));
    keyword.append(QLatin1String("[c]"));
    appendKeywordField(keyword, fields.at(2));
    keyword.append(QLatin1String("[inf]"));
    appendKeywordField(keyword, fields.at(3));
    keyword.append(QLatin1String("[i]"));
    appendKeywordField(keyword, fields.at(4));
    keyword.append(QLatin1String("[i]"));
    const QStringView third = fields.at(5).trimmed();
    appendKeywordField(keyword, third.isEmpty() ? QStringView(u"0001") : third);
    return keyword;
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

// Sets the entry's picture size, times and inode from the picture `name` in the open folder
// `folder`; false when the picture is not a regular file this process may read (a stored signature
// for it would be served and never match).
bool readPictureState(int folder, const QString &name, CStampCatalogue::Entry *entry)
{
    struct stat info;
    const QByteArray path = QFile::encodeName(name);
    if (::fstatat(folder, path.constData(), &info, 0) != 0 || !S_ISREG(info.st_mode))
        return false;
    entry->pictureSize = info.st_size;
    entry->pictureModified = qint64(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
    entry->pictureChanged = qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    entry->pictureInode = quint64(info.st_ino);
    // The mode bits settle the usual cases without another system call per picture.
    static const uid_t user = ::geteuid();
    if (user == 0 || (info.st_mode & S_IROTH) || (info.st_uid == user && (info.st_mode & S_IRUSR)))
        return true;
    return ::faccessat(folder, path.constData(), R_OK, 0) == 0;
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
    const QString text = QString::fromUtf8(index.readAll());
    QList<QStringView> lines = QStringView(text).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    // Pictures are looked up relative to the folder: a hundred thousand paths are not walked
    // from the root.
    const int folderDescriptor = ::open(QFile::encodeName(dir.path()).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const auto closeFolder = qScopeGuard([folderDescriptor] {
        if (folderDescriptor >= 0)
            ::close(folderDescriptor);
    });
    m_entries.reserve(lines.size()); // no regrowth copies of a hundred thousand rows
    CHugePages::advise(m_entries.data(), size_t(m_entries.capacity()) * sizeof(Entry));
    int lineNumber = 0;
    for (QStringView line : std::as_const(lines)) {
        ++lineNumber;
        if (options.progress && lineNumber > 1)
            options.progress(lineNumber - 1, int(lines.size()));
        if (lineNumber == 1 && line.startsWith(QChar(0xFEFF)))
            line = line.mid(1); // a byte-order mark some editors write
        while (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.trimmed().isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QList<QStringView> fields = line.split(QLatin1Char('\t'));
        if (fields.size() < 6 || fields.at(0).trimmed().isEmpty()) {
            warn(QStringLiteral("line %1: expected 6 tab-separated fields, found %2")
                     .arg(lineNumber)
                     .arg(fields.size()));
            continue;
        }
        Entry entry;
        entry.folder = m_folder;
        entry.fileName = fields.at(0).trimmed().toString();
        entry.keyword = keywordFor(fields);
        if (!readPictureState(folderDescriptor, entry.fileName, &entry)) {
            if (options.pictureMissing)
                options.pictureMissing(entry.fileName);
            warn(QStringLiteral("line %1: cannot read picture %2").arg(lineNumber).arg(fields.at(0).toString()));
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
            warn(QStringLiteral("line %1: cannot read picture %2").arg(lineNumber).arg(fields.at(0).toString()));
            continue;
        }
        entry.signature = CStampSignature::fromImage(picture);
        if (!entry.signature.isValid()) {
            warn(QStringLiteral("line %1: picture %2 is too small").arg(lineNumber).arg(fields.at(0).toString()));
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
