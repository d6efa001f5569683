#include "mainwindow.h"

#include "aboutdlg.h"
#include "appconfig.h"
#include "commandchannel.h"
#include "euladlg.h"
#include "sites/hostconfig.h"
#include "style/stylesheets.h"
#include "translationtable.h"
#include "updatecheck.h"
#include "windowsettings.h"
#include "imaging/campreview.h"
#include "imaging/display.h"
#include "imaging/pictureloader.h"
#include "imaging/selectioncutout.h"
#include "imaging/tepageitem.h"
#include "results/identifyallview.h"
#include "results/scrollpreview.h"
#include "results/webbrowser.h"
#include "search/identifyall.h"
#include "search/searchreport.h"
#include "search/stampsearch.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCheckBox>
#include <QClipboard>
#include <QFileDialog>
#include <QMimeData>
#include <QPainter>
#include <QShortcut>
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
#include <QRegularExpression>
#include <QSpacerItem>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <utility>

MainWindow::MainWindow(const QStringList &args, QWidget *parent) : QMainWindow(parent)
{
    // 1. Plain members.
    commandArgs = args;
    sourcePixmap = QPixmap(400, 300);
    commandTimer = new QTimer(this);

    // 2. The command channel of later starts (listening once the instance lock is ours).
    commandChannel = new CCommandChannel(this);
    connect(commandChannel, &CCommandChannel::signalReceived, this, &MainWindow::slotReadEvent);

    // 3.
    setWindowTitle(QStringLiteral("Quillet"));

    // 4. Configuration, outside hosts and language.
    m_config = new AppConfig;
    HostConfig::global() = HostConfig::load(AppConfig::configFolder());
    QStringList refusedFiles = HostConfig::global().refusedFiles();
    if (m_config->fileTooLarge)
        refusedFiles.prepend(AppConfig::filePath());
    translationTable = new CTranslationTable;
    translationTable->load(CTranslationTable::languageFile(QCoreApplication::applicationDirPath(),
                                                           m_config->language));

    // 5. The search, with the recognition client and the site parsers.
    m_search = new CStampSearch(this);
    m_search->setTranslator([this](const QString &text) { return translationTable->tr(text); });
    m_identifyAll = new CIdentifyAll(this);

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
    // Said once the window is up, in boxes that hold up no command list.
    for (const QString &file : std::as_const(refusedFiles)) {
        QTimer::singleShot(0, this, [this, file] {
            showProblem(translationTable->tr("The file is too large and was not read; the defaults are used: %1").arg(file));
        });
    }
}

