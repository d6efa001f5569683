#include "selectioncutout.h"

#include <QBuffer>

QImage CSelectionCutout::cut(const QImage &source, QSize shown, QSize view, QRect frame)
{
    if (source.isNull() || shown.isEmpty())
        return {};
    const double kx = double(source.width()) / shown.width();
    const double ky = double(source.height()) / shown.height();
    const int left = int(frame.x() * kx - (view.width() - shown.width()) * kx * 0.5);
    const int top = int(frame.y() * ky - (view.height() - shown.height()) * ky * 0.5);
    const int width = int(frame.width() * kx);
    const int height = int(frame.height() * ky);
    const QRect area(left, top, width, height);
    // A frame turned or shrunk off the picture must not yield an empty or inside-out picture.
    if (width <= 0 || height <= 0 || !area.intersects(source.rect()))
        return {};
    return cutBox(source, area);
}

QImage CSelectionCutout::cutBox(const QImage &source, QRect box)
{
    if (source.isNull() || !box.intersects(source.rect()))
        return {};
    QImage cutout = source.copy(box);
    if (cutout.width() > 512 && cutout.height() > 512) {
        const double f = qMax(cutout.width(), cutout.height()) * 0.001953125;
        // The size is worked out here with the aspect ratio kept, so that the longer side is 512.
        cutout = cutout.scaled(int(cutout.width() / f), int(cutout.height() / f), Qt::IgnoreAspectRatio,
                               Qt::SmoothTransformation);
    }
    return cutout;
}

QByteArray CSelectionCutout::encode(const QImage &cutout)
{
    if (cutout.isNull())
        return {};
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    cutout.save(&buffer, "JPG");
    return bytes;
}
