#pragma once

#include <QDialog>

class QPlainTextEdit;
class QPushButton;

// The end-user licence agreement shown on a first start. The caller reads decision() afterwards:
// 0 when it was accepted, -1 otherwise.
class CEulaDlg : public QDialog
{
    Q_OBJECT
public:
    explicit CEulaDlg(QWidget *parent = nullptr);

    int decision() const { return m_decision; }
    static QString agreementText();

public slots:
    void OnOk();
    void OnCancel();

private:
    QPushButton *m_acceptButton;
    QPushButton *m_rejectButton;
    QPlainTextEdit *m_text;
    int m_decision = -1;
};
