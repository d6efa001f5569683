#include "scrollpreview.h"

#include "evidenceview.h"
#include "pressbutton.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QLabel>
#include <QMenu>
#include <QPixmap>
#include <QScrollArea>

namespace {

const char scrollBarStyle[] =
    "QScrollBar:vertical {width: 15px; border: 0px; border-left: 0px solid #173749; background: "
    "qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 #173749, stop:0.5 #1c425e stop:1 #173749); "
    "margin: 0px 0px 0px 0px;} QScrollBar::handle:vertical { background: qlineargradient(x1:0, y1:0, "
    "x2:1, y2:1, stop:0 #255680, stop:1 #275e89); border: none; min-height: 20px; border-radius: 4px; "
    "margin: 3px 3px 3px 3px;} QScrollBar::handle:vertical:hover { background: qlineargradient(x1:0, "
    "y1:0, x2:1, y2:1, stop:0 #6d9eb4, stop:1 #6e9fb6); } QScrollBar::add-line:vertical, "
    "QScrollBar::sub-line:vertical { border: none; background: transparent; height: 0px; width: 0px; "
    "subcontrol-position: top; subcontrol-origin: margin; } QScrollBar::add-page:vertical, "
    "QScrollBar::sub-page:vertical { background: none; }";

} // namespace

CScrollPreview::CScrollPreview(QWidget *parent)
    : QWidget(parent), m_scrollArea(new QScrollArea(this)), m_container(new QWidget),
      m_borderLabel(new QLabel(parent)), m_menu(new QMenu(this))
{
    QAction *compareAction = m_menu->addAction(QString());
    connect(compareAction, &QAction::triggered, this, [this] { compare(m_menuId); });
    m_scrollArea->setStyleSheet(QString::fromLatin1(scrollBarStyle));
    m_container->setStyleSheet(QStringLiteral("border-width: 0px; margin: 0px;"));
    m_scrollArea->setWidget(m_container);
    m_scrollArea->show();
    m_borderLabel->setPixmap(QPixmap(QCoreApplication::applicationDirPath() + QStringLiteral("/resources/border.png")));
    m_borderLabel->resize(40, 5);
    m_container->resize(containerWidth, margin);
}

CScrollPreview::~CScrollPreview()
{
    clear();
}

QSize CScrollPreview::fittedSize(QSize picture)
{
    const int box = CPressButton::side;
    int w = box, h = box;
    if (picture.width() > box)
        h = int(qint64(picture.height()) * box / picture.width());
    if (h > box) {
        const double factor = double(h) / box;
        w = int(w / factor);
        h = int(h / factor);
    }
    return picture.scaled(w, h, Qt::KeepAspectRatio);
}

void CScrollPreview::addThumbnail(const QPixmap &picture, const QString &url, const QString &caption,
                                  const QColor &captionColour, const CMatchEvidence &evidence)
{
    Match match{evidence.isEmpty() ? QImage() : picture.toImage(), url, caption, evidence};
    auto *button = new CPressButton(m_container, m_nextId, url, caption, captionColour);
    button->setStyleSheet(QStringLiteral("border-width: 0px; margin: 0px;"));
    button->show();
    if (!picture.isNull())
        button->setPicture(picture.scaled(fittedSize(picture.size()), Qt::KeepAspectRatio, Qt::SmoothTransformation));
    button->resize(CPressButton::side, CPressButton::side);
    button->move(margin, margin + pitch * int(m_buttons.size()));
    connect(button, &CPressButton::signalPressButtonId, this, &CScrollPreview::signalPressId);
    connect(button, &CPressButton::signalPressButtonUrl, this, &CScrollPreview::signalPressUrl);
    if (!evidence.isEmpty()) {
        button->setToolTip(toolTip(match));
        button->setHasMenu(true);
        connect(button, &CPressButton::signalMenuRequested, this, &CScrollPreview::showMenu);
    }
    m_matches.append(match);
    m_buttons.append(button);
    ++m_nextId;
    m_container->resize(containerWidth, pitch * int(m_buttons.size()) + margin);
}

void CScrollPreview::clear()
{
    for (CPressButton *button : std::as_const(m_buttons)) {
        disconnect(button, nullptr, this, nullptr);
        delete button;
    }
    m_buttons.clear();
    m_matches.clear();
    m_nextId = 0;
    m_container->resize(containerWidth, margin);
}

void CScrollPreview::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_scrollArea->resize(size());
    m_borderLabel->move(m_scrollArea->width() - 35, m_scrollArea->height());
}

QString CScrollPreview::toolTip(const Match &match) const
{
    // The candidate with the outline, small enough for a tooltip, inline as a PNG.
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    match.evidence.outlined(match.picture).scaled(240, 240, Qt::KeepAspectRatio, Qt::SmoothTransformation).save(&buffer, "PNG");
    return QStringLiteral("<b>") + match.caption.toHtmlEscaped() + QStringLiteral("</b><br>")
           + match.evidence.agreementText(m_tr).toHtmlEscaped() + QStringLiteral("<br><img src=\"data:image/png;base64,")
           + QString::fromLatin1(png.toBase64()) + QStringLiteral("\">");
}

void CScrollPreview::showMenu(int id, const QPoint &globalPosition)
{
    m_menuId = id;
    m_menu->actions().constFirst()->setText(m_tr(QStringLiteral("Compare")));
    m_menu->popup(globalPosition);
}

CEvidenceView *CScrollPreview::compare(int index)
{
    if (index < 0 || index >= m_matches.size() || m_matches.at(index).evidence.isEmpty())
        return nullptr;
    const Match &match = m_matches.at(index);
    // A window of its own, closed with the main window.
    auto *view = new CEvidenceView(match.evidence, match.picture, match.url, match.caption, m_tr, window());
    connect(view, &CEvidenceView::signalOpenPage, this, &CScrollPreview::signalPressUrl);
    view->show();
    m_evidenceView = view;
    return view;
}
