#include "mainwindow.h"

#include "aboutdlg.h"
#include "appconfig.h"
#include "argumentdatagram.h"
#include "euladlg.h"
#include "hostconfig.h"
#include "stylesheets.h"
#include "translationtable.h"
#include "updatecheck.h"
#include "windowsettings.h"
#include "imaging/display.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QScrollArea>
#include <QSpacerItem>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QUdpSocket>
#include <QVBoxLayout>

MainWindow::MainWindow(const QStringList &args, QWidget *parent) : QMainWindow(parent)
{
    // 1. Plain members.
    commandArgs = args;
    sourcePixmap = QPixmap(400, 300);
    commandTimer = new QTimer(this);

    // 2. The command socket of later starts.
    commandSocket = new QUdpSocket(this);
    commandSocket->bind(QHostAddress::LocalHost, CArgumentDatagram::receiverPort);
    connect(commandSocket, &QUdpSocket::readyRead, this, &MainWindow::slotReadEvent);

    // 3.
    setWindowTitle(QStringLiteral("Quillet"));

    // 4. Configuration, outside hosts and language.
    m_config = new AppConfig;
    HostConfig::global() = HostConfig::load(AppConfig::configFolder());
    translationTable = new CTranslationTable;
    translationTable->load(CTranslationTable::languageFile(QCoreApplication::applicationDirPath(),
                                                           m_config->language));

    // 5.
    siteLabels = HostConfig::siteLabels();
    knownHostLists[0] = HostConfig::routableSites();
    knownHostLists[1] = HostConfig::dealerHosts();
    knownHostLists[2] = HostConfig::philatelicWords();

    // 6.
    settingsDialog = new CWindowSettings(this, m_config, translationTable);
    settingsDialog->hide();

    // 7.
    sourcePixmap.fill(Qt::transparent);
    setDocumentMode(true);

    // 8.
    buildWidgets();

    // 9.
    if (m_config->firstStart)
        runFirstStart();

    // 10.-14.
    logoImage.load(CStyleSheets::resource(QStringLiteral("logo.png")));
    updateManager = new QNetworkAccessManager(this);
    connect(updateManager, &QNetworkAccessManager::finished, this, &MainWindow::replyFinished);
    slotUpdateWidget();
    connect(settingsDialog, &CWindowSettings::signalUpdateSetting, this, &MainWindow::slotUpdateWidget);
    startUpdateCheck();
    connect(commandTimer, &QTimer::timeout, this, &MainWindow::commandInterpreter);
    commandTimer->start(500);
}

MainWindow::~MainWindow()
{
    m_config->save();
    delete m_config;
    m_config = nullptr;
    delete translationTable;
    translationTable = nullptr;
}

QUrl MainWindow::makerPage(const QString &path)
{
    return QUrl(QStringLiteral("http://") + HostConfig::global().value(QStringLiteral("maker")) + path);
}

QToolButton *MainWindow::makePanelButton(const QString &icon, int x, QSize size, bool withText)
{
    auto *button = new QToolButton(m_upPanel);
    button->setIcon(QIcon(CStyleSheets::resource(icon)));
    button->setIconSize(QSize(24, 24));
    button->setStyleSheet(CStyleSheets::toolButton());
    button->setToolButtonStyle(withText ? Qt::ToolButtonTextBesideIcon : Qt::ToolButtonIconOnly);
    if (x >= 0) {
        button->move(x, 0);
        button->setFixedSize(size);
    } else {
        button->setMinimumSize(size);
    }
    return button;
}

