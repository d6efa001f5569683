#include "pictureloader.h"

#include <QDebug>
#include <QFileInfo>
#include <QImageReader>

bool CPictureLoader::load(const QString &path, QImage *picture)
{
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return false;
    QImageReader reader(path);
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
    *picture = std::move(image);
    return true;
}
