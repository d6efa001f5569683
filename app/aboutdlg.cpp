#include "aboutdlg.h"

#include "style/stylesheets.h"
#include "translationtable.h"
#include "ui_aboutdlg.h"

#include <QImage>
#include <QPainter>
#include <QToolButton>

CAboutDlg::CAboutDlg(const QImage *logo, const QImage *image, const CTranslationTable *translationTable,
                     QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint), m_ui(std::make_unique<Ui::CAboutDlg>()), m_logo(logo),
      m_image(image)
{
    m_ui->setupUi(this);
    setStyleSheet(CStyleSheets::dialog());
    // The form holds the English texts; the table gives them in the user's language.
    setWindowTitle(translationTable->tr(windowTitle()));
    for (QToolButton *button : {m_ui->visitButton, m_ui->closeButton}) {
        button->setStyleSheet(CStyleSheets::toolButton());
        button->setText(translationTable->tr(button->text()));
    }
    connect(m_ui->visitButton, &QToolButton::clicked, this, &CAboutDlg::OnVisit);
    connect(m_ui->closeButton, &QToolButton::clicked, this, &CAboutDlg::OnOk);
}

CAboutDlg::~CAboutDlg() = default;

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
