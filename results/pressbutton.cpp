#include "pressbutton.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>

CPressButton::CPressButton(QWidget *parent, int id, const QString &url, const QString &caption,
                           const QColor &captionColour)
    : QWidget(parent), m_id(id), m_url(url), m_caption(caption), m_picture(new QLabel(this)),
      m_captionLabel(new QLabel(this))
{
    setStyleSheet(QStringLiteral("border-width: 0px; margin: 0px;"));
    m_picture->setBackgroundRole(QPalette::Dark);
    m_picture->setAlignment(Qt::AlignCenter);
    m_captionLabel->setGeometry(0, captionTop, side, captionHeight);
    m_captionLabel->setAlignment(Qt::AlignCenter);
    m_captionLabel->setStyleSheet(QStringLiteral("color: ") + captionColour.name() + QLatin1Char(';'));
    m_captionLabel->setText(caption);
    if (caption.isEmpty())
        m_captionLabel->hide();
    m_picture->setMaximumSize(pictureBox());
}

CPressButton::~CPressButton() = default;

QSize CPressButton::pictureBox() const
{
    return m_caption.isEmpty() ? QSize(side, side) : QSize(side, captionTop);
}

void CPressButton::setPicture(const QPixmap &picture)
{
    if (picture.isNull()) {
        m_picture->clear();
        return;
    }
    m_picture->setPixmap(picture.scaled(pictureBox(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

void CPressButton::mousePressEvent(QMouseEvent *event)
{
    // Every button opens the page, but the right one the menu when there is one; the base class is
    // not asked.
    event->accept();
    if (m_hasMenu && event->button() == Qt::RightButton) {
        emit signalMenuRequested(m_id, event->globalPosition().toPoint());
        return;
    }
    emit signalPressButtonId(m_id);
    emit signalPressButtonUrl(m_url);
}

void CPressButton::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_picture->resize(size());
}
