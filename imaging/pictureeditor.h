#pragma once

#include "imaging/stamppage.h"

#include <QObject>
#include <QPixmap>

#include <functional>

class CDisplay;
class CTEPageItem;

// The picture on show and its frame: loading a picture into the view with the frame on its first
// stamp, page mode (a click or a step frames another stamp), turning, fitting, "select all", the
// frame following the view's size, the webcam's hand-over and the cut-out. The window binds its
// buttons and events to these; the editing itself needs no window.
class CPictureEditor : public QObject
{
    Q_OBJECT
public:
    using Translator = std::function<QString(const QString &)>;

    // display shows the picture; the frame is made on it. tr translates the webcam preview's texts.
    CPictureEditor(CDisplay *display, const Translator &tr, QObject *parent = nullptr);

    const QPixmap &picture() const { return m_picture; }
    const CStampPage &page() const { return m_page; }
    CTEPageItem *frame() const { return m_frame; }

    // A newly loaded picture: shown fitted in the view, the frame on the stamp the finder puts
    // first, or over 80 percent of it when none is found.
    void open(const QImage &picture);
    // The same for a picture that comes while the view has its size already (the webcam's).
    void showPicture(const QPixmap &pixmap);
    // The frame on this rectangle of the full picture's pixels.
    void placeFrame(const QRect &rect);
    // The frame on the stamp of that index of the page (made the current one).
    void frameStamp(int index);
    // The frame sized to a fraction of the shown picture and centred.
    void fitFrame(double factor);
    // The picture and the frame shown again at the view's present size.
    void refit();
    // The framed part of the full picture.
    QImage cutSelection() const;
    // Opens the webcam's preview on the view; false when one is open already.
    bool startWebcam();

public slots:
    void selectAll();
    void turnRight();
    void turnLeft();
    // A click at this point of the view frames the page's stamp under it.
    void clickAt(const QPoint &viewPoint);
    // Tab (1) and Shift+Tab (-1): the frame on the next or previous stamp of the page.
    void step(int direction);
    // Remembers where the frame lies on the shown picture, so that a new size keeps it there.
    void keepFramePlacement();

signals:
    // The page's stamps changed (a picture came, or the webcam took the view).
    void signalPageChanged();
    void signalWebcamStarted();
    // The webcam preview handed over its picture; a null one when there was none (no camera).
    void signalWebcamPixmap(const QPixmap &pixmap);

private:
    void centreFrame();
    void frameCurrentStamp();
    void frameBox(const QRect &box);
    void render();

    CDisplay *m_display;
    Translator m_tr;
    QPixmap m_picture;
    CTEPageItem *m_frame;
    CStampPage m_page; // the stamps found on m_picture
    // The frame's size as fractions of the shown picture, and its place on it, at ratioBaseSize.
    double m_ratios[4] = {0, 0, 0, 0};
    QSize m_ratioBaseSize;
};
