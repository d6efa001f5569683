#pragma once

#include <QPoint>
#include <QWidget>

class CDisplay;
class CTEPageItem;
class QPixmap;

// One handle of the selection frame: positions 0 to 7 resize the frame from a corner or an edge,
// position 8 covers the inside and drags it. Neither lets the frame leave the shown picture or
// become smaller than 50 pixels of the full-resolution picture.
class CTEPageItemHandle : public QWidget
{
    Q_OBJECT
public:
    enum Position { TopLeft, Top, TopRight, Right, BottomRight, Bottom, BottomLeft, Left, Inside };
    // Margin to the view's far side inside which a resize handle stops following the mouse.
    static constexpr int farSideMargin = 24;
    // Smallest side of the frame, in pixels of the full-resolution picture.
    static constexpr double minimumSide = 50.0;

    CTEPageItemHandle(CTEPageItem *frame, int position, CDisplay *view, QPixmap *source);

    int position() const { return m_position; }
    bool dragging() const { return m_dragAnchor != QPoint(-1, -1); }

signals:
    void signalUpdateGeometry();
    void signalMouseReleaseEvent();
    void signalContextMenu();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    void resizeKeepOrigin(int w, int h);
    void resizeWithOrigin(int x, int y, int w, int h);
    void dragInside(const QPoint &mouse);

    CTEPageItem *m_frame;
    int m_position;
    CDisplay *m_view;
    QPixmap *m_source;
    QPoint m_pressPoint;
    int m_left0 = 0, m_top0 = 0, m_right0 = 0, m_bottom0 = 0;
    QPoint m_dragAnchor{-1, -1};
};