void MainWindow::buildWidgets()
{
    auto *central = new QWidget(this);
    central->setObjectName("centralWidget");
    central->setStyleSheet(QStringLiteral("background-color: #255680;"));
    auto *rowLayout = new QHBoxLayout(central);
    rowLayout->setObjectName("horizontalLayout_2");
    rowLayout->setSpacing(0);
    rowLayout->setContentsMargins(0, 0, 0, 0);

    // Left column: thumbnail strip and the hidden site switches.
    m_leftColumn = new QWidget(central);
    m_leftColumn->setMaximumWidth(200);
    auto *leftLayout = new QVBoxLayout(m_leftColumn);
    leftLayout->setSpacing(0);
    leftLayout->setContentsMargins(5, 5, 5, 5);
    m_thumbnailPanel = new QScrollArea(m_leftColumn);
    m_thumbnailPanel->setObjectName("left_panel");
    m_thumbnailPanel->setFixedWidth(195);
    m_thumbnailPanel->setMinimumHeight(100);
    m_thumbnailPanel->setStyleSheet(CStyleSheets::thumbnailPanel());
    leftLayout->addWidget(m_thumbnailPanel);
    siteBox = new QWidget(m_leftColumn);
    siteBox->setMaximumHeight(0);
    const struct { const char *text; QPoint at; } sites[] = {{"Colnet", {5, 10}}, {"eBay", {100, 10}}, {"StampWants", {5, 35}}};
    for (int i = 0; i < 3; ++i) {
        m_siteChecks[i] = new QCheckBox(QString::fromLatin1(sites[i].text), siteBox);
        m_siteChecks[i]->move(sites[i].at);
        m_siteChecks[i]->setChecked(true);
        m_siteChecks[i]->setStyleSheet(CStyleSheets::siteCheckBox());
        m_siteChecks[i]->hide();
    }
    leftLayout->addWidget(siteBox);
    rowLayout->addWidget(m_leftColumn);

    // Right side: the tabs.
    auto *widget2 = new QWidget(central);
    widget2->setObjectName("widget_2");
    auto *widget2Layout = new QVBoxLayout(widget2);
    widget2Layout->setObjectName("verticalLayout");
    widget2Layout->setSpacing(0);
    widget2Layout->setContentsMargins(6, 0, 5, 0);
    tabWidget = new QTabWidget(widget2);
    tabWidget->setObjectName("tabWidget");
    tabWidget->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    tabWidget->setStyleSheet(CStyleSheets::tabWidget());
    widget2Layout->addWidget(tabWidget);
    m_makerLogo = new QLabel(tabWidget);
    m_makerLogo->setPixmap(QPixmap(CStyleSheets::resource(QStringLiteral("harbek.png"))));
    m_makerLogo->move(5, 7);
    m_makerLogo->adjustSize();
    rowLayout->addWidget(widget2);

    // Tab 0: the picture.
    auto *stampTab = new QWidget;
    stampTab->setObjectName("tab");
    stampTab->setStyleSheet(QStringLiteral("background-color: #ffffff"));
    auto *stampLayout = new QVBoxLayout(stampTab);
    stampLayout->setObjectName("verticalLayout_2");
    stampLayout->setSpacing(6);
    stampLayout->setContentsMargins(11, 11, 11, 11);
    m_upPanel = new QWidget(stampTab);
    m_upPanel->setObjectName("up_panel");
    m_upPanel->setFixedHeight(45);
    auto *upLayout = new QHBoxLayout(m_upPanel);
    upLayout->setContentsMargins(0, 0, 0, 0);
    upLayout->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    m_webcamButton = makePanelButton("webcam.png", 0, {45, 45}, false);
    m_openButton = makePanelButton("open.png", 50, {110, 45}, true);
    searchButton = makePanelButton("web-search.png", 165, {110, 45}, true);
    m_selectAllButton = makePanelButton("selection.png", 300, {45, 45}, false);
    m_turnLeftButton = makePanelButton("rotate-left.png", 350, {45, 45}, false);
    m_turnRightButton = makePanelButton("rotate-right.png", 400, {45, 45}, false);
    m_settingsButton = makePanelButton("preferences.png", -1, {110, 45}, true);
    m_helpButton = makePanelButton("help.png", -1, {110, 45}, true);
    upLayout->addWidget(m_settingsButton);
    upLayout->addWidget(m_helpButton);
    for (QToolButton *button : {searchButton, m_selectAllButton, m_turnLeftButton, m_turnRightButton})
        button->setEnabled(false);
    stampLayout->addWidget(m_upPanel);

    m_display = new CDisplay(stampTab);
    m_display->setAlignment(Qt::AlignCenter);
    m_display->setPixmap(sourcePixmap);
    auto *displayLayout = new QVBoxLayout(m_display);
    displayLayout->setContentsMargins(0, 0, 0, 0);
    stampLayout->addWidget(m_display);
    tabWidget->addTab(stampTab, QStringLiteral("Stamp"));

    // Tab 1: the embedded browser.
    m_browserTab = new QWidget;
    m_browserTab->setObjectName("tab_2");
    m_browserTab->setStyleSheet(QStringLiteral("background-color: #ffffff"));
    auto *browserLayout = new QHBoxLayout(m_browserTab);
    browserLayout->setObjectName("horizontalLayout");
    browserLayout->setSpacing(6);
    browserLayout->setContentsMargins(11, 11, 11, 11);
    m_browser = new QWidget(m_browserTab);
    browserLayout->addWidget(m_browser);
    tabWidget->addTab(m_browserTab, QStringLiteral("Browser"));
    tabWidget->setCurrentIndex(0);
    setCentralWidget(central);

    // Menus.
    helpMenu = new QMenu(m_helpButton);
    helpMenu->setStyleSheet(CStyleSheets::menu());
    connect(helpMenu->addAction(QStringLiteral("About")), &QAction::triggered, this, &MainWindow::slotAbout);
    connect(helpMenu->addAction(QStringLiteral("Manual")), &QAction::triggered, this, &MainWindow::slotManual);
    pictureMenu = new QMenu(this);
    pictureMenu->setStyleSheet(CStyleSheets::menu());
    connect(pictureMenu->addAction(QStringLiteral("Paste")), &QAction::triggered, this, &MainWindow::slotPasteImg);

    // The progress panel of a search: its own bar and button are replaced by hidden ones, and the
    // content is placed by hand.
    progressPanel = new QProgressDialog(this, Qt::Dialog | Qt::WindowTitleHint);
    progressPanel->setStyleSheet(QStringLiteral("background-color: #255680;"));
    progressPanel->setFixedSize(400, 360);
    progressPanel->setWindowTitle(QStringLiteral("Searching ..."));
    auto *hiddenBar = new QProgressBar;
    progressPanel->setBar(hiddenBar);
    hiddenBar->hide();
    auto *hiddenCancel = new QPushButton;
    progressPanel->setCancelButton(hiddenCancel);
    hiddenCancel->hide();
    auto *hiddenLabel = new QLabel;
    progressPanel->setLabel(hiddenLabel);
    hiddenLabel->hide();
    progressPanel->reset(); // no automatic showing
    progressPanel->hide();
    statusLabel = new QLabel(progressPanel);
    statusLabel->setGeometry(0, 10, 400, 32);
    statusLabel->setStyleSheet(QStringLiteral("color: white;"));
    statusLabel->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    stagePicture = new QLabel(progressPanel);
    stagePicture->setGeometry(165, 40, 64, 64);
    stagePicture->setAlignment(Qt::AlignCenter);
    progressBar = new QProgressBar(progressPanel);
    progressBar->setGeometry(15, 110, 370, 24);
    progressBar->setStyleSheet(CStyleSheets::progressBar());
    progressBar->setAlignment(Qt::AlignCenter);
    progressBar->setValue(0);
    for (int i = 0; i < 5; ++i) {
        stageLabel[i] = new QLabel(progressPanel);
        stageLabel[i]->setGeometry(40, 175 + 25 * i, 250, 22);
        stageIcon[i] = new QLabel(progressPanel);
        stageIcon[i]->setGeometry(17, 180 + 25 * i, 11, 11);
        stageIcon[i]->setStyleSheet(QStringLiteral("color: #00de15; font-size: 14px;"));
    }
    stopButton = new QPushButton(progressPanel);
    stopButton->setGeometry(165, 315, 80, 30);
    stopButton->setFixedSize(80, 30);
    stopButton->setStyleSheet(CStyleSheets::toolButton());
    connect(stopButton, &QPushButton::clicked, progressPanel, &QProgressDialog::reject);
    connect(stopButton, &QPushButton::clicked, progressPanel, &QProgressDialog::cancel);
    connect(progressPanel, &QProgressDialog::rejected, this, &MainWindow::slotCanseledSearch);
    connect(progressPanel, &QProgressDialog::canceled, this, &MainWindow::slotCanseledSearch);

    // Buttons.
    connect(m_webcamButton, &QToolButton::clicked, this, &MainWindow::slotStartGrab);
    connect(m_openButton, &QToolButton::clicked, this, [this] { slotOpenGrab(); });
    connect(searchButton, &QToolButton::clicked, this, &MainWindow::slotIdentify);
    connect(m_selectAllButton, &QToolButton::clicked, this, &MainWindow::slotSelection);
    connect(m_turnLeftButton, &QToolButton::clicked, this, &MainWindow::slotTurnLeft);
    connect(m_turnRightButton, &QToolButton::clicked, this, &MainWindow::slotTurnRight);
    connect(m_settingsButton, &QToolButton::clicked, this, &MainWindow::slotOnSettingMenu);
    connect(m_helpButton, &QToolButton::clicked, this, &MainWindow::slotOnHelpMenu);
    connect(tabWidget, &QTabWidget::currentChanged, this, &MainWindow::slotResize);
    connect(m_display, &CDisplay::signalOutUrl, this, &MainWindow::slotDragAndDropImage);
    connect(m_display, &CDisplay::signalContextMenu, this, &MainWindow::slotOnContextMenu);
}

