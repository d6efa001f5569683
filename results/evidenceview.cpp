#include "evidenceview.h"

#include "ui_evidenceview.h"

#include <QPixmap>

CEvidenceView::CEvidenceView(const CMatchEvidence &evidence, const QImage &candidate, const QString &url,
                             const QString &caption, const CMatchEvidence::Translator &tr, QWidget *parent)
    : QWidget(parent, Qt::Window), m_ui(std::make_unique<Ui::CEvidenceView>()),
      m_picture(evidence.sideBySide(candidate)), m_url(url)
{
    m_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    const QString compare = tr(QStringLiteral("Compare"));
    setWindowTitle(caption.isEmpty() ? compare : compare + QStringLiteral(": ") + caption);
    m_ui->figuresLabel->setText(caption + QLatin1Char('\n') + evidence.agreementText(tr) + QLatin1Char('\n')
                                + tr(QStringLiteral("%1 keypoint pairs before the geometric check")).arg(evidence.pairs));
    m_ui->openPageButton->setText(tr(QStringLiteral("Open page")));
    connect(m_ui->openPageButton, &QPushButton::clicked, this, [this] { emit signalOpenPage(m_url); });
}

CEvidenceView::~CEvidenceView() = default;

QString CEvidenceView::figuresText() const
{
    return m_ui->figuresLabel->text();
}

QAbstractButton *CEvidenceView::openPageButton() const
{
    return m_ui->openPageButton;
}

void CEvidenceView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    // Reduced to the room there is, never blown up.
    const QSize room = m_ui->pictureLabel->size();
    if (m_picture.isNull() || room.isEmpty())
        return;
    const QImage shown = m_picture.width() <= room.width() && m_picture.height() <= room.height()
                             ? m_picture
                             : m_picture.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    m_ui->pictureLabel->setPixmap(QPixmap::fromImage(shown));
}
