#include "pictureeditor.h"

#include "imaging/campreview.h"
#include "imaging/display.h"
#include "imaging/selectioncutout.h"
#include "imaging/tepageitem.h"

#include <QLayout>
#include <QPainter>

CPictureEditor::CPictureEditor(CDisplay *display, const Translator &tr, QObject *parent)
    : QObject(parent), m_display(display), m_tr(tr), m_picture(400, 300)
{
    m_picture.fill(Qt::transparent);
    m_display->setPixmap(m_picture);
    m_frame = new CTEPageItem(m_display, m_display, &m_picture);
    m_frame->resize(150, 150);
    m_frame->setMaximumSize(999999, 999999);
    connect(m_frame, &CTEPageItem::signalMouseReleaseEvent, this, &CPictureEditor::keepFramePlacement);
    connect(m_display, &CDisplay::signalClicked, this, &CPictureEditor::clickAt);

    // Until a picture is shown the frame's placement is taken against the whole view.
    m_ratios[0] = double(m_frame->width()) / m_display->width();
    m_ratios[1] = double(m_frame->height()) / m_display->height();
    m_ratios[2] = m_frame->x();
    m_ratios[3] = m_frame->y();
    m_ratioBaseSize = m_display->size();
}

void CPictureEditor::open(const QImage &picture)
{
    m_frame->setSelected(false);
    showPicture(QPixmap::fromImage(picture));
    refit();
    m_frame->setSelected(true);
    frameCurrentStamp(); // again, now that the view has its final size
}

// The frame goes onto the stamp the finder puts first; with none found, over 80 percent of the
// picture as before.
void CPictureEditor::showPicture(const QPixmap &pixmap)
{
    centreFrame();
    keepFramePlacement();
    m_frame->setSelected(true);
    m_picture = pixmap;
    m_page.setPicture(m_picture.toImage());
    emit signalPageChanged();
    render();
    frameCurrentStamp();
}

void CPictureEditor::placeFrame(const QRect &rect)
{
    // The rectangle is in pixels of the full picture; the view shows it scaled and centred.
    const QSize shown = m_display->shownSize();
    if (shown.width() <= 0)
        return;
    const double k = double(m_picture.width()) / shown.width();
    const int dx = int(m_display->width() * 0.5 - shown.width() * 0.5);
    const int dy = int(m_display->height() * 0.5 - shown.height() * 0.5);
    m_frame->move(int(rect.x() / k) + dx, int(rect.y() / k) + dy);
    m_frame->resize(int(rect.width() / k), int(rect.height() / k));
    m_frame->updateHandles();
}

void CPictureEditor::frameStamp(int index)
{
    m_page.select(index);
    if (m_page.current() == index)
        frameBox(m_page.currentStamp());
}

void CPictureEditor::frameCurrentStamp()
{
    if (m_page.current() >= 0)
        frameBox(m_page.currentStamp());
    else
        fitFrame(0.8);
}

void CPictureEditor::frameBox(const QRect &box)
{
    placeFrame(box);
    keepFramePlacement();
}

