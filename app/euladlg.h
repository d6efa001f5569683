#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class CEulaDlg;
}

// The end-user licence agreement shown on a first start. The caller reads decision() afterwards:
// 0 when it was accepted, -1 otherwise.
class CEulaDlg : public QDialog
{
    Q_OBJECT
public:
    explicit CEulaDlg(QWidget *parent = nullptr);
    ~CEulaDlg() override;

    int decision() const { return m_decision; }
    static QString agreementText();

public slots:
    void OnOk();
    void OnCancel();

private:
    std::unique_ptr<Ui::CEulaDlg> m_ui;
    int m_decision = -1;
};
