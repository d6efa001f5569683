#include "mainwindow.h"

#include "aboutdlg.h"
#include "appconfig.h"
#include "commandchannel.h"
#include "commandinterpreter.h"
#include "euladlg.h"
#include "sites/hostconfig.h"
#include "style/stylesheets.h"
#include "translationtable.h"
#include "updatecheck.h"
#include "windowsettings.h"
#include "ui_mainwindow.h"
#include "imaging/campreview.h"
#include "imaging/display.h"
#include "imaging/pictureeditor.h"
#include "imaging/pictureloader.h"
#include "imaging/selectioncutout.h"
#include "imaging/tepageitem.h"
#include "results/identifyallview.h"
#include "results/progresspanel.h"
#include "results/scrollpreview.h"
#include "results/webbrowser.h"
#include "search/identifyall.h"
#include "search/searchreport.h"
#include "search/stampsearch.h"

#include <QApplication>
#include <QCloseEvent>
#include <QClipboard>
#include <QFileDialog>
#include <QMimeData>
#include <QShortcut>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>

#include <utility>

MainWindow::MainWindow(const QStringList &args, QWidget *parent)
    : QMainWindow(parent), m_ui(std::make_unique<Ui::MainWindow>())
{
    // 1. Plain members.
    commandArgs = args;
    commandTimer = new QTimer(this);

    // 2. The command channel of later starts (listening once the instance lock is ours).
    commandChannel = new CCommandChannel(this);
    connect(commandChannel, &CCommandChannel::signalReceived, this, &MainWindow::slotReadEvent);

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

    // 7.-8. The widget tree (title and document mode included) is the form's.
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
    qDeleteAll(display()->findChildren<CCamPreview *>());
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

QProgressDialog *MainWindow::progress() const
{
    return progressPanel;
}

CDisplay *MainWindow::display() const
{
    return m_ui->display;
}

CTEPageItem *MainWindow::selectionFrame() const
{
    return m_editor->frame();
}

CWebBrowser *MainWindow::browser() const
{
    return m_ui->browser;
}

CScrollPreview *MainWindow::thumbnails() const
{
    return m_ui->left_panel;
}

const QPixmap &MainWindow::picture() const
{
    return m_editor->picture();
}

void MainWindow::buildWidgets()
{
    m_ui->setupUi(this);
    // Looks and pictures come from the style's folder, which the form cannot name.
    const auto tr = [this](const QString &text) { return translationTable ? translationTable->tr(text) : text; };
    m_ui->left_panel->setTranslator(tr);
    m_ui->left_panel->setStyleSheet(CStyleSheets::thumbnailPanel());
    for (QCheckBox *check : {m_ui->colnectCheck, m_ui->ebayCheck, m_ui->stampWantsCheck})
        check->setStyleSheet(CStyleSheets::siteCheckBox());
    m_ui->tabWidget->setStyleSheet(CStyleSheets::tabWidget());
    // The maker's logo lies over the tab bar's free end, outside any tab.
    auto *makerLogo = new QLabel(m_ui->tabWidget);
    makerLogo->setPixmap(QPixmap(CStyleSheets::resource(QStringLiteral("harbek.png"))));
    makerLogo->move(5, 7);
    makerLogo->adjustSize();
    const std::pair<QToolButton *, const char *> icons[] = {
        {m_ui->webcamButton, "webcam.png"},         {m_ui->openButton, "open.png"},
        {m_ui->searchButton, "web-search.png"},     {m_ui->selectAllButton, "selection.png"},
        {m_ui->turnLeftButton, "rotate-left.png"},  {m_ui->turnRightButton, "rotate-right.png"},
        {m_ui->identifyAllButton, "identify-all.png"}, {m_ui->settingsButton, "preferences.png"},
        {m_ui->helpButton, "help.png"}};
    for (const auto &[button, icon] : icons) {
        button->setIcon(QIcon(CStyleSheets::resource(QString::fromLatin1(icon))));
        button->setStyleSheet(CStyleSheets::toolButton());
    }
    setPictureButtonsEnabled(false);
    m_editor = new CPictureEditor(m_ui->display, tr, this);

    // Menus.
    helpMenu = new QMenu(m_ui->helpButton);
    helpMenu->setStyleSheet(CStyleSheets::menu());
    connect(helpMenu->addAction(QStringLiteral("About")), &QAction::triggered, this, &MainWindow::slotAbout);
    connect(helpMenu->addAction(QStringLiteral("Manual")), &QAction::triggered, this, &MainWindow::slotManual);
    pictureMenu = new QMenu(this);
    pictureMenu->setStyleSheet(CStyleSheets::menu());
    connect(pictureMenu->addAction(QStringLiteral("Paste")), &QAction::triggered, this, &MainWindow::slotPasteImg);

    progressPanel = new CProgressPanel(this);
    connect(progressPanel, &QProgressDialog::rejected, this, &MainWindow::slotCanseledSearch);
    connect(progressPanel, &QProgressDialog::canceled, this, &MainWindow::slotCanseledSearch);

    // Buttons.
    connect(m_ui->webcamButton, &QToolButton::clicked, this, &MainWindow::slotStartGrab);
    connect(m_ui->openButton, &QToolButton::clicked, this, [this] { slotOpenGrab(); });
    connect(m_ui->searchButton, &QToolButton::clicked, this, &MainWindow::slotIdentify);
    connect(m_ui->selectAllButton, &QToolButton::clicked, this, &MainWindow::slotSelection);
    connect(m_ui->turnLeftButton, &QToolButton::clicked, this, &MainWindow::slotTurnLeft);
    connect(m_ui->turnRightButton, &QToolButton::clicked, this, &MainWindow::slotTurnRight);
    connect(m_ui->identifyAllButton, &QToolButton::clicked, this, &MainWindow::slotIdentifyAll);
    connect(m_ui->settingsButton, &QToolButton::clicked, this, &MainWindow::slotOnSettingMenu);
    connect(m_ui->helpButton, &QToolButton::clicked, this, &MainWindow::slotOnHelpMenu);
    connect(m_ui->tabWidget, &QTabWidget::currentChanged, this, &MainWindow::slotResize);
    connect(m_ui->display, &CDisplay::signalOutUrl, this, &MainWindow::slotDragAndDropImage);
    connect(m_ui->display, &CDisplay::signalContextMenu, this, &MainWindow::slotOnContextMenu);
    connect(m_editor->frame(), &CTEPageItem::signalContextMenu, this, &MainWindow::slotOnContextMenu);
    connect(m_editor, &CPictureEditor::signalPageChanged, this, &MainWindow::updateStepShortcuts);
    connect(m_editor, &CPictureEditor::signalWebcamStarted, this, [this] { m_ui->up_panel->setEnabled(false); });
    connect(m_editor, &CPictureEditor::signalWebcamPixmap, this, &MainWindow::slotRenderPixmap);
    // Tab and Shift+Tab step the frame through a page's stamps; elsewhere they move the focus as
    // usual (the shortcuts are on only while a page is on show in the stamp tab).
    for (const auto &[key, direction] : {std::pair{Qt::Key_Tab, 1}, std::pair{Qt::Key_Backtab, -1}}) {
        auto *shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setEnabled(false);
        connect(shortcut, &QShortcut::activated, m_editor, [this, direction = direction] { m_editor->step(direction); });
        m_stepShortcuts << shortcut;
    }
    connect(m_ui->tabWidget, &QTabWidget::currentChanged, this, [this] { updateStepShortcuts(); });
    connect(m_ui->browser, &CWebBrowser::signalDrop, m_ui->display, &CDisplay::slotDropOverboard);
    connect(m_ui->left_panel, &CScrollPreview::signalPressUrl, this, &MainWindow::slotPressScrollView);
    connectSearch();
    connectIdentifyAll();
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
    m_ui->webcamButton->setToolTip(t.tr("Web Cam"));
    m_ui->selectAllButton->setToolTip(t.tr("Select All"));
    m_ui->openButton->setText(t.tr("Open"));
    m_ui->searchButton->setText(t.tr("Search"));
    m_ui->searchButton->setToolTip(t.tr("Start Stamp Searching"));
    m_ui->turnLeftButton->setToolTip(t.tr("turn left"));
    m_ui->turnRightButton->setToolTip(t.tr("turn Right"));
    m_ui->identifyAllButton->setToolTip(t.tr("Identify all"));
    m_ui->settingsButton->setText(t.tr("Settings"));
    m_ui->helpButton->setText(t.tr("Help"));
    const QList<QAction *> helpActions = helpMenu->actions();
    helpActions.at(0)->setText(t.tr("About"));
    helpActions.at(1)->setText(t.tr("Manual"));
    pictureMenu->actions().at(0)->setText(t.tr("Paste"));
    m_ui->tabWidget->setTabText(0, t.tr("Stamp"));
    m_ui->tabWidget->setTabText(1, t.tr("Browser"));
    if (m_identifyAllView) {
        m_ui->tabWidget->setTabText(m_ui->tabWidget->indexOf(m_identifyAllView), t.tr("Identify all"));
        m_identifyAllView->retranslate();
    }
    progressPanel->retranslate([&t](const QString &text) { return t.tr(text); });
}

void MainWindow::slotOnSettingMenu()
{
    m_config->load();
    settingsDialog->exec();
}

QPoint MainWindow::helpMenuPosition() const
{
    QPoint p;
    const QWidget *path[] = {this, centralWidget(), m_ui->widget_2, m_ui->tabWidget,
                             m_ui->tabWidget->widget(0), m_ui->up_panel, m_ui->helpButton};
    for (const QWidget *widget : path)
        p += widget->pos();
    const int y = p.y() + (frameGeometry().height() - height()) / 2 + m_ui->helpButton->height()
                  + m_ui->tabWidget->iconSize().height() + int(windowTitle().size()) + 11;
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
    CCommandInterpreter list(commandArgs);
    bool loaded = false;
    for (const QString &argument : list.pictureCandidates()) {
        if (slotOpenGrab(argument)) {
            loaded = true;
            break;
        }
    }
    if (!loaded)
        return;
    resize(1000, 655);
    resizeEvent(nullptr);

    if (!list.read(m_editor->picture().size())) {
        showProblem(translationTable->tr(list.problem()).arg(list.problemArgument()));
        return;
    }
    if (list.frame())
        m_editor->placeFrame(*list.frame());
    else if (list.selectAll())
        slotSelection();
    if (!list.reportPath().isEmpty())
        reportPath = list.reportPath();
    switch (list.action()) {
    case CCommandInterpreter::IdentifyAll:
        slotCanseledSearch();
        slotIdentifyAll();
        break;
    case CCommandInterpreter::Search:
        slotCanseledSearch();
        slotIdentify();
        break;
    case CCommandInterpreter::NoAction:
        break;
    }
}

void MainWindow::slotStartGrab()
{
    m_editor->startWebcam();
}

void MainWindow::slotPressScrollView(const QString &url)
{
    m_ui->tabWidget->setCurrentIndex(1);
    m_ui->browser->slotOpenUrl(url);
}

// The search runs in CStampSearch; the window shows its progress and matches.

void MainWindow::connectSearch()
{
    connect(m_search, &CStampSearch::signalStarted, this, [this] {
        progressPanel->clearStages();
        progressPanel->setWindowModality(Qt::WindowModal);
        progressPanel->show();
        m_ui->left_panel->clear();
        m_ui->left_panel->setEnabled(false);
        m_ui->searchButton->setEnabled(false);
    });
    connect(m_search, &CStampSearch::signalProgress, progressPanel, &CProgressPanel::setProgress);
    connect(m_search, &CStampSearch::signalStatus, progressPanel, &CProgressPanel::setStatus);
    connect(m_search, &CStampSearch::signalStage, progressPanel, &CProgressPanel::showStage);
    connect(m_search, &CStampSearch::signalStageChecked, progressPanel, &CProgressPanel::checkStage);
    connect(m_search, &CStampSearch::signalStagePicture, this, [this](const QString &name) {
        progressPanel->setStagePicture(QPixmap(CStyleSheets::resource(name)));
    });
    connect(m_search, &CStampSearch::signalMiniImg, this, &MainWindow::slotAddMiniImg);
    connect(m_search, &CStampSearch::signalOutImg, this, &MainWindow::slotAddImg);
    connect(m_search, &CStampSearch::signalClearResults, m_ui->left_panel, &CScrollPreview::clear);
    connect(m_search, &CStampSearch::signalServerMessage, this, [this](const QString &message) {
        m_ui->searchButton->setEnabled(true);
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
        m_ui->searchButton->setEnabled(true);
        m_ui->left_panel->setEnabled(true);
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

void MainWindow::slotIdentify()
{
    if (m_search->isRunning()) {
        // The running search unwinds first; a new one started inside its waits would run on its stack.
        // The new search writes the report, the one it replaces none.
        m_search->supersede();
        m_ui->searchButton->setEnabled(true);
        m_searchAgain = true;
        return;
    }
    if (!m_ui->colnectCheck->isChecked() && !m_ui->stampWantsCheck->isChecked() && !m_ui->ebayCheck->isChecked()) {
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
    m_ui->left_panel->setEnabled(true);
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
    const QImage picture = m_editor->picture().toImage();
    m_identifiedBoxes = m_editor->page().stamps();
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
        m_ui->tabWidget->addTab(m_identifyAllView, translationTable->tr("Identify all"));
        connect(m_identifyAllView, &CIdentifyAllView::signalStop, m_identifyAll, &CIdentifyAll::stop);
        connect(m_identifyAllView, &CIdentifyAllView::signalSearch, this, &MainWindow::searchIdentifiedStamp);
    }
    m_identifyAllView->setStamps(m_identifiedCutouts);
    m_identifyAllView->setRunning(true);
    m_identifyAllView->setStatus(translationTable->tr("%1 of %2 stamps asked").arg(0).arg(m_identifiedCutouts.size()));
    m_ui->tabWidget->setCurrentWidget(m_identifyAllView);
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
    if (index < m_identifiedBoxes.size() && m_editor->page().stamps() == m_identifiedBoxes)
        m_editor->frameStamp(index);
    m_ui->tabWidget->setCurrentIndex(0);
    selectionImage = m_identifiedCutouts.at(index);
    runSearch(selectionImage, m_identifiedUploads.at(index));
}

void MainWindow::slotCanseledSearch()
{
    m_search->cancel();
    m_ui->searchButton->setEnabled(true);
}

void MainWindow::slotAddMiniImg(const QImage &image)
{
    progressPanel->setStagePicture(QPixmap::fromImage(image.scaled(64, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}

void MainWindow::slotAddImg(const QImage &image, const QString &pageUrl, const QString &source,
                            const QString &domain, int kind, const CMatchEvidence &evidence)
{
    if (kind <= 0) {
        m_ui->left_panel->addThumbnail(QPixmap::fromImage(image), pageUrl, source, Qt::white, evidence);
        return;
    }
    const QColor colour = kind <= 2 ? QColor(255, 197, 157) : kind == 3 ? QColor(0xff, 0, 0) : QColor(0x80, 0, 0);
    m_ui->left_panel->addThumbnail(QPixmap::fromImage(image), pageUrl, domain, colour, evidence);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // A search waiting in a nested loop ends first; its workers are joined when it is destroyed.
    if (m_search->isRunning())
        m_search->cancel();
    QMainWindow::closeEvent(event);
}

// Picture on show and selection frame: the editing is CPictureEditor's; the window keeps its
// buttons in step.

void MainWindow::setPictureButtonsEnabled(bool enabled)
{
    for (QToolButton *button : {m_ui->turnRightButton, m_ui->turnLeftButton, m_ui->searchButton,
                                m_ui->selectAllButton, m_ui->identifyAllButton})
        button->setEnabled(enabled);
}

// The webcam's picture, or a null one when no camera answered.
void MainWindow::slotRenderPixmap(const QPixmap &pixmap)
{
    m_ui->up_panel->setEnabled(true);
    if (pixmap.isNull()) {
        QMessageBox::information(this, QString(), translationTable->tr("Webcam is not connected"));
        setPictureButtonsEnabled(false);
        return;
    }
    setPictureButtonsEnabled(true);
    m_editor->showPicture(pixmap);
}

void MainWindow::updateStepShortcuts()
{
    for (QShortcut *shortcut : std::as_const(m_stepShortcuts))
        shortcut->setEnabled(m_editor->page().isPage() && m_ui->tabWidget->currentIndex() == 0);
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    if (event)
        QMainWindow::resizeEvent(event);
    m_editor->refit();
}

void MainWindow::slotResize()
{
    resizeEvent(nullptr);
}

void MainWindow::slotSelection()
{
    m_editor->selectAll();
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
    m_ui->tabWidget->setCurrentIndex(0);
    m_ui->up_panel->setEnabled(true);
    m_editor->open(picture);
    setPictureButtonsEnabled(true);
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
    m_editor->turnRight();
}

void MainWindow::slotTurnLeft()
{
    m_editor->turnLeft();
}

QByteArray MainWindow::takeSelection()
{
    selectionImage = m_editor->cutSelection();
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
