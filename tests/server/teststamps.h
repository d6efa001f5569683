#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// Drawn stamp pictures for the server suites: each seed gives a different stamp (colours, shapes,
// value), with a perforated border.
namespace TestStamps {
QImage drawStamp(quint32 seed, int width = 240, int height = 300);
// The stamp as a photo: turned by degrees on a plain background, JPEG at the given quality.
QByteArray photograph(const QImage &stamp, double degrees, int quality);
// Writes count stamps and catalogue.tsv into folder; row n is
// "stamp<n>.png  Country <n>  <100+n>  Motif <n>  Colour <n>  0001".
bool writeCatalogue(const QString &folder, int count, quint32 firstSeed = 1);
} // namespace TestStamps
