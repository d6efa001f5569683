#pragma once

#include "evidenceview.h"
#include "matching/matchevidence.h"

#include <QColor>
#include <QPointer>
#include <QString>
#include <QVector>
#include <QWidget>

class CPressButton;
class QLabel;
class QMenu;
class QPixmap;
class QScrollArea;

// The strip of thumbnails of the matches: a scrolling column of CPressButtons, in the order they
// were added. A click on one re-emits the address of its page. A match that comes with the evidence
// of its comparison shows it in its tooltip, and its right-click menu offers "Compare", which opens
// the side-by-side view; that view's button re-emits the page's address as a click would.
class CScrollPreview : public QWidget
{
    Q_OBJECT
public:
    static constexpr int containerWidth = 165;
    static constexpr int pitch = 160;
    static constexpr int margin = 5;

    explicit CScrollPreview(QWidget *parent = nullptr);
    ~CScrollPreview() override;

    // Turns the English texts shown into the interface language; unchanged by default.
    void setTranslator(CMatchEvidence::Translator translator) { m_tr = std::move(translator); }

    void addThumbnail(const QPixmap &picture, const QString &url, const QString &caption,
                      const QColor &captionColour, const CMatchEvidence &evidence = {});
    void clear();
    // Opens the side-by-side view of thumbnail `index`'s evidence; null when it has none.
    CEvidenceView *compare(int index);

    // The size a picture is brought to before it is handed to its thumbnail: fitted into the
    // 155 by 155 box, enlarged when smaller.
    static QSize fittedSize(QSize picture);

    const QVector<CPressButton *> &buttons() const { return m_buttons; }
    QWidget *container() const { return m_container; }
    QScrollArea *scrollArea() const { return m_scrollArea; }
    QMenu *menu() const { return m_menu; }
    // The side-by-side view opened last, while it is open.
    CEvidenceView *evidenceView() const { return m_evidenceView; }

signals:
    void signalPressId(int id);
    void signalPressUrl(const QString &url);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    struct Match
    {
        QImage picture;
        QString url;
        QString caption;
        CMatchEvidence evidence;
    };
    void showMenu(int id, const QPoint &globalPosition);
    QString toolTip(const Match &match) const;

    QScrollArea *m_scrollArea;
    QWidget *m_container;
    QLabel *m_borderLabel;
    QVector<CPressButton *> m_buttons;
    int m_nextId = 0;
    CMatchEvidence::Translator m_tr = [](const QString &text) { return text; };
    // The matches behind the thumbnails, in the same order.
    QVector<Match> m_matches;
    QMenu *m_menu;
    int m_menuId = -1;
    QPointer<CEvidenceView> m_evidenceView;
};