MainWindow::~MainWindow()
{
    // A webcam preview tells the window when it goes; it must go while the window is whole.
    qDeleteAll(m_display->findChildren<CCamPreview *>());
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
    m_thumbnails = new CScrollPreview(m_leftColumn);
    m_thumbnails->setTranslator([this](const QString &text) { return translationTable ? translationTable->tr(text) : text; });
    m_thumbnails->setObjectName("left_panel");
    m_thumbnails->setFixedWidth(195);
    m_thumbnails->setMinimumHeight(100);
    m_thumbnails->setStyleSheet(CStyleSheets::thumbnailPanel());
    leftLayout->addWidget(m_thumbnails);
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
    m_identifyAllButton = makePanelButton("identify-all.png", 450, {45, 45}, false);
    m_settingsButton = makePanelButton("preferences.png", -1, {110, 45}, true);
    m_helpButton = makePanelButton("help.png", -1, {110, 45}, true);
    upLayout->addWidget(m_settingsButton);
    upLayout->addWidget(m_helpButton);
    for (QToolButton *button : {searchButton, m_selectAllButton, m_turnLeftButton, m_turnRightButton, m_identifyAllButton})
        button->setEnabled(false);
    stampLayout->addWidget(m_upPanel);

    m_display = new CDisplay(stampTab);
    m_display->setAlignment(Qt::AlignCenter);
    m_display->setPixmap(sourcePixmap);
    // The label always gets the space the layout has; its pixmap follows that size, not the reverse.
    m_display->setMinimumSize(1, 1);
    m_display->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    auto *displayLayout = new QVBoxLayout(m_display);
    displayLayout->setContentsMargins(0, 0, 0, 0);
    stampLayout->addWidget(m_display);
    tabWidget->addTab(stampTab, QStringLiteral("Stamp"));
    m_selectionFrame = new CTEPageItem(m_display, m_display, &sourcePixmap);
    m_selectionFrame->resize(150, 150);
    m_selectionFrame->setMaximumSize(999999, 999999);

    // Tab 1: the embedded browser.
    m_browserTab = new QWidget;
    m_browserTab->setObjectName("tab_2");
    m_browserTab->setStyleSheet(QStringLiteral("background-color: #ffffff"));
    auto *browserLayout = new QHBoxLayout(m_browserTab);
    browserLayout->setObjectName("horizontalLayout");
    browserLayout->setSpacing(6);
    browserLayout->setContentsMargins(11, 11, 11, 11);
    m_browser = new CWebBrowser(m_browserTab);
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
    connect(m_identifyAllButton, &QToolButton::clicked, this, &MainWindow::slotIdentifyAll);
    connect(m_settingsButton, &QToolButton::clicked, this, &MainWindow::slotOnSettingMenu);
    connect(m_helpButton, &QToolButton::clicked, this, &MainWindow::slotOnHelpMenu);
    connect(tabWidget, &QTabWidget::currentChanged, this, &MainWindow::slotResize);
    connect(m_display, &CDisplay::signalOutUrl, this, &MainWindow::slotDragAndDropImage);
    connect(m_display, &CDisplay::signalContextMenu, this, &MainWindow::slotOnContextMenu);
    connect(m_display, &CDisplay::signalClicked, this, &MainWindow::slotPictureClicked);
    // Tab and Shift+Tab step the frame through a page's stamps; elsewhere they move the focus as
    // usual (the shortcuts are on only while a page is on show in the stamp tab).
    for (const auto &[key, direction] : {std::pair{Qt::Key_Tab, 1}, std::pair{Qt::Key_Backtab, -1}}) {
        auto *shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setEnabled(false);
        connect(shortcut, &QShortcut::activated, this, [this, direction = direction] { slotStepStamp(direction); });
        m_stepShortcuts << shortcut;
    }
    connect(tabWidget, &QTabWidget::currentChanged, this, [this] { updateStepShortcuts(); });
    connect(m_browser, &CWebBrowser::signalDrop, m_display, &CDisplay::slotDropOverboard);
    connect(m_thumbnails, &CScrollPreview::signalPressUrl, this, &MainWindow::slotPressScrollView);
    connectSearch();
    connectIdentifyAll();
    connect(m_selectionFrame, &CTEPageItem::signalMouseReleaseEvent, this, &MainWindow::slotResizeSelection);
    connect(m_selectionFrame, &CTEPageItem::signalContextMenu, this, &MainWindow::slotOnContextMenu);

    // Until a picture is shown the frame's placement is taken against the whole view.
    selectionRatios[0] = double(m_selectionFrame->width()) / m_display->width();
    selectionRatios[1] = double(m_selectionFrame->height()) / m_display->height();
    selectionRatios[2] = m_selectionFrame->x();
    selectionRatios[3] = m_selectionFrame->y();
    ratioBaseSize = m_display->size();
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
    m_identifyAllButton->setToolTip(t.tr("Identify all"));
    m_settingsButton->setText(t.tr("Settings"));
    m_helpButton->setText(t.tr("Help"));
    const QList<QAction *> helpActions = helpMenu->actions();
    helpActions.at(0)->setText(t.tr("About"));
    helpActions.at(1)->setText(t.tr("Manual"));
    pictureMenu->actions().at(0)->setText(t.tr("Paste"));
    tabWidget->setTabText(0, t.tr("Stamp"));
    tabWidget->setTabText(1, t.tr("Browser"));
    if (m_identifyAllView) {
        tabWidget->setTabText(tabWidget->indexOf(m_identifyAllView), t.tr("Identify all"));
        m_identifyAllView->retranslate();
    }
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
        // Two texts: a line of a language file cannot hold the line break between them.
        translationTable->tr("New version of Quillet available for download") + QStringLiteral("\r\n")
            + translationTable->tr("Would you like to update?"),
        QMessageBox::Yes | QMessageBox::No);
    if (answer == QMessageBox::Yes)
        QDesktopServices::openUrl(makerPage(QStringLiteral("/qvdownload.html")));
}