// The picture scaled into the view; on a page, every found stamp outlined faintly, so that the user
// sees what a click or Tab will frame.
void CPictureEditor::render()
{
    QPixmap shown = m_picture.scaled(m_display->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (m_page.isPage() && !m_picture.isNull()) {
        const double k = double(shown.width()) / m_picture.width();
        QPainter painter(&shown);
        painter.setPen(QPen(QColor(255, 255, 255, 140), 1, Qt::DashLine));
        for (const QRect &box : m_page.stamps())
            painter.drawRect(QRectF(box.x() * k, box.y() * k, box.width() * k, box.height() * k));
    }
    m_display->setPixmap(shown);
}

void CPictureEditor::clickAt(const QPoint &viewPoint)
{
    const QSize shown = m_display->shownSize();
    if (!m_page.isPage() || shown.isEmpty())
        return;
    const double k = double(m_picture.width()) / shown.width();
    const QPoint point((viewPoint - m_display->pictureOffset()) * k);
    if (m_page.selectAt(point) >= 0)
        frameBox(m_page.currentStamp());
}

void CPictureEditor::step(int direction)
{
    if (m_page.isPage())
        frameBox(m_page.step(direction));
}

void CPictureEditor::centreFrame()
{
    m_frame->move((m_display->width() - m_frame->width()) / 2, (m_display->height() - m_frame->height()) / 2);
    m_frame->updateHandles();
}

void CPictureEditor::refit()
{
    if (m_display->pixmap().isNull())
        return;
    // Always from the full-resolution picture, so that shrinking and growing loses nothing.
    render();

    // The frame follows the picture: same part of it, at the new scale.
    const QSize shown = m_display->shownSize();
    const double sw = shown.width(), sh = shown.height();
    const double bw = m_ratioBaseSize.width(), bh = m_ratioBaseSize.height();
    if (bw <= 0 || bh <= 0)
        return;
    const double r0 = m_ratios[0], r1 = m_ratios[1], r2 = m_ratios[2], r3 = m_ratios[3];
    const int x = int((sw - bw) * (r2 / bw) + r2);
    const int y = int((sh - bh) * (r3 / bh) + r3);
    m_frame->move(int((m_display->width() - sw) * 0.5 + x), int((m_display->height() - sh) * 0.5 + y));
    m_frame->resize(int(sw * r0), int(sh * r1));
    m_frame->updateHandles();
}

void CPictureEditor::keepFramePlacement()
{
    const QSize shown = m_display->shownSize();
    if (shown.isEmpty())
        return;
    m_ratios[0] = double(m_frame->width()) / shown.width();
    m_ratios[1] = double(m_frame->height()) / shown.height();
    m_frame->setMaximumSize(999999, 999999);
    m_ratios[2] = m_frame->x() - (m_display->width() - shown.width()) * 0.5;
    m_ratios[3] = m_frame->y() - (m_display->height() - shown.height()) * 0.5;
    m_ratioBaseSize = shown;
}

void CPictureEditor::selectAll()
{
    const QSize shown = m_display->shownSize();
    m_frame->move((m_display->width() - shown.width()) / 2, (m_display->height() - shown.height()) / 2);
    m_frame->resize(shown);
    m_frame->updateHandles();
    keepFramePlacement();
}

void CPictureEditor::fitFrame(double factor)
{
    const QSize shown = m_display->shownSize();
    m_frame->resize(int(shown.width() * factor), int(shown.height() * factor));
    centreFrame();
    keepFramePlacement();
}

void CPictureEditor::turnRight()
{
    const QSize shown = m_display->shownSize();
    const int sw = shown.width(), sh = shown.height();
    const int vw = m_display->width(), vh = m_display->height();
    const QRect frame = m_frame->geometry();
    const int leftMargin = frame.x() - (vw - sw) / 2;
    const int bottomMargin = sh - (frame.y() - (vh - sh) / 2) - frame.height();

    QPixmap turned(m_picture.height(), m_picture.width());
    turned.fill(Qt::transparent);
    {
        QPainter painter(&turned);
        const int c = m_picture.height() / 2;
        painter.translate(c, c);
        painter.rotate(90);
        painter.translate(-c, -c);
        painter.drawPixmap(0, 0, m_picture);
    }
    m_page.turnRight(m_picture.size());
    m_picture = turned;
    refit();

    const QSize newShown = m_display->shownSize();
    if (sw <= 0)
        return;
    const double s = double(newShown.height()) / sw;
    // Rounded to the nearest pixel: rounding up at every turn made the frame creep larger turn
    // after turn.
    m_frame->move(int(bottomMargin * s + (vw - newShown.width()) / 2), int(leftMargin * s + (vh - newShown.height()) / 2));
    m_frame->resize(qRound(frame.height() * s), qRound(frame.width() * s));
    keepFramePlacement();
    m_frame->updateHandles();
}

void CPictureEditor::turnLeft()
{
    for (int i = 0; i < 3; ++i)
        turnRight();
    refit();
}

QImage CPictureEditor::cutSelection() const
{
    return CSelectionCutout::cut(m_picture.toImage(), m_display->shownSize(), m_display->size(), m_frame->geometry());
}

bool CPictureEditor::startWebcam()
{
    // One preview at a time: a second would open the same camera twice. An applied one is hidden
    // and on its way out.
    for (const CCamPreview *open : m_display->findChildren<CCamPreview *>()) {
        if (!open->isHidden())
            return false;
    }
    emit signalWebcamStarted();
    m_frame->setSelected(false);
    m_page.clear();
    emit signalPageChanged();
    m_picture = QPixmap(400, 300);
    m_picture.fill(Qt::transparent);
    m_display->setPixmap(m_picture);

    auto *preview = new CCamPreview(m_display, m_tr);
    m_display->layout()->addWidget(preview);
    preview->show();
    connect(preview, &CCamPreview::signalOutPixmap, this, &CPictureEditor::signalWebcamPixmap);
    return true;
}
