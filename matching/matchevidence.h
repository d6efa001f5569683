#pragma once

#include <QImage>
#include <QMetaType>
#include <QPointF>
#include <QPolygonF>
#include <QRectF>
#include <QString>
#include <QVector>

#include <functional>

// Why the comparison took a candidate for the user's stamp: what each of its stages saw. Kept for
// every accepted candidate and carried with it to the thumbnail, the side-by-side view and the
// report, so that a collector can check the match by eye. Positions are in the pixels of the
// pictures as they were given: the user's framed picture and the downloaded candidate.
class CMatchEvidence
{
public:
    using Translator = std::function<QString(const QString &)>;

    int pairs = 0;         // keypoint pairs that passed the ratio test
    int inliers = 0;       // of those, the pairs the fitted homography places within 5 pixels
    int agreeingCells = 0; // gradient grid cells whose directions agree
    int cells = 0;         // all cells of the grid
    // The part of the user's framed picture that was compared: all of it but a tenth on each side,
    // so that the frame's edge and the album around the stamp do not count.
    QRectF compared;
    // Where that part lies in the candidate: its corners top left, top right, bottom right, bottom left.
    QPolygonF outline;
    // The inlier pairs: where each lies in the user's picture and in the candidate, in the same order.
    QVector<QPointF> referencePoints;
    QVector<QPointF> candidatePoints;
    // The user's framed picture (shared with the comparison's own copy, not copied).
    QImage reference;

    // No comparison stands behind the candidate (it was turned down, or taken without comparing).
    bool isEmpty() const { return cells <= 0; }

    // "42 of 48 grid cells, 131 matching points", in the interface language.
    QString agreementText(const Translator &tr) const;
    // The candidate with the outline drawn on it.
    QImage outlined(const QImage &candidate) const;
    // The user's picture and the candidate side by side at one height, each inlier pair joined by a
    // line, the outline on the candidate. Null without evidence or pictures.
    QImage sideBySide(const QImage &candidate) const;
};

Q_DECLARE_METATYPE(CMatchEvidence)