bool MainWindow::listenForCommands(const QString &socketPath)
{
    return commandChannel->listen(socketPath);
}

void MainWindow::slotReadEvent()
{
    // A box about the last search waits for no one: a script's next list must run.
    for (const QPointer<QMessageBox> &box : std::exchange(m_searchMessages, {})) {
        if (box)
            box->close();
    }
    // This copy's own list comes first, however soon a later start's list arrives.
    if (commandTimer->isActive())
        commandInterpreter();
    // Every list that has arrived, in order; a list that starts a search may bring this slot back
    // for later ones while the search waits, and those are then taken there.
    while (commandChannel->hasPendingLists()) {
        commandArgs = commandChannel->takeList();
        commandInterpreter();
    }
}

void MainWindow::commandInterpreter()
{
    commandTimer->stop();
    bool loaded = false;
    for (const QString &argument : std::as_const(commandArgs)) {
        // An empty argument would open the file dialog, which no command line asks for.
        if (!argument.isEmpty() && slotOpenGrab(argument)) {
            loaded = true;
            break;
        }
    }
    if (!loaded)
        return;
    resize(1000, 655);
    resizeEvent(nullptr);

    static const QRegularExpression selPrefix(QStringLiteral("/SEL:"), QRegularExpression::CaseInsensitiveOption);
    for (const QString &argument : std::as_const(commandArgs)) {
        if (argument.startsWith(QLatin1String("/SEL:"), Qt::CaseInsensitive)) {
            const QStringList parts = QString(argument).remove(selPrefix).split(QLatin1Char(','));
            if (parts.size() != 4)
                continue;
            // A part that is not a number reads as 0. The frame holds only what lies on the
            // picture; with nothing left the list goes no further: nothing would be searched.
            const QRect asked(parts.at(0).toInt(), parts.at(1).toInt(), parts.at(2).toInt(), parts.at(3).toInt());
            const QRect frame = asked & sourcePixmap.rect();
            if (frame.isEmpty()) {
                showProblem(translationTable->tr("The selection lies outside the picture: %1").arg(argument));
                return;
            }
            placeFrame(frame.x(), frame.y(), frame.width(), frame.height());
            break;
        }
        if (argument.compare(QLatin1String("/SELALL"), Qt::CaseInsensitive) == 0) {
            slotSelection();
            break;
        }
    }

    static const QRegularExpression savePrefix(QStringLiteral("/SAVEDATA:"), QRegularExpression::CaseInsensitiveOption);
    for (const QString &argument : std::as_const(commandArgs)) {
        if (argument.startsWith(QLatin1String("/SAVEDATA:"), Qt::CaseInsensitive)) {
            const QString path = QString(argument).remove(savePrefix).replace(QLatin1Char('\\'), QLatin1Char('/'));
            // A folder would get our pictures among its files; a path without a folder would
            // land wherever this copy happens to run. The list goes no further: its search would
            // leave no report.
            switch (CSearchReport::checkPath(path)) {
            case CSearchReport::PathUsable:
                reportPath = path;
                break;
            case CSearchReport::PathIsFolder:
                showProblem(translationTable->tr("The report path is a folder: %1").arg(path));
                return;
            case CSearchReport::PathNotAFile:
                showProblem(translationTable->tr("The report path is not a file in a folder: %1").arg(path));
                return;
            }
            break;
        }
    }

    // "/IDENTIFYALL" lists every stamp of the picture; it takes the place of "/START".
    for (const QString &argument : std::as_const(commandArgs)) {
        if (argument.compare(QLatin1String("/IDENTIFYALL"), Qt::CaseInsensitive) == 0) {
            slotCanseledSearch();
            slotIdentifyAll();
            return;
        }
    }
    for (const QString &argument : std::as_const(commandArgs)) {
        if (argument.compare(QLatin1String("/START"), Qt::CaseInsensitive) == 0) {
            slotCanseledSearch();
            slotIdentify();
            break;
        }
    }
}

void MainWindow::placeFrame(int x, int y, int w, int h)
{
    // The rectangle is in pixels of the full picture; the view shows it scaled and centred.
    const QSize shown = m_display->shownSize();
    if (shown.width() <= 0)
        return;
    const double k = double(sourcePixmap.width()) / shown.width();
    const int dx = int(m_display->width() * 0.5 - shown.width() * 0.5);
    const int dy = int(m_display->height() * 0.5 - shown.height() * 0.5);
    m_selectionFrame->move(int(x / k) + dx, int(y / k) + dy);
    m_selectionFrame->resize(int(w / k), int(h / k));
    m_selectionFrame->updateHandles();
}

