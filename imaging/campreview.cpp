#include "campreview.h"

#include "style/stylesheets.h"
#include "camgrab.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpacerItem>
#include <QVBoxLayout>

CCamPreview::CCamPreview(QWidget *parent, Translator translationTable)
    : QWidget(parent), translationTable(std::move(translationTable))
{
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(6);

    auto *inner = new QWidget(this);
    auto *innerLayout = new QVBoxLayout(inner);
    innerLayout->setContentsMargins(11, 11, 11, 11);
    innerLayout->setSpacing(6);
    m_view = new QLabel(inner);
    // The frame follows the label's size, never the reverse.
    m_view->setMinimumSize(1, 1);
    m_view->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    innerLayout->addWidget(m_view);
    outer->addWidget(inner);

    auto *bar = new QWidget(this);
    bar->setFixedHeight(43);
    auto *barLayout = new QHBoxLayout(bar);
    barLayout->setContentsMargins(11, 11, 11, 11);
    barLayout->setSpacing(6);
    barLayout->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    auto makeButton = [&](const char *name) {
        auto *button = new QPushButton(bar);
        button->setObjectName(QString::fromLatin1(name));
        button->setMinimumSize(80, 30);
        button->setStyleSheet(CStyleSheets::toolButton());
        barLayout->addWidget(button);
        return button;
    };
    m_start = makeButton("bStart");
    m_capture = makeButton("bCapture");
    m_apply = makeButton("bApply");
    outer->addWidget(bar);

    m_cameras = new QComboBox(bar);
    m_cameras->setGeometry(0, 12, 101, 31);
    m_cameras->setStyleSheet(CStyleSheets::comboBox());

    m_grabber = new CCamGrab(this, m_view);
    connect(m_grabber, &CCamGrab::signalOutPixmap, this, &CCamPreview::slotRenderPixmap);
    connect(m_cameras, &QComboBox::currentIndexChanged, m_grabber, &CCamGrab::slotSelectCam);
    connect(m_start, &QPushButton::clicked, this, &CCamPreview::slotStart);
    connect(m_capture, &QPushButton::clicked, this, &CCamPreview::slotCapture);
    connect(m_apply, &QPushButton::clicked, this, &CCamPreview::slotApply);

    slotUpdateWidget();
    m_grabber->startGrab();
}

QString CCamPreview::translated(const QString &text) const
{
    return translationTable ? translationTable(text) : text;
}

void CCamPreview::slotUpdateWidget()
{
    // Refilling selects the first entry, and with it camera 0.
    m_cameras->clear();
    for (int i = 0; i < 10; ++i)
        m_cameras->addItem(translated(QStringLiteral("Camera:")) + QLatin1Char(' ') + QString::number(i));
    m_start->setText(translated(QStringLiteral("Start")));
    m_capture->setText(translated(QStringLiteral("Capture")));
    m_apply->setText(translated(QStringLiteral("Apply")));
}

void CCamPreview::slotRenderPixmap(const QPixmap &pixmap)
{
    lastPixmap = pixmap;
    m_view->setPixmap(pixmap.scaled(m_view->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

void CCamPreview::slotStart()
{
    m_grabber->startGrab();
}

void CCamPreview::slotCapture()
{
    m_grabber->stopGrab();
}

void CCamPreview::slotApply()
{
    m_grabber->stopGrab();
    emit signalOutPixmap(lastPixmap);
    // Gone from the view at once; the camera is released when the preview is deleted.
    hide();
    deleteLater();
}
