#pragma once

#include <QImage>
#include <QList>
#include <QRect>

// The stamps found on the picture on show, and which of them the frame is on: a page of an album
// holds twenty, and the user steps through them rather than dragging the frame to each. Boxes are
// in the full picture's pixels and follow its turns.
class CStampPage
{
public:
    // Finds the stamps of a newly loaded picture; the first (the most complete nearest the centre)
    // becomes the current one.
    void setPicture(const QImage &picture);
    void clear();

    const QList<QRect> &stamps() const { return m_stamps; }
    // More than one stamp: the page's stamps are outlined and can be stepped through.
    bool isPage() const { return m_stamps.size() > 1; }
    int current() const { return m_current; }
    QRect currentStamp() const { return m_current >= 0 ? m_stamps.at(m_current) : QRect(); }

    // The stamp under a point of the picture (the smallest box holding it, for stamps that
    // overlap), made current; -1 when none is.
    int selectAt(const QPoint &point);
    // The stamp of that index made current (ignored when there is none such).
    void select(int index);
    // The next (1) or previous (-1) stamp made current, round the page.
    QRect step(int direction);
    // The picture (of this size before the turn) was turned a quarter clockwise.
    void turnRight(const QSize &pictureSize);

private:
    QList<QRect> m_stamps;
    int m_current = -1;
};
