#pragma once

#include <QColor>
#include <QString>
#include <QVector>
#include <QWidget>

class CPressButton;
class QLabel;
class QPixmap;
class QScrollArea;

// The strip of thumbnails of the matches: a scrolling column of CPressButtons, in the order they
// were added. A click on one re-emits the address of its page.
class CScrollPreview : public QWidget
{
    Q_OBJECT
public:
    static constexpr int containerWidth = 165;
    static constexpr int pitch = 160;
    static constexpr int margin = 5;

    explicit CScrollPreview(QWidget *parent = nullptr);
    ~CScrollPreview() override;

    void addThumbnail(const QPixmap &picture, const QString &url, const QString &caption,
                      const QColor &captionColour);
    void clear();

    // The size a picture is brought to before it is handed to its thumbnail: fitted into the
    // 155 by 155 box, enlarged when smaller.
    static QSize fittedSize(QSize picture);

    const QVector<CPressButton *> &buttons() const { return m_buttons; }
    QWidget *container() const { return m_container; }
    QScrollArea *scrollArea() const { return m_scrollArea; }

signals:
    void signalPressId(int id);
    void signalPressUrl(const QString &url);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    QScrollArea *m_scrollArea;
    QWidget *m_container;
    QLabel *m_borderLabel;
    QVector<CPressButton *> m_buttons;
    int m_nextId = 0;
};