void MainWindow::runFirstStart()
{
    auto *eula = new CEulaDlg(nullptr);
    eula->exec();
    const bool accepted = eula->decision() == 0;
    delete eula;
    if (!accepted)
        std::exit(0);
    m_config->load();
    settingsDialog->exec();
    QDesktopServices::openUrl(makerPage(QStringLiteral("/qv-setup.html")));
}

void MainWindow::slotUpdateWidget()
{
    const CTranslationTable &t = *translationTable;
    m_webcamButton->setToolTip(t.tr("Web Cam"));
    m_selectAllButton->setToolTip(t.tr("Select All"));
    m_openButton->setText(t.tr("Open"));
    searchButton->setText(t.tr("Search"));
    searchButton->setToolTip(t.tr("Start Stamp Searching"));
    m_turnLeftButton->setToolTip(t.tr("turn left"));
    m_turnRightButton->setToolTip(t.tr("turn Right"));
    m_settingsButton->setText(t.tr("Settings"));
    m_helpButton->setText(t.tr("Help"));
    const QList<QAction *> helpActions = helpMenu->actions();
    helpActions.at(0)->setText(t.tr("About"));
    helpActions.at(1)->setText(t.tr("Manual"));
    pictureMenu->actions().at(0)->setText(t.tr("Paste"));
    tabWidget->setTabText(0, t.tr("Stamp"));
    tabWidget->setTabText(1, t.tr("Browser"));
    progressPanel->setWindowTitle(t.tr("Searching ..."));
    stopButton->setText(t.tr("Stop"));
    const char *stages[] = {"Sending photo to server", "Recognizing stamp", "Searching websites",
                            "Matching results", "Additional search"};
    for (int i = 0; i < 5; ++i)
        stageLabel[i]->setText(t.tr(QString::fromLatin1(stages[i])));
}