void MainWindow::slotStartGrab()
{
    // One preview at a time: a second would open the same camera twice. An applied one is hidden
    // and on its way out.
    for (const CCamPreview *open : m_display->findChildren<CCamPreview *>()) {
        if (!open->isHidden())
            return;
    }
    m_upPanel->setEnabled(false);
    m_selectionFrame->setSelected(false);
    m_page.clear();
    updateStepShortcuts();
    sourcePixmap = QPixmap(400, 300);
    sourcePixmap.fill(Qt::transparent);
    m_display->setPixmap(sourcePixmap);

    auto *preview = new CCamPreview(m_display, [this](const QString &text) {
        return translationTable ? translationTable->tr(text) : text;
    });
    m_display->layout()->addWidget(preview);
    preview->show();
    connect(preview, &CCamPreview::signalOutPixmap, this, &MainWindow::slotRenderPixmap);
    connect(preview, &QObject::destroyed, this, &MainWindow::slotClosedPreview);
}

void MainWindow::slotPressScrollView(const QString &url)
{
    tabWidget->setCurrentIndex(1);
    m_browser->slotOpenUrl(url);
}

void MainWindow::slotClosedPreview() {}

// The search runs in CStampSearch; the window shows its progress and matches.

void MainWindow::connectSearch()
{
    connect(m_search, &CStampSearch::signalStarted, this, [this] {
        for (QLabel *icon : stageIcon)
            icon->clear();
        progressPanel->setWindowModality(Qt::WindowModal);
        progressPanel->show();
        m_thumbnails->clear();
        m_thumbnails->setEnabled(false);
        searchButton->setEnabled(false);
    });
    connect(m_search, &CStampSearch::signalProgress, progressBar, &QProgressBar::setValue);
    connect(m_search, &CStampSearch::signalStatus, statusLabel, &QLabel::setText);
    connect(m_search, &CStampSearch::signalStage, this, &MainWindow::showStage);
    connect(m_search, &CStampSearch::signalStageChecked, this, [this](int stage) {
        stageIcon[stage]->setPixmap(QPixmap(CStyleSheets::resource(QStringLiteral("check-symbol.png"))));
    });
    connect(m_search, &CStampSearch::signalStagePicture, this, [this](const QString &name) {
        stagePicture->setPixmap(QPixmap(CStyleSheets::resource(name)));
    });
    connect(m_search, &CStampSearch::signalMiniImg, this, &MainWindow::slotAddMiniImg);
    connect(m_search, &CStampSearch::signalOutImg, this, &MainWindow::slotAddImg);
    connect(m_search, &CStampSearch::signalClearResults, m_thumbnails, &CScrollPreview::clear);
    connect(m_search, &CStampSearch::signalServerMessage, this, [this](const QString &message) {
        searchButton->setEnabled(true);
        progressPanel->close();
        showSearchMessage(translationTable->tr("Server response"), message);
    });
    connect(m_search, &CStampSearch::signalNotFound, this, [this] {
        showSearchMessage(translationTable->tr("Searching..."), translationTable->tr("Stamp not found"));
    });
    connect(m_search, &CStampSearch::signalReportFailed, this, [this](const QString &reason) {
        showSearchMessage(translationTable->tr("Report"), translationTable->tr("The report could not be written: %1").arg(reason));
    });
    connect(m_search, &CStampSearch::signalFinished, this, [this] {
        progressPanel->close();
        searchButton->setEnabled(true);
        m_thumbnails->setEnabled(true);
    });
}

