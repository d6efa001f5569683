#include "stamppage.h"

#include "stampfinder.h"

void CStampPage::setPicture(const QImage &picture)
{
    m_stamps = CStampFinder::findStamps(picture);
    m_current = m_stamps.isEmpty() ? -1 : 0;
}

void CStampPage::clear()
{
    m_stamps.clear();
    m_current = -1;
}

int CStampPage::selectAt(const QPoint &point)
{
    int found = -1;
    for (int n = 0; n < m_stamps.size(); ++n) {
        const QRect &box = m_stamps.at(n);
        if (box.contains(point)
            && (found < 0 || qint64(box.width()) * box.height() < qint64(m_stamps.at(found).width()) * m_stamps.at(found).height()))
            found = n;
    }
    if (found >= 0)
        m_current = found;
    return found;
}

void CStampPage::select(int index)
{
    if (index >= 0 && index < m_stamps.size())
        m_current = index;
}

QRect CStampPage::step(int direction)
{
    if (m_stamps.isEmpty())
        return QRect();
    const int count = int(m_stamps.size());
    m_current = ((m_current + direction) % count + count) % count;
    return m_stamps.at(m_current);
}

void CStampPage::turnRight(const QSize &pictureSize)
{
    // A quarter clockwise: a point (x, y) of a picture h high goes to (h - y, x).
    for (QRect &box : m_stamps)
        box = QRect(pictureSize.height() - box.y() - box.height(), box.x(), box.height(), box.width());
}
