#include "picturewindow.h"

#include "imaging/display.h"
#include "imaging/tepageitem.h"
#include "imaging/tepageitemhandle.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QtTest>

PictureWindow::PictureWindow()
{
    m_home.writeKnownConfig();
    m_window = std::make_unique<MainWindow>(QStringList{"quillet"});
    m_window->setMinimumSize(1000, 655);
    m_window->resize(1000, 655);
    m_window->show();
    QTest::qWaitForWindowExposed(m_window.get());
}

PictureWindow::~PictureWindow() = default;

QImage PictureWindow::pattern(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter p(&image);
    p.fillRect(image.rect(), QColor("#e8dcc0"));
    for (int i = 0; i < 12; ++i) {
        p.setBrush(QColor::fromHsv(i * 30, 200, 180));
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPointF(width * (0.1 + 0.07 * i), height * (0.15 + 0.06 * i)), width * 0.05, height * 0.04);
    }
    p.fillRect(QRect(0, 0, width / 5, height / 7), Qt::darkBlue); // marks the top-left corner
    return image;
}

bool PictureWindow::show(const QImage &picture)
{
    return m_window->slotOpenGrab(QString(), picture);
}

QRect PictureWindow::shownRect() const
{
    const CDisplay *view = m_window->display();
    return QRect(view->pictureOffset(), view->shownSize());
}

QRect PictureWindow::frame() const
{
    return m_window->selectionFrame()->geometry();
}

QRectF PictureWindow::frameInPicture() const
{
    const QRect shown = shownRect();
    const double k = double(m_window->picture().width()) / shown.width();
    const QRect f = frame();
    return QRectF((f.x() - shown.x()) * k, (f.y() - shown.y()) * k, f.width() * k, f.height() * k);
}

CTEPageItemHandle *PictureWindow::handle(int position) const
{
    return m_window->selectionFrame()->handle(position);
}

void PictureWindow::drag(int position, QPoint from, QPoint to, int steps)
{
    CTEPageItemHandle *target = handle(position);
    QWidget *view = m_window->display();
    const auto send = [&](QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons buttons) {
        QMouseEvent event(type, target->mapFrom(view, at), view->mapToGlobal(at), button, buttons, Qt::NoModifier);
        QApplication::sendEvent(target, &event);
    };
    send(QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, from, Qt::NoButton, Qt::LeftButton); // a real drag starts where it was pressed
    for (int i = 1; i <= steps; ++i)
        send(QEvent::MouseMove, from + (to - from) * i / steps, Qt::NoButton, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
}
