#pragma once

#include "matching/matchevidence.h"

#include <QImage>
#include <QString>
#include <QWidget>

#include <memory>

class QAbstractButton;

namespace Ui {
class CEvidenceView;
}

// The side-by-side view of one match: the user's framed stamp and the candidate, the inlier pairs
// joined by lines, the outline of the user's stamp in the candidate, the figures, and a button that
// asks for the match's page. A window of its own; it deletes itself when closed.
class CEvidenceView : public QWidget
{
    Q_OBJECT
public:
    CEvidenceView(const CMatchEvidence &evidence, const QImage &candidate, const QString &url,
                  const QString &caption, const CMatchEvidence::Translator &tr, QWidget *parent = nullptr);
    ~CEvidenceView() override;

    // The side-by-side picture at full size, as shown (reduced to fit) in the view.
    const QImage &picture() const { return m_picture; }
    QString figuresText() const;
    QAbstractButton *openPageButton() const;

signals:
    // The user wants the match's page.
    void signalOpenPage(const QString &url);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    std::unique_ptr<Ui::CEvidenceView> m_ui;
    QImage m_picture;
    QString m_url;
};
