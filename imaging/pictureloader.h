#pragma once

#include <QImage>
#include <QString>

// Reads a picture file for the image view. A file whose header declares a picture larger than the
// limits is refused before anything is decoded, so memory stays bounded whatever the file claims.
class CPictureLoader
{
public:
    // Longest side and largest area that load: 20000 pixels and 100 million pixels (400 MB as
    // 32-bit pixels).
    static constexpr int maxSide = 20000;
    static constexpr qint64 maxPixels = 100'000'000;

    // False for anything that is not a readable picture within the limits.
    static bool load(const QString &path, QImage *picture);
};
