#include "progresspanel.h"

#include "style/stylesheets.h"
#include "ui_progresspanel.h"

CProgressPanel::CProgressPanel(QWidget *parent)
    : QProgressDialog(parent, Qt::Dialog | Qt::WindowTitleHint), m_ui(std::make_unique<Ui::CProgressPanel>())
{
    // The dialog's own bar, button and label give way to hidden ones: the form places its own.
    auto *hiddenBar = new QProgressBar;
    setBar(hiddenBar);
    hiddenBar->hide();
    auto *hiddenCancel = new QPushButton;
    setCancelButton(hiddenCancel);
    hiddenCancel->hide();
    auto *hiddenLabel = new QLabel;
    setLabel(hiddenLabel);
    hiddenLabel->hide();
    reset(); // no automatic showing
    hide();

    m_ui->setupUi(this);
    m_ui->progressBar->setStyleSheet(CStyleSheets::progressBar());
    m_ui->stopButton->setStyleSheet(CStyleSheets::toolButton());
    const QList<QLabel *> labels = {m_ui->stageLabel0, m_ui->stageLabel1, m_ui->stageLabel2, m_ui->stageLabel3, m_ui->stageLabel4};
    const QList<QLabel *> icons = {m_ui->stageIcon0, m_ui->stageIcon1, m_ui->stageIcon2, m_ui->stageIcon3, m_ui->stageIcon4};
    for (int i = 0; i < stageCount; ++i) {
        m_stageLabels[i] = labels.at(i);
        m_stageIcons[i] = icons.at(i);
    }
    connect(m_ui->stopButton, &QPushButton::clicked, this, &QProgressDialog::reject);
    connect(m_ui->stopButton, &QPushButton::clicked, this, &QProgressDialog::cancel);
}

CProgressPanel::~CProgressPanel() = default;

void CProgressPanel::retranslate(const Translator &tr)
{
    // The form holds the English texts.
    m_ui->retranslateUi(this);
    setWindowTitle(tr(windowTitle()));
    m_ui->stopButton->setText(tr(m_ui->stopButton->text()));
    for (QLabel *label : m_stageLabels)
        label->setText(tr(label->text()));
}

void CProgressPanel::clearStages()
{
    for (QLabel *icon : m_stageIcons)
        icon->clear();
}

void CProgressPanel::showStage(int current)
{
    static const QString styles[] = {QStringLiteral("color: #00de15; font-size: 14px;"),
                                      QStringLiteral("color: #00de15; font-size: 14px; font-weight: bold;"),
                                      QStringLiteral("color: #ccca00; font-size: 14px;")};
    for (int i = 0; i < stageCount; ++i)
        m_stageLabels[i]->setStyleSheet(styles[i < current ? 0 : i == current ? 1 : 2]);
}

void CProgressPanel::checkStage(int stage)
{
    if (stage >= 0 && stage < stageCount)
        m_stageIcons[stage]->setPixmap(QPixmap(CStyleSheets::resource(QStringLiteral("check-symbol.png"))));
}

void CProgressPanel::setStagePicture(const QPixmap &picture)
{
    m_ui->stagePicture->setPixmap(picture);
}

void CProgressPanel::setStatus(const QString &text)
{
    m_ui->statusLabel->setText(text);
}

void CProgressPanel::setProgress(int percent)
{
    m_ui->progressBar->setValue(percent);
}
