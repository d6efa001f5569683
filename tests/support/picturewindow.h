#pragma once

#include "app/mainwindow.h"
#include "temphome.h"

#include <QImage>
#include <QRect>
#include <memory>

class CTEPageItemHandle;

// A main window on its own temporary home, shown at its minimum size, for tests of the picture
// and the selection frame. Helpers convert between view and picture coordinates and drive the
// frame's handles with real mouse events.
class PictureWindow
{
public:
    PictureWindow();
    ~PictureWindow();

    MainWindow &window() { return *m_window; }
    // A picture with a distinct pattern, so that turns and cut-outs can be checked pixel by pixel.
    static QImage pattern(int width, int height);
    bool show(const QImage &picture);

    QRect shownRect() const;        // the shown picture, in view coordinates
    QRect frame() const;            // the frame, in view coordinates
    QRectF frameInPicture() const;  // the frame, in full-resolution picture coordinates
    CTEPageItemHandle *handle(int position) const;

    // Presses the left button on the handle at a view point, moves to another in steps and releases.
    void drag(int position, QPoint from, QPoint to, int steps = 4);

private:
    TempHome m_home;
    std::unique_ptr<MainWindow> m_window;
};
