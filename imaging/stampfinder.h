#pragma once

#include <QImage>
#include <QList>
#include <QRect>

// Finds the postage stamps in a photograph or scan: a whole album or stock page, a stamp on a table,
// or a picture that is one stamp. Classical image analysis on a reduced copy, so that a 12-megapixel
// photo takes a fraction of a second; needs no window and no trained model.
class CStampFinder
{
public:
    // The stamps in `picture` (already upright), as boxes in its pixels, best first: the most
    // complete stamp nearest the centre first. A picture that is all stamp gives one box, the
    // whole picture; a picture with no stamp gives none.
    static QList<QRect> findStamps(const QImage &picture);

    // Intersection over union of two boxes (0 to 1): how well a found box matches a stamp.
    static double overlap(const QRect &a, const QRect &b)
    {
        const QRect common = a.intersected(b);
        if (common.isEmpty())
            return 0;
        const double shared = double(common.width()) * common.height();
        return shared / (double(a.width()) * a.height() + double(b.width()) * b.height() - shared);
    }
};
