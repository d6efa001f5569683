// quillet-tool screenshots DIR [LANGUAGE]: opens the main window, the settings dialog, the About
// box, the licence agreement and the progress panel and saves a PNG of each, so the interface can
// be looked at without a screen. The main window is also shown with a stock page, its stamps
// identified, and after a whole search, run offline against a recognition server on a small demo
// catalogue and the demo's stand-in stamp sites.

#include "toolcommand.h"

#include "app/aboutdlg.h"
#include "app/euladlg.h"
#include "app/mainwindow.h"
#include "app/windowsettings.h"
#include "matching/albumpagegenerator.h"
#include "matching/stampgenerator.h"
#include "search/identifyall.h"
#include "server/democatalogue.h"
#include "standins/demoweb.h"
#include "server/recognitionserver.h"
#include "standins/testweb.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProgressDialog>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <opencv2/imgcodecs.hpp>

namespace {

// Rows for the page's stamps (all but the first) beside the demo catalogue's.
bool addPageStamps(const QString &folder, const CAlbumPageGenerator::Page &page)
{
    QFile rows(folder + "/catalogue.tsv");
    if (!rows.open(QIODevice::Append))
        return false;
    for (size_t n = 1; n < page.stamps.size(); ++n) {
        const QString name = QString("page%1.png").arg(n);
        if (!cv::imwrite((folder + "/" + name).toStdString(), page.picture(page.stamps.at(n))))
            return false;
        rows.write(QString("%1\tDemoland\t%2\tStock page stamp\t%3\t0001\n").arg(name).arg(100 + n).arg(1950 + n).toUtf8());
    }
    return true;
}

bool grabTo(QWidget *widget, const QString &path)
{
    widget->show();
    for (int i = 0; i < 5; ++i) {
        QApplication::processEvents();
        QThread::msleep(20);
    }
    const bool ok = widget->grab().save(path);
    QTextStream(stdout) << (ok ? "wrote " : "cannot write ") << path << "\n";
    return ok;
}

int run(const QStringList &args)
{
    if (args.isEmpty()) {
        QTextStream(stderr) << "usage: quillet-tool screenshots DIR [LANGUAGE]\n";
        return 2;
    }
    const QString folder = QDir(args.at(0)).absolutePath();
    if (!QDir().mkpath(folder)) {
        QTextStream(stderr) << "cannot create " << folder << "\n";
        return 1;
    }

    // A documents folder of our own, with a configuration that is not a first start, so the user's
    // settings stay untouched and no first-start dialog waits for an answer.
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    qunsetenv("XDG_CONFIG_HOME");
    QDir().mkpath(home.path() + "/Documents/Quillet");
    QFile config(home.path() + "/Documents/Quillet/config.cfg");
    if (config.open(QIODevice::WriteOnly | QIODevice::Text)) {
        QTextStream out(&config);
        out << "path = " << QCoreApplication::applicationDirPath() << "\n";
        out << "language = " << args.value(1, "english") << "\n";
    }
    config.close();

    // The outside world of a search, in this process: recognition server and stamp sites. The
    // catalogue also holds the stamps of the stock page below but its first, so that "Identify
    // all" shows answers and a stamp the server does not know.
    CAlbumPageGenerator::Options pageOptions;
    pageOptions.size = cv::Size(1600, 1200);
    const CAlbumPageGenerator::Page page = CAlbumPageGenerator::page(pageOptions);
    QTemporaryDir catalogueFolder;
    CStampCatalogue catalogue;
    QString error;
    if (!CDemoCatalogue::write(catalogueFolder.path(), 12, &error) || !addPageStamps(catalogueFolder.path(), page)
        || !catalogue.load(catalogueFolder.path(), &error)) {
        QTextStream(stderr) << "cannot make the demo catalogue: " << error << "\n";
        return 1;
    }
    CRecognitionServer recognition(std::move(catalogue));
    TestWeb sites;
    if (!recognition.listen(QHostAddress::LocalHost, 0) || !sites.start()) {
        QTextStream(stderr) << "cannot listen on 127.0.0.1\n";
        return 1;
    }
    CDemoWeb::offerStamps(sites, 12);
    sites.useAsProxyExceptLoopback();
    qunsetenv("QUILLET_HOSTS");
    QFile hosts(home.path() + "/Documents/Quillet/hosts.cfg");
    if (hosts.open(QIODevice::WriteOnly))
        hosts.write(CDemoWeb::hostsText(sites, recognition.hostAndPort()).toUtf8());
    hosts.close();

    bool ok = true;
    MainWindow window({QCoreApplication::applicationFilePath()});
    window.setMinimumSize(1000, 655);
    window.resize(1000, 655);
    ok &= grabTo(&window, folder + "/main-window.png");
    // With a stamp on show, framed as a search would take it.
    const cv::Mat stamp = CStampGenerator::stamp(7, cv::Size(400, 480));
    window.slotOpenGrab(QString(), CStampGenerator::toImage(
        CStampGenerator::onPage(CStampGenerator::rotated(stamp, 8), cv::Size(900, 700), cv::Point(230, 90))));
    ok &= grabTo(&window, folder + "/main-window-picture.png");
    // A stock page of twelve stamps: each found stamp outlined, the frame on the first.
    window.slotOpenGrab(QString(), CStampGenerator::toImage(page.picture));
    ok &= grabTo(&window, folder + "/main-window-page.png");
    // Every stamp of the page asked about.
    QEventLoop identified;
    QObject::connect(window.identifyAll(), &CIdentifyAll::signalFinished, &identified, &QEventLoop::quit);
    QTimer::singleShot(60000, &identified, &QEventLoop::quit);
    window.slotIdentifyAll();
    if (window.identifyAll()->isRunning())
        identified.exec();
    ok &= grabTo(&window, folder + "/main-window-identify-all.png");
    // After a whole search for a photograph of demo stamp 7.
    window.slotOpenGrab(QString(), CDemoWeb::photograph(7));
    window.slotSelection();
    window.slotIdentify();
    ok &= grabTo(&window, folder + "/main-window-results.png");
    ok &= grabTo(window.settings(), folder + "/settings.png");
    window.settings()->hide();

    QImage logo(QCoreApplication::applicationDirPath() + "/resources/logo.png");
    CAboutDlg about(&logo, &logo, window.translations(), &window);
    ok &= grabTo(&about, folder + "/about.png");
    about.hide();

    CEulaDlg eula;
    ok &= grabTo(&eula, folder + "/licence.png");
    eula.hide();

    ok &= grabTo(window.progress(), folder + "/progress.png");
    window.progress()->hide();
    return ok ? 0 : 1;
}

ToolCommand command("screenshots", "screenshots DIR [LANGUAGE]   save PNGs of the windows and dialogs", run);

} // namespace