void MainWindow::slotOnSettingMenu()
{
    m_config->load();
    settingsDialog->exec();
}

QPoint MainWindow::helpMenuPosition() const
{
    QPoint p;
    const QWidget *path[] = {this, centralWidget(), findChild<QWidget *>("widget_2"), tabWidget,
                             tabWidget->widget(0), m_upPanel, m_helpButton};
    for (const QWidget *widget : path)
        p += widget->pos();
    const int y = p.y() + (frameGeometry().height() - height()) / 2 + m_helpButton->height()
                  + tabWidget->iconSize().height() + int(windowTitle().size()) + 11;
    return {p.x() + 11, y};
}

void MainWindow::slotOnHelpMenu()
{
    helpMenu->popup(helpMenuPosition());
}

void MainWindow::slotAbout()
{
    CAboutDlg about(&logoImage, &logoImage, translationTable, this);
    const int x = std::max(0, this->x() + (width() - about.width()) / 2);
    const int y = std::max(0, this->y() + (height() - about.height()) / 2);
    about.move(x, y);
    if (about.exec() == QDialog::Accepted)
        QDesktopServices::openUrl(makerPage(QStringLiteral("/")));
}

void MainWindow::slotManual()
{
    QDesktopServices::openUrl(makerPage(QStringLiteral("/qv-manual.html")));
}

