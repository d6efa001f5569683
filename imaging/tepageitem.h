#pragma once

#include <QWidget>

class CDisplay;
class CTEPageItemHandle;
class QPixmap;

// The selection frame over the picture in the image view: a transparent child of the view with
// eight resize handles on its corners and edges and one invisible handle over its inside that
// drags it. The handles are the frame's siblings, laid over it.
class CTEPageItem : public QWidget
{
    Q_OBJECT
public:
    enum { HandleCount = 9 };

    CTEPageItem(QWidget *parent, CDisplay *view, QPixmap *source);
    ~CTEPageItem() override;

    CTEPageItemHandle *handle(int position) const { return m_handles[position]; }
    bool isSelected() const { return m_selected; }
    void setSelected(bool selected);
    // Places every handle by the frame's geometry.
    void updateHandles();

signals:
    void signalMouseReleaseEvent();
    void signalContextMenu();

public slots:
    void slotUpdateGeometry();

protected:
    void resizeEvent(QResizeEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    CTEPageItemHandle *m_handles[HandleCount] = {};
    bool m_selected = false;
};
