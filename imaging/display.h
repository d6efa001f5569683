#pragma once

#include <QLabel>

class QDropEvent;

// The image view: a label that shows the picture centred and takes dropped picture files.
class CDisplay : public QLabel
{
    Q_OBJECT
public:
    explicit CDisplay(QWidget *parent = nullptr);

    // The offset of the centred pixmap inside the label.
    QPoint pictureOffset() const;
    // The size of the pixmap on show (0 by 0 when none).
    QSize shownSize() const;

    // Whether a local path ends in one of the picture endings a drop accepts.
    static bool acceptedDropPath(const QString &path);

signals:
    void signalOutUrl(const QString &path);
    void signalContextMenu();
    // A left click on the view, outside the selection frame.
    void signalClicked(const QPoint &position);

public slots:
    void slotDropOverboard(QDropEvent *event);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
};
