#pragma once

#include <QDialog>

class CTranslationTable;
class QImage;
class QToolButton;

// The About box: logo, product name and version, and a link to the maker's web site.
class CAboutDlg : public QDialog
{
    Q_OBJECT
public:
    CAboutDlg(const QImage *logo, const QImage *image, const CTranslationTable *translationTable,
              QWidget *parent = nullptr);

    static QString versionText();

public slots:
    void OnVisit();
    void OnOk();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    const QImage *m_logo;
    const QImage *m_image;
    const CTranslationTable *m_translationTable;
    QToolButton *m_visitButton;
    QToolButton *m_closeButton;
};
