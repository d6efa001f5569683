#include "matchevidence.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {

const QColor outlineColour(255, 64, 32);
const QColor pairColour(0, 220, 60, 150);

// A pen that stays visible when the picture is shown reduced.
qreal penWidth(const QSize &size)
{
    return std::max<qreal>(2.0, std::max(size.width(), size.height()) / 200.0);
}

void drawOutline(QPainter &painter, const QPolygonF &outline, qreal width)
{
    painter.setPen(QPen(outlineColour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPolygon(outline);
}

} // namespace

QString CMatchEvidence::agreementText(const Translator &tr) const
{
    const QString format = QStringLiteral("%1 of %2 grid cells, %3 matching points");
    return (tr ? tr(format) : format).arg(agreeingCells).arg(cells).arg(inliers);
}

QImage CMatchEvidence::outlined(const QImage &candidate) const
{
    if (candidate.isNull())
        return {};
    QImage picture = candidate.convertToFormat(QImage::Format_RGB32);
    if (outline.size() == 4) {
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::Antialiasing);
        drawOutline(painter, outline, penWidth(picture.size()));
    }
    return picture;
}

QImage CMatchEvidence::sideBySide(const QImage &candidate) const
{
    if (isEmpty() || reference.isNull() || candidate.isNull())
        return {};
    // Both at the taller one's height, but never blown up past 600 pixels nor shrunk below 200.
    const int height = std::clamp(std::max(reference.height(), candidate.height()), 200, 600);
    const qreal leftScale = qreal(height) / reference.height();
    const qreal rightScale = qreal(height) / candidate.height();
    const int leftWidth = std::max(1, int(std::lround(reference.width() * leftScale)));
    const int rightWidth = std::max(1, int(std::lround(candidate.width() * rightScale)));
    const int gap = 24;
    const int right = leftWidth + gap;

    QImage picture(right + rightWidth, height, QImage::Format_RGB32);
    picture.fill(QColor(0x17, 0x37, 0x49));
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRect(0, 0, leftWidth, height), reference);
    painter.drawImage(QRect(right, 0, rightWidth, height), candidate);

    painter.setPen(QPen(pairColour, 1.5));
    const qsizetype count = std::min(referencePoints.size(), candidatePoints.size());
    for (qsizetype i = 0; i < count; ++i) {
        const QPointF from = referencePoints.at(i) * leftScale;
        const QPointF to = candidatePoints.at(i) * rightScale + QPointF(right, 0);
        painter.drawLine(from, to);
        painter.drawEllipse(from, 2.5, 2.5);
        painter.drawEllipse(to, 2.5, 2.5);
    }
    // The outline stands for the compared part of the user's picture: the same frame on both sides.
    const qreal width = penWidth(QSize(height, height));
    drawOutline(painter, QPolygonF(QRectF(compared.topLeft() * leftScale, compared.bottomRight() * leftScale)), width);
    QPolygonF placed;
    for (const QPointF &corner : outline)
        placed << corner * rightScale + QPointF(right, 0);
    if (placed.size() == 4)
        drawOutline(painter, placed, width);
    return picture;
}
