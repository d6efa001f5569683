#pragma once

#include "matching/matchevidence.h"

#include <QImage>
#include <QMainWindow>
#include <QPixmap>
#include <QPointer>
#include <QStringList>
#include <QVector>

#include <memory>

class AppConfig;
class CCommandChannel;
class CDisplay;
class CIdentifyAll;
class CIdentifyAllView;
class CPictureEditor;
class CProgressPanel;
class CScrollPreview;
class CStampSearch;
class CTEPageItem;
class CTranslationTable;
class CWebBrowser;
class CWindowSettings;
class QMessageBox;
class QMenu;
class QNetworkAccessManager;
class QNetworkReply;
class QProgressDialog;
class QShortcut;
class QTimer;
class QWidget;

namespace Ui {
class MainWindow;
}

// The program's only top-level window. It owns every other object, binds the buttons and events
// to them and shows the picture, the progress of a search and its results; the work itself lives
// in classes of its own (the picture's editing in CPictureEditor, a command list's reading in
// CCommandInterpreter, the search in CStampSearch).
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(const QStringList &args, QWidget *parent = nullptr);
    ~MainWindow() override;

    // Newest version the program knows of itself: 3.0.6 as major, minor and patch in hex digits.
    static constexpr int ownVersion = 0x30006;

    // The maker's web pages, on the configured host.
    static QUrl makerPage(const QString &path);

    AppConfig *config() const { return m_config; }
    CTranslationTable *translations() const { return translationTable; }
    CWindowSettings *settings() const { return settingsDialog; }
    QProgressDialog *progress() const;
    CDisplay *display() const;
    CPictureEditor *editor() const { return m_editor; }
    CTEPageItem *selectionFrame() const;
    CWebBrowser *browser() const;
    CStampSearch *search() const { return m_search; }
    CScrollPreview *thumbnails() const;
    CIdentifyAll *identifyAll() const { return m_identifyAll; }
    // The list of "Identify all"; null until it was first asked for.
    CIdentifyAllView *identifyAllView() const { return m_identifyAllView; }
    // The boxes (in the picture's pixels) of the stamps "Identify all" asked about, in its order.
    const QList<QRect> &identifiedBoxes() const { return m_identifiedBoxes; }
    const QPixmap &picture() const;
    const QImage &selection() const { return selectionImage; }

    // Takes the argument lists of later starts from the channel at socketPath (the caller holds the
    // instance lock).
    bool listenForCommands(const QString &socketPath);
    QString reportFile() const { return reportPath; }

    // Cuts the framed part out of the picture, keeps it as the selection and returns its JPEG
    // bytes; empty when the frame covers nothing of the picture.
    QByteArray takeSelection();

public slots:
    void slotReadEvent();
    void slotStartGrab();
    bool slotOpenGrab(const QString &path = QString(), const QImage &image = QImage());
    void slotIdentify();
    // Asks the recognition server about every stamp found on the picture (the framed part when
    // none was found) and lists the answers in a tab of their own.
    void slotIdentifyAll();
    void slotPressScrollView(const QString &url);
    void slotSelection();
    void slotRenderPixmap(const QPixmap &pixmap);
    void slotTurnLeft();
    void slotTurnRight();
    void slotCanseledSearch();
    void slotOnSettingMenu();
    void slotOnHelpMenu();
    void slotAbout();
    void slotManual();
    void replyFinished(QNetworkReply *reply);
    void slotAddMiniImg(const QImage &image);
    void slotAddImg(const QImage &image, const QString &pageUrl, const QString &source,
                    const QString &domain, int kind, const CMatchEvidence &evidence = {});
    void slotDragAndDropImage(const QString &path);
    void slotResize();
    void commandInterpreter();
    void slotPasteImg();
    void slotUpdateWidget();
    void slotOnContextMenu();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildWidgets();
    void runFirstStart();
    void startUpdateCheck();
    QPoint helpMenuPosition() const;
    void setPictureButtonsEnabled(bool enabled);
    void connectSearch();
    void connectIdentifyAll();
    void showIdentifiedStamp(int index);
    void searchIdentifiedStamp(int index);
    void runSearch(const QImage &cutout, const QByteArray &jpeg);
    void updateStepShortcuts();
    // How a search ended, in a box that waits for nobody: the next command list closes it.
    void showSearchMessage(const QString &title, const QString &text);
    // What the user must know of (a command refused, a file not read): said in a box that holds
    // up nothing, and on standard error.
    void showProblem(const QString &text);

    std::unique_ptr<Ui::MainWindow> m_ui;
    CPictureEditor *m_editor = nullptr;
    CCommandChannel *commandChannel = nullptr;
    QStringList commandArgs;
    QTimer *commandTimer = nullptr;
    QNetworkAccessManager *updateManager = nullptr;
    QImage logoImage;
    QImage selectionImage;
    CTranslationTable *translationTable = nullptr;
    QList<QShortcut *> m_stepShortcuts;
    QString reportPath;
    CStampSearch *m_search = nullptr;
    CIdentifyAll *m_identifyAll = nullptr;
    // What "Identify all" asked about: the boxes on the picture (none for a framed part) and the
    // cut-outs as shown and as sent.
    QList<QRect> m_identifiedBoxes;
    QList<QImage> m_identifiedCutouts;
    QList<QByteArray> m_identifiedUploads;
    // Where the list goes when it is done; empty for nowhere.
    QString m_identifyAllReport;
    // Set when a search is asked for while one runs: it starts once the running one has unwound.
    bool m_searchAgain = false;
    QList<QPointer<QMessageBox>> m_searchMessages;
    AppConfig *m_config = nullptr;
    CWindowSettings *settingsDialog = nullptr;
    bool controlPressed = false;
    bool vPressed = false;

    QMenu *helpMenu = nullptr;
    QMenu *pictureMenu = nullptr;
    CIdentifyAllView *m_identifyAllView = nullptr;
    CProgressPanel *progressPanel = nullptr;
};
