#include "pictureloader.h"

#include <QDebug>
#include <QFileInfo>
#include <QFile>
#include <QImageReader>
#include <QtEndian>

namespace {

// A picture file that notices when its decoder wants more than it holds: the sign of a file cut
// short, which some decoders would otherwise show with a grey or missing lower part.
class CutShortWatch : public QFile
{
public:
    using QFile::QFile;
    bool wantedMore() const { return m_wantedMore; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 read = QFile::readData(data, maxSize);
        if (read == 0 && maxSize > 0)
            m_wantedMore = true;
        return read;
    }

private:
    bool m_wantedMore = false;
};

// A BMP's decoder reads its rows with exact sizes and keeps the rows it got; the size the header
// declares tells a file cut short.
bool bmpCutShort(QFile &file)
{
    uchar header[6];
    if (file.peek(reinterpret_cast<char *>(header), 6) != 6 || header[0] != 'B' || header[1] != 'M')
        return false;
    return qFromLittleEndian<quint32>(header + 2) > quint64(file.size());
}

} // namespace

bool CPictureLoader::load(const QString &path, QImage *picture)
{
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return false;
    CutShortWatch file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    QImageReader reader(&file, QImageReader::imageFormat(path));
    // Photographs from cameras and phones carry their orientation; show them upright.
    reader.setAutoTransform(true);
    const QSize declared = reader.size();
    if (declared.isValid()
        && (declared.width() > maxSide || declared.height() > maxSide
            || qint64(declared.width()) * declared.height() > maxPixels)) {
        qDebug() << "picture too large:" << declared.width() << "by" << declared.height() << path;
        return false;
    }
    reader.setAllocationLimit(int(maxPixels * 4 / (1024 * 1024)) + 1);
    QImage image = reader.read();
    if (image.isNull())
        return false;
    if (file.wantedMore() || (file.seek(0) && bmpCutShort(file))) {
        qDebug() << "picture cut short:" << path;
        return false;
    }
    *picture = std::move(image);
    return true;
}
