#include "aboutdlg.h"

#include "style/stylesheets.h"
#include "translationtable.h"

#include <QImage>
#include <QPainter>
#include <QToolButton>

CAboutDlg::CAboutDlg(const QImage *logo, const QImage *image, const CTranslationTable *translationTable,
                     QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint), m_logo(logo), m_image(image),
      m_translationTable(translationTable)
{
    setFixedSize(400, 300);
    setStyleSheet(CStyleSheets::dialog());
    setWindowTitle(m_translationTable->tr("About"));

    m_visitButton = new QToolButton(this);
    m_visitButton->setGeometry(width() / 2 - 135, height() - 40, 120, 30);
    m_visitButton->setStyleSheet(CStyleSheets::toolButton());
    m_visitButton->setText(m_translationTable->tr("Visit Harbek"));
    connect(m_visitButton, &QToolButton::clicked, this, &CAboutDlg::OnVisit);

    m_closeButton = new QToolButton(this);
    m_closeButton->setGeometry(width() / 2 + 15, height() - 40, 120, 30);
    m_closeButton->setStyleSheet(CStyleSheets::toolButton());
    m_closeButton->setText(m_translationTable->tr("Close"));
    connect(m_closeButton, &QToolButton::clicked, this, &CAboutDlg::OnOk);
}

QString CAboutDlg::versionText()
{
    return QStringLiteral("Version %1.%2.%3").arg(3).arg(0).arg(6);
}

void CAboutDlg::OnVisit()
{
    accept();
}

void CAboutDlg::OnOk()
{
    reject();
}

void CAboutDlg::mouseReleaseEvent(QMouseEvent *)
{
}

void CAboutDlg::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (m_logo && !m_logo->isNull())
        painter.drawImage((width() - m_logo->width()) / 2, 30, *m_logo);
    painter.setFont(QFont(QStringLiteral("Arial"), 11));
    painter.setPen(QPen(QColor(255, 255, 255, 255), 2));
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.drawText(QRect(0, height() - 100, width(), 24), Qt::AlignCenter, versionText());
    painter.setFont(QFont(QStringLiteral("Arial"), 16));
    painter.drawText(QRect(0, height() - 130, width(), 30), Qt::AlignCenter, QStringLiteral("Quillet"));
}
