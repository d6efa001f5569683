#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

class QLabel;
class QPixmap;

// One thumbnail of the strip: the match's picture with an optional caption below it. Any mouse
// button on it reports its number and the address of the match's page.
class CPressButton : public QWidget
{
    Q_OBJECT
public:
    static constexpr int side = 155;
    static constexpr int captionHeight = 18;
    static constexpr int captionTop = 137;

    CPressButton(QWidget *parent, int id, const QString &url, const QString &caption,
                 const QColor &captionColour);
    ~CPressButton() override;

    // Shows picture scaled into the picture's box (above the caption, or the whole button).
    void setPicture(const QPixmap &picture);

    int id() const { return m_id; }
    QString url() const { return m_url; }
    QString caption() const { return m_caption; }
    QLabel *pictureLabel() const { return m_picture; }
    QLabel *captionLabel() const { return m_captionLabel; }

    // A thumbnail with evidence offers its menu on the right button instead of opening the page.
    void setHasMenu(bool hasMenu) { m_hasMenu = hasMenu; }

signals:
    void signalPressButtonId(int id);
    void signalPressButtonUrl(const QString &url);
    void signalMenuRequested(int id, const QPoint &globalPosition);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QSize pictureBox() const;

    int m_id;
    QString m_url;
    QString m_caption;
    QLabel *m_picture;
    QLabel *m_captionLabel;
    bool m_hasMenu = false;
};
