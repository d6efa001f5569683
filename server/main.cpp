#include "catalogueindex.h"
#include "recognitionserver.h"
#include "stampcatalogue.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// SIGINT and SIGTERM end the event loop, so that the temporary upload folder is removed.
void quitOnSignals(QCoreApplication &app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] { app.quit(); });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Progress of a long start on standard error: one line rewritten in place on a terminal, a plain
// line per tenth otherwise (a log file should not fill with carriage returns).
class ProgressLine
{
public:
    explicit ProgressLine(QTextStream &err) : m_err(err), m_terminal(::isatty(STDERR_FILENO) == 1) {}

    void show(const QString &stage, int done, int total)
    {
        if (total <= 0)
            return;
        const int tenth = int(qint64(done) * 10 / total);
        if (m_terminal) {
            if (m_timer.isValid() && m_timer.elapsed() < 100 && done < total && stage == m_stage)
                return;
            m_timer.start();
            m_err << "\rquillet-server: " << stage << " " << done << "/" << total << "   ";
            if (done >= total)
                m_err << "\n";
        } else {
            if (stage == m_stage && tenth == m_tenth)
                return;
            m_err << "quillet-server: " << stage << " " << done << "/" << total << "\n";
        }
        m_stage = stage;
        m_tenth = tenth;
        m_err.flush();
    }

private:
    QTextStream &m_err;
    const bool m_terminal;
    QElapsedTimer m_timer;
    QString m_stage;
    int m_tenth = -1;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillet-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLET_VERSION_STRING));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Quillet's recognition server: recognises uploaded stamp pictures against a "
                       "catalogue folder (pictures and catalogue.tsv)."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption catalogueOption(QStringLiteral("catalogue"),
                                             QStringLiteral("The catalogue folder."),
                                             QStringLiteral("DIR"));
    const QCommandLineOption listenOption(QStringLiteral("listen"),
                                          QStringLiteral("Address to listen on (default 127.0.0.1)."),
                                          QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Port (default 8711; 0 picks a free one)."),
                                        QStringLiteral("N"), QStringLiteral("8711"));
    const QCommandLineOption uploadsOption(
        QStringLiteral("uploads"),
        QStringLiteral("Folder that keeps the uploads (default: a temporary folder)."),
        QStringLiteral("DIR"));
    const QCommandLineOption shortlistOption(
        QStringLiteral("shortlist"),
        QStringLiteral("Stamps given the full comparison per upload (default %1; 0: all).")
            .arg(CStampRecognizer::defaultShortlistSize),
        QStringLiteral("N"), QString::number(CStampRecognizer::defaultShortlistSize));
    const QCommandLineOption indexOption(
        QStringLiteral("index"),
        QStringLiteral("Folder of the stored catalogue index (default: the catalogue folder)."),
        QStringLiteral("DIR"));
    const QCommandLineOption buildIndexOption(
        QStringLiteral("build-index"),
        QStringLiteral("Bring the stored catalogue index up to date and exit without serving."));
    const HttpServer::Limits defaults;
    const QCommandLineOption keepUploadsOption(
        QStringLiteral("keep-uploads"),
        QStringLiteral("Uploads kept in the folder, the oldest removed first (default %1).")
            .arg(CRecognitionServer::defaultMaxStoredUploads),
        QStringLiteral("N"), QString::number(CRecognitionServer::defaultMaxStoredUploads));
    const QCommandLineOption maxConnectionsOption(
        QStringLiteral("max-connections"),
        QStringLiteral("Open connections at most (default %1).").arg(defaults.maxConnections),
        QStringLiteral("N"), QString::number(defaults.maxConnections));
    const QCommandLineOption maxPerClientOption(
        QStringLiteral("max-per-client"),
        QStringLiteral("Open connections from one address at most (default %1).")
            .arg(defaults.maxConnectionsPerPeer),
        QStringLiteral("N"), QString::number(defaults.maxConnectionsPerPeer));
    const QCommandLineOption timeoutOption(
        QStringLiteral("timeout"),
        QStringLiteral("Seconds a client has to send its request, plus one per %1 KiB of body "
                       "(default %2).")
            .arg(defaults.minBodyRate / 1024)
            .arg(defaults.requestTimeoutMs / 1000),
        QStringLiteral("S"), QString::number(defaults.requestTimeoutMs / 1000));
    parser.addOptions({catalogueOption, listenOption, portOption, uploadsOption, shortlistOption,
                       indexOption, buildIndexOption, keepUploadsOption, maxConnectionsOption,
                       maxPerClientOption, timeoutOption});
    parser.process(app);

    QTextStream out(stdout);
    QTextStream err(stderr);
    if (!parser.isSet(catalogueOption)) {
        err << "quillet-server: --catalogue DIR is required\n";
        return 2;
    }
    const QHostAddress address(parser.value(listenOption));
    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    bool shortlistOk = false;
    const int shortlist = parser.value(shortlistOption).toInt(&shortlistOk);
    // Counts and times given on the command line: whole numbers, at least `least`.
    bool countsOk = true;
    const auto count = [&parser, &countsOk](const QCommandLineOption &option, int least) {
        bool ok = false;
        const int value = parser.value(option).toInt(&ok);
        countsOk = countsOk && ok && value >= least;
        return value;
    };
    const int keepUploads = count(keepUploadsOption, 1);
    HttpServer::Limits limits;
    limits.maxConnections = count(maxConnectionsOption, 1);
    limits.maxConnectionsPerPeer = count(maxPerClientOption, 1);
    const int timeout = count(timeoutOption, 1);
    if (address.isNull() || !portOk || port > 65535 || !shortlistOk || shortlist < 0 || !countsOk
        || timeout > 24 * 3600) {
        err << "quillet-server: bad --listen, --port, --shortlist, --keep-uploads, --max-connections, "
               "--max-per-client or --timeout value\n";
        return 2;
    }
    limits.requestTimeoutMs = timeout * 1000;

    // A file-size limit then fails the index's write with its reason instead of killing the server.
    ::signal(SIGXFSZ, SIG_IGN);
    QElapsedTimer timer;
    timer.start();
    CStampCatalogue catalogue;
    QString error;
    QStringList warnings;
    CCatalogueIndex::Report report;
    ProgressLine progress(err);
    if (!CCatalogueIndex::open(
            catalogue, parser.value(catalogueOption), parser.value(indexOption),
            [&progress](const QString &stage, int done, int total) { progress.show(stage, done, total); },
            &report, &error, &warnings)) {
        err << "quillet-server: " << error << "\n";
        return 1;
    }
    for (const QString &warning : warnings)
        err << "quillet-server: catalogue " << warning << "\n";
    for (const QString &message : std::as_const(report.messages))
        err << "quillet-server: index: " << message << "\n";
    err << "quillet-server: index: " << report.stored << " signatures loaded, " << report.computed
        << " computed, " << report.removed << " removed; first filter "
        << (report.indexLoaded ? "loaded" : "built") << "\n";
    err << "quillet-server: index: words of " << report.wordsStored << " pictures loaded, "
        << report.wordsComputed << " computed; vocabulary of " << report.vocabularySize << " words "
        << (report.vocabularyLoaded ? "loaded" : "learnt") << "; " << report.withoutWords
        << " pictures with too few keypoints, found by their signature alone\n";
    err << "quillet-server: " << catalogue.size() << " stamps indexed in " << timer.elapsed()
        << " ms\n";
    err.flush();
    if (parser.isSet(buildIndexOption)) {
        if (!report.upToDate) {
            err << "quillet-server: the stored index is not up to date (see above)\n";
            return 1;
        }
        return 0;
    }
    // Loading leaves freed buffers (the stored files, the rows read) in the heap; give them back.
    ::malloc_trim(0);

    CRecognitionServer server(std::move(catalogue));
    server.setShortlistSize(shortlist);
    server.setLimits(limits);
    server.setMaxStoredUploads(keepUploads);
    if (parser.isSet(uploadsOption) && !server.setUploadFolder(parser.value(uploadsOption))) {
        err << "quillet-server: " << server.errorString() << "\n";
        return 1;
    }
    // Requests are logged on standard output after the ready line; diagnostics of the libraries
    // (a corrupt JPEG's warnings) stay on standard error.
    QObject::connect(&server, &CRecognitionServer::logLine, &app, [&out](const QString &line) {
        out << line << "\n";
        out.flush();
    });
    if (!server.listen(address, quint16(port))) {
        err << "quillet-server: " << server.errorString() << "\n";
        return 1;
    }
    quitOnSignals(app);
    out << "listening on " << server.hostAndPort() << "\n";
    out.flush();
    const int status = app.exec();
    err << "quillet-server: stopped\n";
    return status;
}
