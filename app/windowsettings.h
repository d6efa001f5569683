#pragma once

#include <QDialog>

class AppConfig;
class CTranslationTable;
class QComboBox;
class QGroupBox;
class QLabel;
class QSpinBox;
class QToolButton;

// The settings dialog: interface language and the limit on results per site.
class CWindowSettings : public QDialog
{
    Q_OBJECT
public:
    CWindowSettings(QWidget *parent, AppConfig *config, CTranslationTable *translationTable);

    QComboBox *languageBox() const { return m_languageBox; }
    QSpinBox *limitBox() const { return m_limitBox; }

signals:
    void signalUpdateSetting();

public slots:
    void slotOnOk();
    void slotOnCancel();
    void slotOnApply();
    void slotUpdateWidget();

private:
    AppConfig *m_config;
    CTranslationTable *m_translationTable;
    QGroupBox *m_interfaceBox;
    QLabel *m_languageLabel;
    QComboBox *m_languageBox;
    QGroupBox *m_searchBox;
    QLabel *m_limitLabel;
    QSpinBox *m_limitBox;
    QToolButton *m_okButton;
    QToolButton *m_cancelButton;
    QToolButton *m_applyButton;
};
