#pragma once

#include <QDialog>

#include <memory>

class CTranslationTable;
class QImage;

namespace Ui {
class CAboutDlg;
}

// The About box: logo, product name and version, and a link to the maker's web site.
class CAboutDlg : public QDialog
{
    Q_OBJECT
public:
    CAboutDlg(const QImage *logo, const QImage *image, const CTranslationTable *translationTable,
              QWidget *parent = nullptr);
    ~CAboutDlg() override;

    static QString versionText();

public slots:
    void OnVisit();
    void OnOk();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    std::unique_ptr<Ui::CAboutDlg> m_ui;
    const QImage *m_logo;
    const QImage *m_image;
};
