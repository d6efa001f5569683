#pragma once

#include <QByteArray>
#include <QImage>
#include <QRect>
#include <QSize>

// The framed part of the full-resolution picture, as the search uploads it: the frame's place in
// the view turned into picture pixels, reduced to 512 pixels on its longer side when both sides are
// longer, and encoded as JPEG.
class CSelectionCutout
{
public:
    // source: the full-resolution picture; shown: the size of its copy on show; view: the size of
    // the view that centres it; frame: the frame's geometry in the view. A null image when the
    // frame covers no pixel of the picture.
    static QImage cut(const QImage &source, QSize shown, QSize view, QRect frame);
    // A box of the picture, in its pixels, reduced as a framed cut-out is (a page's found stamps).
    static QImage cutBox(const QImage &source, QRect box);
    // JPEG at the encoder's default quality; empty for a null image.
    static QByteArray encode(const QImage &cutout);
};