void MainWindow::startUpdateCheck()
{
    QNetworkRequest request(QUrl(QStringLiteral("http://") + HostConfig::global().value(QStringLiteral("update"))
                                 + QStringLiteral("/qvupd1.php")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("User-Agent", "Check for updates");
    CUpdateCheck::watch(updateManager->get(request));
}

void MainWindow::replyFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (!CUpdateCheck::isNewer(reply, ownVersion))
        return;
    const QMessageBox::StandardButton answer = QMessageBox::question(
        nullptr, translationTable->tr("Quillet Update"),
        translationTable->tr("New version of Quillet available for download\r\nWould you like to update?"),
        QMessageBox::Yes | QMessageBox::No);
    if (answer == QMessageBox::Yes)
        QDesktopServices::openUrl(makerPage(QStringLiteral("/qvdownload.html")));
}

void MainWindow::slotReadEvent()
{
    if (!commandSocket->hasPendingDatagrams())
        return;
    QByteArray datagram;
    datagram.resize(qMax<qint64>(0, commandSocket->pendingDatagramSize()));
    commandSocket->readDatagram(datagram.data(), datagram.size());
    commandArgs = CArgumentDatagram::decode(datagram);
    commandInterpreter();
}

// The picture, search, result and browser slots below are connected now and filled in with the
// features they belong to.

void MainWindow::commandInterpreter()
{
    commandTimer->stop();
}

void MainWindow::slotStartGrab() {}

bool MainWindow::slotOpenGrab(const QString &, const QImage &)
{
    return false;
}

void MainWindow::slotSelection() {}
void MainWindow::slotIdentify() {}

void MainWindow::slotPressScrollView(const QString &)
{
    tabWidget->setCurrentIndex(1);
}

void MainWindow::slotResizeSelection() {}
void MainWindow::slotRenderPixmap(const QPixmap &) {}
void MainWindow::slotTurnLeft() {}
void MainWindow::slotTurnRight() {}
void MainWindow::slotClosedPreview() {}

void MainWindow::slotCanseledSearch()
{
    cancelRequested = true;
    searchButton->setEnabled(true);
}

void MainWindow::slotAddMiniImg(const QImage &) {}
void MainWindow::slotAddImg(const QImage &, const QString &, const QString &, const QString &, int) {}
void MainWindow::slotThreadBeep() {}
void MainWindow::slotDragAndDropImage(const QString &) {}
void MainWindow::slotResize() {}
void MainWindow::slotPasteImg() {}
void MainWindow::slotOnContextMenu() {}

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    QMainWindow::keyPressEvent(event);
}

void MainWindow::keyReleaseEvent(QKeyEvent *event)
{
    QMainWindow::keyReleaseEvent(event);
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    if (event)
        QMainWindow::resizeEvent(event);
}
