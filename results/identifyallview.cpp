#include "identifyallview.h"

#include "ui_identifyallview.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>

namespace {
constexpr int pictureColumn = 0;
constexpr int textColumn = 1;
constexpr int buttonColumn = 2;
} // namespace

CIdentifyAllView::CIdentifyAllView(std::function<QString(const QString &)> translator, QWidget *parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::CIdentifyAllView>()), m_tr(std::move(translator))
{
    m_ui->setupUi(this);
    QHeaderView *header = m_ui->stampTable->horizontalHeader();
    header->setSectionResizeMode(pictureColumn, QHeaderView::Fixed);
    header->resizeSection(pictureColumn, m_ui->stampTable->iconSize().width() + 12);
    header->setSectionResizeMode(textColumn, QHeaderView::Stretch);
    header->setSectionResizeMode(buttonColumn, QHeaderView::ResizeToContents);
    m_ui->stampTable->verticalHeader()->setDefaultSectionSize(m_ui->stampTable->iconSize().height() + 8);
    connect(m_ui->stopButton, &QPushButton::clicked, this, &CIdentifyAllView::signalStop);
    setRunning(false);
    retranslate();
}

CIdentifyAllView::~CIdentifyAllView() = default;

void CIdentifyAllView::setStamps(const QList<QImage> &cutouts)
{
    QTableWidget *table = m_ui->stampTable;
    table->clearContents();
    table->setRowCount(int(cutouts.size()));
    const QSize iconSize = table->iconSize();
    for (int row = 0; row < cutouts.size(); ++row) {
        auto *picture = new QTableWidgetItem;
        picture->setData(Qt::DecorationRole, QPixmap::fromImage(cutouts.at(row).scaled(
                                                   iconSize, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
        table->setItem(row, pictureColumn, picture);
        table->setItem(row, textColumn, new QTableWidgetItem);
        // The button keeps its own size in the tall row.
        auto *cell = new QWidget(table);
        auto *layout = new QHBoxLayout(cell);
        layout->setContentsMargins(6, 0, 6, 0);
        auto *search = new QPushButton(cell);
        search->setObjectName(QStringLiteral("searchButton%1").arg(row));
        search->setMinimumSize(85, 30);
        layout->addWidget(search, 0, Qt::AlignCenter);
        connect(search, &QPushButton::clicked, this, [this, row] { emit signalSearch(row); });
        table->setCellWidget(row, buttonColumn, cell);
        setOutcome(row, Pending, QString());
    }
    retranslate();
}

int CIdentifyAllView::stampCount() const
{
    return m_ui->stampTable->rowCount();
}

void CIdentifyAllView::setOutcome(int index, Outcome outcome, const QString &text)
{
    QTableWidgetItem *item = m_ui->stampTable->item(index, textColumn);
    if (!item)
        return;
    item->setText(text);
    item->setData(Qt::UserRole, int(outcome));
    // A failed exchange stands out: the user may want to ask again about that stamp alone.
    item->setForeground(outcome == Failed ? QColor(0xc0, 0, 0) : outcome == NotRecognised ? QColor(0x70, 0x70, 0x70)
                                                                                           : QColor(Qt::black));
    QFont font = item->font();
    font.setBold(outcome == Answered);
    item->setFont(font);
}

QString CIdentifyAllView::outcomeText(int index) const
{
    const QTableWidgetItem *item = m_ui->stampTable->item(index, textColumn);
    return item ? item->text() : QString();
}

void CIdentifyAllView::setStatus(const QString &text)
{
    m_ui->statusLabel->setText(text);
}

void CIdentifyAllView::setRunning(bool running)
{
    m_ui->stopButton->setEnabled(running);
}

void CIdentifyAllView::retranslate()
{
    m_ui->stopButton->setText(m_tr(QStringLiteral("Stop")));
    for (int row = 0; row < stampCount(); ++row) {
        if (QWidget *cell = m_ui->stampTable->cellWidget(row, buttonColumn))
            cell->findChild<QPushButton *>()->setText(m_tr(QStringLiteral("Search")));
    }
}
