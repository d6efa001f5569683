#pragma once

#include <QPixmap>
#include <QWidget>

#include <functional>

class CCamGrab;
class QComboBox;
class QLabel;
class QPushButton;

// The live camera picture inside the image view, with the camera choice and the buttons that
// resume ("Start"), freeze ("Capture") and take ("Apply") the picture. Applying hands the frame on
// show to the main window and closes the preview, which releases the camera.
class CCamPreview : public QWidget
{
    Q_OBJECT
public:
    // The interface-language lookup: English text in, text to show out.
    using Translator = std::function<QString(const QString &)>;

    CCamPreview(QWidget *parent, Translator translationTable);

    CCamGrab *grabber() const { return m_grabber; }
    QLabel *previewLabel() const { return m_view; }
    QComboBox *cameraBox() const { return m_cameras; }
    // The last frame received from the grabber; null while none came.
    const QPixmap &lastFrame() const { return lastPixmap; }

signals:
    void signalOutPixmap(const QPixmap &pixmap);

public slots:
    void slotRenderPixmap(const QPixmap &pixmap);
    void slotStart();
    void slotCapture();
    void slotApply();
    void slotUpdateWidget();

private:
    QString translated(const QString &text) const;

    QLabel *m_view = nullptr;
    QPushButton *m_start = nullptr;
    QPushButton *m_capture = nullptr;
    QPushButton *m_apply = nullptr;
    QComboBox *m_cameras = nullptr;
    CCamGrab *m_grabber = nullptr;
    QPixmap lastPixmap;
    Translator translationTable;
};
