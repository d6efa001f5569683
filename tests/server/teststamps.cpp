#include "teststamps.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QPainter>
#include <QPainterPath>
#include <QRandomGenerator>

namespace TestStamps {

QImage drawStamp(quint32 seed, int width, int height)
{
    QRandomGenerator random(seed);
    const auto colour = [&random] {
        return QColor::fromHsv(random.bounded(360), 80 + random.bounded(175), 60 + random.bounded(190));
    };
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const int margin = 12;
    const QRect inner(margin, margin, width - 2 * margin, height - 2 * margin);
    painter.fillRect(inner, colour());
    painter.setPen(QPen(colour().darker(200), 4));
    painter.drawRect(inner.adjusted(6, 6, -6, -6));
    for (int n = 0; n < 14; ++n) {
        painter.setPen(QPen(colour(), 1 + random.bounded(5)));
        painter.setBrush(random.bounded(2) ? QBrush(colour()) : QBrush(Qt::NoBrush));
        const QPoint a(inner.left() + random.bounded(inner.width()), inner.top() + random.bounded(inner.height()));
        const int w = 10 + random.bounded(inner.width() / 2);
        const int h = 10 + random.bounded(inner.height() / 2);
        switch (random.bounded(3)) {
        case 0: painter.drawEllipse(QRect(a, QSize(w, h))); break;
        case 1: painter.drawRect(QRect(a, QSize(w, h))); break;
        default: {
            QPolygon polygon;
            for (int k = 0; k < 3 + random.bounded(3); ++k)
                polygon << QPoint(inner.left() + random.bounded(inner.width()), inner.top() + random.bounded(inner.height()));
            painter.drawPolygon(polygon);
        }
        }
    }
    QFont font = painter.font();
    font.setPixelSize(height / 7);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(colour().darker(250));
    painter.drawText(inner.adjusted(14, 10, -14, -10), Qt::AlignBottom | Qt::AlignRight,
                     QString::number(5 + random.bounded(95)));
    // Perforation: white teeth cut out of the border.
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    for (int x = 0; x <= width; x += 16) {
        painter.drawEllipse(QPoint(x, margin / 2), 5, 5);
        painter.drawEllipse(QPoint(x, height - margin / 2), 5, 5);
    }
    for (int y = 0; y <= height; y += 16) {
        painter.drawEllipse(QPoint(margin / 2, y), 5, 5);
        painter.drawEllipse(QPoint(width - margin / 2, y), 5, 5);
    }
    return image;
}

QByteArray photograph(const QImage &stamp, double degrees, int quality)
{
    QImage photo(stamp.width() + 80, stamp.height() + 80, QImage::Format_RGB32);
    photo.fill(QColor(235, 232, 225));
    QPainter painter(&photo);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.translate(photo.width() / 2.0, photo.height() / 2.0);
    painter.rotate(degrees);
    painter.drawImage(QPointF(-stamp.width() / 2.0, -stamp.height() / 2.0), stamp);
    painter.end();
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    photo.save(&buffer, "JPEG", quality);
    return jpeg;
}

bool writeCatalogue(const QString &folder, int count, quint32 firstSeed)
{
    QDir dir(folder);
    QFile index(dir.filePath(QStringLiteral("catalogue.tsv")));
    if (!index.open(QIODevice::WriteOnly))
        return false;
    index.write("# file\tcountry\tnumber\tdescriptions\n");
    for (int n = 0; n < count; ++n) {
        const QString file = QStringLiteral("stamp%1.png").arg(n);
        if (!drawStamp(firstSeed + n).save(dir.filePath(file)))
            return false;
        index.write(QStringLiteral("%1\tCountry %2\t%3\tMotif %2\tColour %2\t0001\n")
                        .arg(file).arg(n).arg(100 + n).toUtf8());
    }
    return true;
}

} // namespace TestStamps
