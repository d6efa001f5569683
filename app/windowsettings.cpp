#include "windowsettings.h"

#include "appconfig.h"
#include "style/stylesheets.h"
#include "translationtable.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QSpinBox>
#include <QToolButton>

CWindowSettings::CWindowSettings(QWidget *parent, AppConfig *config, CTranslationTable *translationTable)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint), m_config(config), m_translationTable(translationTable)
{
    setFixedSize(260, 210);
    setWindowModality(Qt::WindowModal);
    setAutoFillBackground(false);
    setStyleSheet(CStyleSheets::dialog());

    m_interfaceBox = new QGroupBox(this);
    m_interfaceBox->setObjectName("groupBox");
    m_interfaceBox->setGeometry(10, 10, 241, 81);
    m_languageLabel = new QLabel(m_interfaceBox);
    m_languageLabel->setObjectName("label");
    m_languageLabel->setGeometry(20, 18, 200, 20);
    m_languageBox = new QComboBox(m_interfaceBox);
    m_languageBox->setGeometry(20, 40, 150, 31);
    m_languageBox->setStyleSheet(CStyleSheets::comboBox());

    m_searchBox = new QGroupBox(this);
    m_searchBox->setObjectName("groupBox_2");
    m_searchBox->setGeometry(10, 100, 241, 55);
    m_limitLabel = new QLabel(m_searchBox);
    m_limitLabel->setObjectName("label_2");
    m_limitLabel->setGeometry(10, 21, 126, 20);
    m_limitBox = new QSpinBox(m_searchBox);
    m_limitBox->setGeometry(140, 20, 81, 22);
    m_limitBox->setRange(1, 30);
    m_limitBox->setValue(10);
    for (const auto &[name, rect] : {std::pair{"line", QRect(26, 21, 61, 16)}, std::pair{"line_2", QRect(150, 21, 61, 16)}}) {
        auto *line = new QFrame(m_searchBox);
        line->setObjectName(name);
        line->setGeometry(rect);
        line->setFrameShape(QFrame::HLine);
        line->setFrameShadow(QFrame::Sunken);
        line->hide();
    }

    const auto makeButton = [this](int x) {
        auto *button = new QToolButton(this);
        button->setGeometry(x, 170, 85, 30);
        button->setStyleSheet(CStyleSheets::toolButton());
        return button;
    };
    m_okButton = makeButton(70);
    m_cancelButton = makeButton(165);
    m_applyButton = makeButton(165);
    m_applyButton->hide();

    connect(m_okButton, &QToolButton::clicked, this, &CWindowSettings::slotOnOk);
    connect(m_cancelButton, &QToolButton::clicked, this, &CWindowSettings::slotOnCancel);
    connect(m_applyButton, &QToolButton::clicked, this, &CWindowSettings::slotOnApply);
    connect(this, &QDialog::rejected, this, &CWindowSettings::slotUpdateWidget);
    slotUpdateWidget();
}

void CWindowSettings::slotUpdateWidget()
{
    const QString folder = QCoreApplication::applicationDirPath();
    m_limitBox->setValue(m_config->max_out);
    // Each language by its own name, so that a reader of no other finds theirs; the setting
    // stays the file's name.
    m_languageBox->clear();
    for (const QString &language : CTranslationTable::languages(folder))
        m_languageBox->addItem(CTranslationTable::nativeName(folder, language), language);
    const int current = m_languageBox->findData(m_config->language, Qt::UserRole, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (current >= 0)
        m_languageBox->setCurrentIndex(current);
    m_translationTable->load(CTranslationTable::languageFile(folder, m_config->language));

    const CTranslationTable &t = *m_translationTable;
    setWindowTitle(t.tr("Settings"));
    m_interfaceBox->setTitle(t.tr("Interface"));
    m_searchBox->setTitle(t.tr("Search"));
    m_languageLabel->setText(t.tr("Language:"));
    m_limitLabel->setText(t.tr("Limit output"));
    m_okButton->setText(t.tr("Ok"));
    m_cancelButton->setText(t.tr("Cancel"));
    m_applyButton->setText(t.tr("Apply"));
}

void CWindowSettings::slotOnApply()
{
    m_config->language = m_languageBox->currentData().toString();
    m_config->max_out = m_limitBox->value();
    const QString error = m_config->save();
    if (!error.isEmpty())
        QMessageBox::warning(this, m_translationTable->tr("Settings"), m_translationTable->tr("The settings could not be saved: %1").arg(error));
    slotUpdateWidget();
    emit signalUpdateSetting();
}

void CWindowSettings::slotOnOk()
{
    slotOnApply();
    reject(); // every way of closing ends in the rejection that refills the controls
}

void CWindowSettings::slotOnCancel()
{
    if (m_config->firstStart)
        m_config->save();
    reject();
}