void MainWindow::showSearchMessage(const QString &title, const QString &text)
{
    auto *box = new QMessageBox(QMessageBox::Information, title, text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    m_searchMessages.removeAll(nullptr);
    m_searchMessages << box;
    box->open();
}

void MainWindow::showProblem(const QString &text)
{
    qWarning("%s", qPrintable(text));
    showSearchMessage(QStringLiteral("Quillet"), text);
}

void MainWindow::showStage(int current)
{
    static const QString styles[] = {QStringLiteral("color: #00de15; font-size: 14px;"),
                                      QStringLiteral("color: #00de15; font-size: 14px; font-weight: bold;"),
                                      QStringLiteral("color: #ccca00; font-size: 14px;")};
    for (int i = 0; i < 5; ++i)
        stageLabel[i]->setStyleSheet(styles[i < current ? 0 : i == current ? 1 : 2]);
}

void MainWindow::slotIdentify()
{
    if (m_search->isRunning()) {
        // The running search unwinds first; a new one started inside its waits would run on its stack.
        // The new search writes the report, the one it replaces none.
        m_search->supersede();
        searchButton->setEnabled(true);
        m_searchAgain = true;
        return;
    }
    if (!m_siteChecks[0]->isChecked() && !m_siteChecks[2]->isChecked() && !m_siteChecks[1]->isChecked()) {
        QMessageBox::information(this, QString(), translationTable->tr("Not select any search resource"));
        return;
    }
    const QByteArray jpeg = takeSelection();
    // An empty upload would only come back as "Server not responding".
    if (jpeg.isEmpty()) {
        showProblem(translationTable->tr("The frame holds nothing of the picture"));
        return;
    }
    runSearch(selectionImage, jpeg);
}

void MainWindow::runSearch(const QImage &cutout, const QByteArray &jpeg)
{
    m_search->setMaxOut(m_config->max_out);
    m_search->setReportPath(reportPath);
    m_search->run(cutout, jpeg);
    // After a server message or a stop too, the strip is usable again.
    m_thumbnails->setEnabled(true);
    if (m_searchAgain) {
        m_searchAgain = false;
        QTimer::singleShot(0, this, &MainWindow::slotIdentify);
    }
}

// "Identify all": the server's first answer for every stamp of a page, listed in a tab of its own.

void MainWindow::connectIdentifyAll()
{
    connect(m_identifyAll, &CIdentifyAll::signalStampChanged, this, &MainWindow::showIdentifiedStamp);
    connect(m_identifyAll, &CIdentifyAll::signalFinished, this, [this] {
        if (!m_identifyAllView)
            return;
        m_identifyAllView->setRunning(false);
        if (!m_identifyAllReport.isEmpty() && !m_identifyAll->writePage(m_identifyAllReport))
            qWarning("cannot write the list of stamps to %s", qPrintable(m_identifyAllReport));
    });
}

void MainWindow::slotIdentifyAll()
{
    const QImage picture = sourcePixmap.toImage();
    m_identifiedBoxes = m_page.stamps();
    m_identifiedCutouts.clear();
    m_identifiedUploads.clear();
    for (const QRect &box : std::as_const(m_identifiedBoxes))
        m_identifiedCutouts << CSelectionCutout::cutBox(picture, box);
    // With no stamp found, the framed part is the one stamp to ask about.
    if (m_identifiedBoxes.isEmpty()) {
        takeSelection();
        if (!selectionImage.isNull())
            m_identifiedCutouts << selectionImage;
    }
    for (const QImage &cutout : std::as_const(m_identifiedCutouts))
        m_identifiedUploads << CSelectionCutout::encode(cutout);
    m_identifyAllReport = reportPath;

    if (!m_identifyAllView) {
        m_identifyAllView = new CIdentifyAllView([this](const QString &text) { return translationTable->tr(text); });
        m_identifyAllView->setObjectName(QStringLiteral("identifyAllTab"));
        m_identifyAllView->setStyleSheet(QStringLiteral("background-color: #ffffff"));
        tabWidget->addTab(m_identifyAllView, translationTable->tr("Identify all"));
        connect(m_identifyAllView, &CIdentifyAllView::signalStop, m_identifyAll, &CIdentifyAll::stop);
        connect(m_identifyAllView, &CIdentifyAllView::signalSearch, this, &MainWindow::searchIdentifiedStamp);
    }
    m_identifyAllView->setStamps(m_identifiedCutouts);
    m_identifyAllView->setRunning(true);
    m_identifyAllView->setStatus(translationTable->tr("%1 of %2 stamps asked").arg(0).arg(m_identifiedCutouts.size()));
    tabWidget->setCurrentWidget(m_identifyAllView);
    m_identifyAll->start(m_identifiedUploads);
}

void MainWindow::showIdentifiedStamp(int index)
{
    if (!m_identifyAllView || index >= m_identifyAllView->stampCount())
        return;
    const CTranslationTable &t = *translationTable;
    switch (m_identifyAll->state(index)) {
    case CIdentifyAll::Waiting:
        m_identifyAllView->setOutcome(index, CIdentifyAllView::Pending, QString());
        break;
    case CIdentifyAll::Asking:
        m_identifyAllView->setOutcome(index, CIdentifyAllView::Pending, QStringLiteral("..."));
        break;
    case CIdentifyAll::Answered:
        m_identifyAllView->setOutcome(index, CIdentifyAllView::Answered,
                                      CIdentifyAll::firstStamp(m_identifyAll->answer(index)).join(QStringLiteral(", ")));
        break;
    case CIdentifyAll::NotRecognised:
        m_identifyAllView->setOutcome(index, CIdentifyAllView::NotRecognised, t.tr("not recognised"));
        break;
    case CIdentifyAll::Failed:
        m_identifyAllView->setOutcome(index, CIdentifyAllView::Failed, t.tr(m_identifyAll->answer(index).message()));
        break;
    case CIdentifyAll::Stopped:
        m_identifyAllView->setOutcome(index, CIdentifyAllView::Failed, t.tr("stopped"));
        break;
    }
    m_identifyAllView->setStatus(t.tr("%1 of %2 stamps asked").arg(m_identifyAll->doneCount()).arg(m_identifyAll->count()));
}

void MainWindow::searchIdentifiedStamp(int index)
{
    if (m_search->isRunning() || index < 0 || index >= m_identifiedUploads.size())
        return;
    // The frame goes to the stamp when its page is still on show, so the user sees what is searched;
    // the search itself takes the cut-out that was asked about, whatever is on show now.
    if (index < m_identifiedBoxes.size() && m_page.stamps() == m_identifiedBoxes) {
        m_page.select(index);
        frameStamp(m_page.currentStamp());
    }
    tabWidget->setCurrentIndex(0);
    selectionImage = m_identifiedCutouts.at(index);
    runSearch(selectionImage, m_identifiedUploads.at(index));
}

void MainWindow::slotCanseledSearch()
{
    m_search->cancel();
    searchButton->setEnabled(true);
}

void MainWindow::slotAddMiniImg(const QImage &image)
{
    stagePicture->setPixmap(QPixmap::fromImage(image.scaled(64, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}

void MainWindow::slotAddImg(const QImage &image, const QString &pageUrl, const QString &source,
                            const QString &domain, int kind, const CMatchEvidence &evidence)
{
    if (kind <= 0) {
        m_thumbnails->addThumbnail(QPixmap::fromImage(image), pageUrl, source, Qt::white, evidence);
        return;
    }
    const QColor colour = kind <= 2 ? QColor(255, 197, 157) : kind == 3 ? QColor(0xff, 0, 0) : QColor(0x80, 0, 0);
    m_thumbnails->addThumbnail(QPixmap::fromImage(image), pageUrl, domain, colour, evidence);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // A search waiting in a nested loop ends first; its workers are joined when it is destroyed.
    if (m_search->isRunning())
        m_search->cancel();
    QMainWindow::closeEvent(event);
}

// Picture on show and selection frame.

void MainWindow::setPictureButtonsEnabled(bool enabled)
{
    for (QToolButton *button : {m_turnRightButton, m_turnLeftButton, searchButton, m_selectAllButton, m_identifyAllButton})
        button->setEnabled(enabled);
}

void MainWindow::centreFrame()
{
    m_selectionFrame->move((m_display->width() - m_selectionFrame->width()) / 2,
                           (m_display->height() - m_selectionFrame->height()) / 2);
    m_selectionFrame->updateHandles();
}

void MainWindow::slotRenderPixmap(const QPixmap &pixmap)
{
    m_upPanel->setEnabled(true);
    if (pixmap.isNull()) {
        QMessageBox::information(this, QString(), translationTable->tr("Webcam is not connected"));
        setPictureButtonsEnabled(false);
        return;
    }
    setPictureButtonsEnabled(true);
    centreFrame();
    slotResizeSelection();
    m_selectionFrame->setSelected(true);
    sourcePixmap = pixmap;
    frameFirstStamp(sourcePixmap.toImage());
}

// The frame goes onto the stamp the finder puts first; with none found, over 80 percent of the
// picture as before.
void MainWindow::frameFirstStamp(const QImage &picture)
{
    m_page.setPicture(picture);
    updateStepShortcuts();
    showPicture();
    frameCurrentStamp();
}

void MainWindow::frameCurrentStamp()
{
    if (m_page.current() >= 0)
        frameStamp(m_page.currentStamp());
    else
        fitSelection(0.8);
}

void MainWindow::frameStamp(const QRect &box)
{
    placeFrame(box.x(), box.y(), box.width(), box.height());
    slotResizeSelection();
}

// The picture scaled into the view; on a page, every found stamp outlined faintly, so that the user
// sees what a click or Tab will frame.
void MainWindow::showPicture()
{
    QPixmap shown = sourcePixmap.scaled(m_display->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (m_page.isPage() && !sourcePixmap.isNull()) {
        const double k = double(shown.width()) / sourcePixmap.width();
        QPainter painter(&shown);
        painter.setPen(QPen(QColor(255, 255, 255, 140), 1, Qt::DashLine));
        for (const QRect &box : m_page.stamps())
            painter.drawRect(QRectF(box.x() * k, box.y() * k, box.width() * k, box.height() * k));
    }
    m_display->setPixmap(shown);
}

void MainWindow::slotPictureClicked(const QPoint &viewPoint)
{
    const QSize shown = m_display->shownSize();
    if (!m_page.isPage() || shown.isEmpty())
        return;
    const double k = double(sourcePixmap.width()) / shown.width();
    const QPoint point((viewPoint - m_display->pictureOffset()) * k);
    if (m_page.selectAt(point) >= 0)
        frameStamp(m_page.currentStamp());
}

void MainWindow::slotStepStamp(int direction)
{
    if (m_page.isPage())
        frameStamp(m_page.step(direction));
}

void MainWindow::updateStepShortcuts()
{
    for (QShortcut *shortcut : std::as_const(m_stepShortcuts))
        shortcut->setEnabled(m_page.isPage() && tabWidget->currentIndex() == 0);
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    if (event)
        QMainWindow::resizeEvent(event);
    if (m_display->pixmap().isNull())
        return;
    // Always from the full-resolution picture, so that shrinking and growing loses nothing.
    showPicture();

    // The frame follows the picture: same part of it, at the new scale.
    const QSize shown = m_display->shownSize();
    const double sw = shown.width(), sh = shown.height();
    const double bw = ratioBaseSize.width(), bh = ratioBaseSize.height();
    if (bw <= 0 || bh <= 0)
        return;
    const double r0 = selectionRatios[0], r1 = selectionRatios[1], r2 = selectionRatios[2], r3 = selectionRatios[3];
    const int x = int((sw - bw) * (r2 / bw) + r2);
    const int y = int((sh - bh) * (r3 / bh) + r3);
    m_selectionFrame->move(int((m_display->width() - sw) * 0.5 + x), int((m_display->height() - sh) * 0.5 + y));
    m_selectionFrame->resize(int(sw * r0), int(sh * r1));
    m_selectionFrame->updateHandles();
}

void MainWindow::slotResize()
{
    resizeEvent(nullptr);
}

void MainWindow::slotResizeSelection()
{
    const QSize shown = m_display->shownSize();
    if (shown.isEmpty())
        return;
    selectionRatios[0] = double(m_selectionFrame->width()) / shown.width();
    selectionRatios[1] = double(m_selectionFrame->height()) / shown.height();
    m_selectionFrame->setMaximumSize(999999, 999999);
    selectionRatios[2] = m_selectionFrame->x() - (m_display->width() - shown.width()) * 0.5;
    selectionRatios[3] = m_selectionFrame->y() - (m_display->height() - shown.height()) * 0.5;
    ratioBaseSize = shown;
}

void MainWindow::slotSelection()
{
    const QSize shown = m_display->shownSize();
    m_selectionFrame->move((m_display->width() - shown.width()) / 2, (m_display->height() - shown.height()) / 2);
    m_selectionFrame->resize(shown);
    m_selectionFrame->updateHandles();
    slotResizeSelection();
}

void MainWindow::fitSelection(double factor)
{
    const QSize shown = m_display->shownSize();
    m_selectionFrame->resize(int(shown.width() * factor), int(shown.height() * factor));
    centreFrame();
    slotResizeSelection();
}

bool MainWindow::slotOpenGrab(const QString &path, const QImage &image)
{
    QImage picture = image;
    if (picture.isNull()) {
        QString file = path;
        if (file.isEmpty()) {
            file = QFileDialog::getOpenFileName(this, translationTable->tr("Open File"), m_config->last_path,
                                                translationTable->tr("Image Files (*.png *.jpg *.jpeg *.tiff *.tif *.bmp)"));
            if (!file.isEmpty())
                m_config->last_path = file;
        }
        if (!CPictureLoader::load(file, &picture))
            return false;
    }
    // A picture loaded while another tab is on show (a command list, a paste) is shown, not hidden.
    tabWidget->setCurrentIndex(0);
    m_selectionFrame->setSelected(false);
    searchButton->setEnabled(false);
    slotRenderPixmap(QPixmap::fromImage(picture));
    resizeEvent(nullptr);
    m_selectionFrame->setSelected(true);
    m_selectAllButton->setEnabled(true);
    searchButton->setEnabled(true);
    m_identifyAllButton->setEnabled(true);
    frameCurrentStamp(); // again, now that the view has its final size
    return true;
}

void MainWindow::slotDragAndDropImage(const QString &path)
{
    slotOpenGrab(path);
}

void MainWindow::slotPasteImg()
{
    const QImage image = QApplication::clipboard()->image(QClipboard::Clipboard);
    if (!image.isNull())
        slotOpenGrab(QString(), image);
}

void MainWindow::slotOnContextMenu()
{
    const QMimeData *data = QApplication::clipboard()->mimeData(QClipboard::Clipboard);
    pictureMenu->actions().at(0)->setEnabled(data && data->hasFormat(QStringLiteral("application/x-qt-image")));
    pictureMenu->popup(QCursor::pos());
}

void MainWindow::slotTurnRight()
{
    const QSize shown = m_display->shownSize();
    const int sw = shown.width(), sh = shown.height();
    const int vw = m_display->width(), vh = m_display->height();
    const QRect frame = m_selectionFrame->geometry();
    const int leftMargin = frame.x() - (vw - sw) / 2;
    const int bottomMargin = sh - (frame.y() - (vh - sh) / 2) - frame.height();

    QPixmap turned(sourcePixmap.height(), sourcePixmap.width());
    turned.fill(Qt::transparent);
    {
        QPainter painter(&turned);
        const int c = sourcePixmap.height() / 2;
        painter.translate(c, c);
        painter.rotate(90);
        painter.translate(-c, -c);
        painter.drawPixmap(0, 0, sourcePixmap);
    }
    m_page.turnRight(sourcePixmap.size());
    sourcePixmap = turned;
    resizeEvent(nullptr);

    const QSize newShown = m_display->shownSize();
    if (sw <= 0)
        return;
    const double s = double(newShown.height()) / sw;
    // Rounded to the nearest pixel: rounding up at every turn made the frame creep larger turn
    // after turn.
    m_selectionFrame->move(int(bottomMargin * s + (vw - newShown.width()) / 2),
                           int(leftMargin * s + (vh - newShown.height()) / 2));
    m_selectionFrame->resize(qRound(frame.height() * s), qRound(frame.width() * s));
    slotResizeSelection();
    m_selectionFrame->updateHandles();
}

void MainWindow::slotTurnLeft()
{
    for (int i = 0; i < 3; ++i)
        slotTurnRight();
    resizeEvent(nullptr);
}

QByteArray MainWindow::takeSelection()
{
    selectionImage = CSelectionCutout::cut(sourcePixmap.toImage(), m_display->shownSize(), m_display->size(),
                                           m_selectionFrame->geometry());
    return CSelectionCutout::encode(selectionImage);
}

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Control)
        controlPressed = true;
    if (event->key() == Qt::Key_V)
        vPressed = true;
    if (controlPressed && vPressed)
        slotPasteImg();
    QMainWindow::keyPressEvent(event);
}

void MainWindow::keyReleaseEvent(QKeyEvent *event)
{
    controlPressed = false;
    vPressed = false;
    QMainWindow::keyReleaseEvent(event);
}
