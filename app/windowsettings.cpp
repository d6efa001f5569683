#include "windowsettings.h"

#include "appconfig.h"
#include "style/stylesheets.h"
#include "translationtable.h"
#include "ui_windowsettings.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QMessageBox>
#include <QSpinBox>
#include <QToolButton>

CWindowSettings::CWindowSettings(QWidget *parent, AppConfig *config, CTranslationTable *translationTable)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint), m_ui(std::make_unique<Ui::CWindowSettings>()),
      m_config(config), m_translationTable(translationTable)
{
    m_ui->setupUi(this);
    setWindowModality(Qt::WindowModal);
    setStyleSheet(CStyleSheets::dialog());
    m_ui->languageBox->setStyleSheet(CStyleSheets::comboBox());
    for (QToolButton *button : {m_ui->okButton, m_ui->cancelButton, m_ui->applyButton})
        button->setStyleSheet(CStyleSheets::toolButton());

    connect(m_ui->okButton, &QToolButton::clicked, this, &CWindowSettings::slotOnOk);
    connect(m_ui->cancelButton, &QToolButton::clicked, this, &CWindowSettings::slotOnCancel);
    connect(m_ui->applyButton, &QToolButton::clicked, this, &CWindowSettings::slotOnApply);
    connect(this, &QDialog::rejected, this, &CWindowSettings::slotUpdateWidget);
    slotUpdateWidget();
}

CWindowSettings::~CWindowSettings() = default;

QComboBox *CWindowSettings::languageBox() const
{
    return m_ui->languageBox;
}

QSpinBox *CWindowSettings::limitBox() const
{
    return m_ui->limitBox;
}

void CWindowSettings::slotUpdateWidget()
{
    const QString folder = QCoreApplication::applicationDirPath();
    m_ui->limitBox->setValue(m_config->max_out);
    // Each language by its own name, so that a reader of no other finds theirs; the setting
    // stays the file's name.
    m_ui->languageBox->clear();
    for (const QString &language : CTranslationTable::languages(folder))
        m_ui->languageBox->addItem(CTranslationTable::nativeName(folder, language), language);
    const int current = m_ui->languageBox->findData(m_config->language, Qt::UserRole, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (current >= 0)
        m_ui->languageBox->setCurrentIndex(current);
    m_translationTable->load(CTranslationTable::languageFile(folder, m_config->language));

    // The form holds the English texts; the table gives them in the language just chosen.
    const CTranslationTable &t = *m_translationTable;
    m_ui->retranslateUi(this);
    setWindowTitle(t.tr(windowTitle()));
    for (QGroupBox *box : {m_ui->groupBox, m_ui->groupBox_2})
        box->setTitle(t.tr(box->title()));
    for (QLabel *label : {m_ui->label, m_ui->label_2})
        label->setText(t.tr(label->text()));
    for (QToolButton *button : {m_ui->okButton, m_ui->cancelButton, m_ui->applyButton})
        button->setText(t.tr(button->text()));
}

void CWindowSettings::slotOnApply()
{
    m_config->language = m_ui->languageBox->currentData().toString();
    m_config->max_out = m_ui->limitBox->value();
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
