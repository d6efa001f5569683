#pragma once

#include <QDialog>

#include <memory>

class AppConfig;
class CTranslationTable;
class QComboBox;
class QSpinBox;

namespace Ui {
class CWindowSettings;
}

// The settings dialog: interface language and the limit on results per site.
class CWindowSettings : public QDialog
{
    Q_OBJECT
public:
    CWindowSettings(QWidget *parent, AppConfig *config, CTranslationTable *translationTable);
    ~CWindowSettings() override;

    QComboBox *languageBox() const;
    QSpinBox *limitBox() const;

signals:
    void signalUpdateSetting();

public slots:
    void slotOnOk();
    void slotOnCancel();
    void slotOnApply();
    void slotUpdateWidget();

private:
    std::unique_ptr<Ui::CWindowSettings> m_ui;
    AppConfig *m_config;
    CTranslationTable *m_translationTable;
};
