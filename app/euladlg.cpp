#include "euladlg.h"

#include "ui_euladlg.h"

#include <QPushButton>

CEulaDlg::CEulaDlg(QWidget *parent) : QDialog(parent), m_ui(std::make_unique<Ui::CEulaDlg>())
{
    m_ui->setupUi(this);
    m_ui->agreement->setPlainText(agreementText());
    connect(m_ui->acceptButton, &QPushButton::clicked, this, &CEulaDlg::OnOk);
    connect(m_ui->rejectButton, &QPushButton::clicked, this, &CEulaDlg::OnCancel);
}

CEulaDlg::~CEulaDlg() = default;

void CEulaDlg::OnOk()
{
    m_decision = 0;
    accept();
}

void CEulaDlg::OnCancel()
{
    reject();
}

QString CEulaDlg::agreementText()
{
    return QStringLiteral(
        "QUILLET END-USER LICENCE AGREEMENT\n\n"
        "Please read this agreement before you use Quillet. By pressing \"Accept\" you agree to it; "
        "if you do not agree, press \"Reject\" and Quillet will close.\n\n"
        "1. Licence. You may install and use Quillet on the computers you own or control, for your "
        "own collecting, study and trading.\n\n"
        "2. Your pictures. To identify a stamp, Quillet sends the part of your picture that you framed "
        "to the recognition server named in its settings, and it asks the stamp sites and the search "
        "engine named there with the keywords it receives. Nothing else of your computer is sent.\n\n"
        "3. Results. Identifications, catalogue numbers and offers come from outside sources and from "
        "an automatic comparison of pictures. They can be wrong or incomplete; check them before you "
        "buy, sell or value a stamp.\n\n"
        "4. Other sites. Pages opened in Quillet's browser belong to their owners, whose own terms apply.\n\n"
        "5. No warranty. Quillet is provided \"as is\", without warranty of any kind. To the extent the "
        "law allows, the maker is not liable for any damage arising from its use.\n\n"
        "6. End. This licence ends when you stop using Quillet and remove it from your computers.\n");
}
