#pragma once

#include "imaging/stamppage.h"
#include "matching/matchevidence.h"

#include <QImage>
#include <QMainWindow>
#include <QPixmap>
#include <QPointer>
#include <QStringList>
#include <QVector>

class AppConfig;
class CCommandChannel;
class CDisplay;
class CIdentifyAll;
class CIdentifyAllView;
class CScrollPreview;
class CStampSearch;
class CTEPageItem;
class CTranslationTable;
class CWebBrowser;
class CWindowSettings;
class QCheckBox;
class QLabel;
class QMessageBox;
class QMenu;
class QNetworkAccessManager;
class QNetworkReply;
class QProgressBar;
class QProgressDialog;
class QTabWidget;
class QShortcut;
class QTimer;
class QPushButton;
class QToolButton;
class QWidget;

// The program's only top-level window. It owns every other object and shows the picture, the
// progress of a search and its results; the work of each stage lives in classes of its own.
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
    QProgressDialog *progress() const { return progressPanel; }
    CDisplay *display() const { return m_display; }
    CTEPageItem *selectionFrame() const { return m_selectionFrame; }
    CWebBrowser *browser() const { return m_browser; }
    CStampSearch *search() const { return m_search; }
    CScrollPreview *thumbnails() const { return m_thumbnails; }
    CIdentifyAll *identifyAll() const { return m_identifyAll; }
    // The list of "Identify all"; null until it was first asked for.
    CIdentifyAllView *identifyAllView() const { return m_identifyAllView; }
    // The boxes (in the picture's pixels) of the stamps "Identify all" asked about, in its order.
    const QList<QRect> &identifiedBoxes() const { return m_identifiedBoxes; }
    const QPixmap &picture() const { return sourcePixmap; }
    const QImage &selection() const { return selectionImage; }

    // Takes the argument lists of later starts from the channel at socketPath (the caller holds the
    // instance lock).
    bool listenForCommands(const QString &socketPath);
    QString reportFile() const { return reportPath; }

    // Sizes the frame to a fraction of the shown picture and centres it.
    void fitSelection(double factor);
    // Cuts the framed part out of the picture, keeps it as the selection and returns its JPEG
    // bytes; empty when the frame covers nothing of the picture.
    QByteArray takeSelection();

public slots:
    void slotReadEvent();
    void slotStartGrab();
    bool slotOpenGrab(const QString &path = QString(), const QImage &image = QImage());
    void slotSelection();
    void slotIdentify();
    // Asks the recognition server about every stamp found on the picture (the framed part when
    // none was found) and lists the answers in a tab of their own.
    void slotIdentifyAll();
    void slotPressScrollView(const QString &url);
    void slotResizeSelection();
    void slotRenderPixmap(const QPixmap &pixmap);
    void slotTurnLeft();
    void slotTurnRight();
    void slotClosedPreview();
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
    QToolButton *makePanelButton(const QString &icon, int x, QSize size, bool withText);
    void runFirstStart();
    void startUpdateCheck();
    QPoint helpMenuPosition() const;
    void centreFrame();
    void setPictureButtonsEnabled(bool enabled);
    void connectSearch();
    void connectIdentifyAll();
    void showIdentifiedStamp(int index);
    void searchIdentifiedStamp(int index);
    void runSearch(const QImage &cutout, const QByteArray &jpeg);
    void showStage(int current);
    void placeFrame(int x, int y, int w, int h);
    void frameFirstStamp(const QImage &picture);
    void frameCurrentStamp();
    void frameStamp(const QRect &box);
    void showPicture();
    void slotPictureClicked(const QPoint &viewPoint);
    void slotStepStamp(int direction);
    void updateStepShortcuts();
    // How a search ended, in a box that waits for nobody: the next command list closes it.
    void showSearchMessage(const QString &title, const QString &text);
    // What the user must know of (a command refused, a file not read): said in a box that holds
    // up nothing, and on standard error.
    void showProblem(const QString &text);

    CCommandChannel *commandChannel = nullptr;
    QStringList commandArgs;
    QTimer *commandTimer = nullptr;
    QNetworkAccessManager *updateManager = nullptr;
    QImage logoImage;
    QImage selectionImage;
    CTranslationTable *translationTable = nullptr;
    QPixmap sourcePixmap;
    CStampPage m_page; // the stamps found on sourcePixmap
    QList<QShortcut *> m_stepShortcuts;
    double selectionRatios[4] = {0, 0, 0, 0};
    QSize ratioBaseSize;
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

    // Widgets
    QWidget *m_leftColumn = nullptr;
    CScrollPreview *m_thumbnails = nullptr;
    QWidget *siteBox = nullptr;
    QCheckBox *m_siteChecks[3] = {};
    QTabWidget *tabWidget = nullptr;
    QLabel *m_makerLogo = nullptr;
    QWidget *m_upPanel = nullptr;
    QToolButton *m_webcamButton = nullptr;
    QToolButton *m_openButton = nullptr;
    QToolButton *searchButton = nullptr;
    QToolButton *m_selectAllButton = nullptr;
    QToolButton *m_turnLeftButton = nullptr;
    QToolButton *m_turnRightButton = nullptr;
    QToolButton *m_identifyAllButton = nullptr;
    QToolButton *m_settingsButton = nullptr;
    QToolButton *m_helpButton = nullptr;
    QMenu *helpMenu = nullptr;
    QMenu *pictureMenu = nullptr;
    CDisplay *m_display = nullptr;
    CTEPageItem *m_selectionFrame = nullptr;
    QWidget *m_browserTab = nullptr;
    CWebBrowser *m_browser = nullptr;
    CIdentifyAllView *m_identifyAllView = nullptr;
    QProgressDialog *progressPanel = nullptr;
    QLabel *statusLabel = nullptr;
    QLabel *stagePicture = nullptr;
    QProgressBar *progressBar = nullptr;
    QLabel *stageLabel[5] = {};
    QLabel *stageIcon[5] = {};
    QPushButton *stopButton = nullptr;
};
