// quillet-server under load on loopback: how many uploads a second it answers to a few good
// clients, and how long each waits, first alone, then while bad clients drip, stall, announce what
// they never send and send garbage. A timing tool (not Google Benchmark): the figures are whole
// exchanges between processes.
//
//     build/bin/bench_serverload [--catalogue DIR] [--seconds S] [--good N]
//
// Without --catalogue it writes a demo catalogue of 200 stamps to a temporary folder.
#include "matching/stampgenerator.h"
#include "server/democatalogue.h"
#include "standins/loadclient.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMap>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <functional>

namespace {

using Kind = LoadClient::Kind;

QByteArray photograph(int n)
{
    const cv::Mat photo = CStampGenerator::rotated(CStampGenerator::scaled(CStampGenerator::stamp(n), 0.9), 4.0);
    std::vector<uchar> bytes;
    cv::imencode(".jpg", photo, bytes, {cv::IMWRITE_JPEG_QUALITY, 75});
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

struct PhaseResult
{
    QList<qint64> latencies; // of answered good uploads
    qint64 elapsedMs = 0;    // until the last good upload ended
    int goodFailures = 0;
    QMap<int, int> badStatuses;
    int badConnections = 0;
};

// Keeps `good` good clients uploading for `ms` milliseconds and, when `withBad`, a steady crowd of
// bad clients, each replaced by a new one of its kind when it ends.
PhaseResult runPhase(quint16 port, const QList<QByteArray> &uploads, int good, int ms, bool withBad)
{
    PhaseResult result;
    QElapsedTimer clock;
    clock.start();
    bool running = true;
    int goodOpen = 0;
    int next = 0;
    QSet<LoadClient *> alive;
    const QByteArray big = "POST /db3/index.php?os=win&ver=2 HTTP/1.1\r\nHost: quillet\r\n"
                           "Content-Type: multipart/form-data; boundary=AyV04a\r\n"
                           "Content-Length: 8388608\r\n\r\n"
        + QByteArray(8388608, 'x');

    std::function<void(Kind, const char *)> launch = [&](Kind kind, const char *source) {
        const QByteArray request = kind == Kind::StallBody ? big : uploads.at(next++ % uploads.size());
        auto *client = new LoadClient(kind, request);
        alive.insert(client);
        if (kind == Kind::Good)
            ++goodOpen;
        else
            ++result.badConnections;
        QObject::connect(client, &LoadClient::finished, client, [&, kind, source](LoadClient *done) {
            alive.remove(done);
            done->deleteLater();
            if (kind == Kind::Good) {
                --goodOpen;
                result.elapsedMs = clock.elapsed();
                if (done->status() == 200)
                    result.latencies << done->elapsedMs();
                else
                    ++result.goodFailures;
            } else {
                ++result.badStatuses[done->status()];
            }
            if (running)
                launch(kind, source);
        });
        client->start(QHostAddress(QString::fromLatin1(source)), QHostAddress::LocalHost, port);
    };

    for (int i = 0; i < good; ++i)
        launch(Kind::Good, "127.0.0.1");
    if (withBad) {
        for (int i = 0; i < 50; ++i)
            launch(Kind::DripHeaders, "127.0.0.2");
        for (int i = 0; i < 10; ++i)
            launch(Kind::DripBody, "127.0.0.3");
        for (Kind kind : {Kind::Garbage, Kind::HugeHeaders, Kind::Oversized})
            for (int i = 0; i < 3; ++i)
                launch(kind, "127.0.0.4");
        for (int i = 0; i < 8; ++i)
            launch(Kind::StallBody, "127.0.0.5");
    }
    QTimer::singleShot(ms, [&] { running = false; });
    while (running || goodOpen > 0)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    // Bad clients still held by the server are let go.
    qDeleteAll(alive);
    return result;
}

void report(QTextStream &out, const QString &name, PhaseResult result)
{
    std::sort(result.latencies.begin(), result.latencies.end());
    const auto at = [&](double q) {
        return result.latencies.isEmpty() ? 0 : result.latencies.at(qsizetype(q * (result.latencies.size() - 1)));
    };
    out << name << ": " << result.latencies.size() << " uploads answered in "
        << result.elapsedMs / 1000.0 << " s = "
        << QString::number(result.latencies.size() * 1000.0 / qMax<qint64>(1, result.elapsedMs), 'f', 1) << " uploads/s; latency median "
        << at(0.5) << " ms, 95th " << at(0.95) << " ms, max " << at(1.0) << " ms; good uploads not answered "
        << result.goodFailures;
    if (result.badConnections > 0) {
        out << "; bad connections " << result.badConnections << " (statuses:";
        for (auto it = result.badStatuses.cbegin(); it != result.badStatuses.cend(); ++it)
            out << " " << it.key() << "x" << it.value();
        out << ", the rest still held at the end)";
    }
    out << "\n";
    out.flush();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption catalogueOption("catalogue", "Catalogue folder (default: 200 demo stamps).", "DIR");
    const QCommandLineOption secondsOption("seconds", "Seconds per phase (default 10).", "S", "10");
    const QCommandLineOption goodOption("good", "Good clients uploading at once (default 4).", "N", "4");
    parser.addOptions({catalogueOption, secondsOption, goodOption});
    parser.process(app);
    QTextStream out(stdout);

    QTemporaryDir temporary;
    QString catalogue = parser.value(catalogueOption);
    if (catalogue.isEmpty()) {
        catalogue = temporary.path();
        if (!CDemoCatalogue::write(catalogue, 200)) {
            out << "cannot write a demo catalogue\n";
            return 1;
        }
    }
    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(QCoreApplication::applicationDirPath() + "/quillet-server",
                 {"--catalogue", catalogue, "--port", "0"});
    QByteArray line;
    while (!line.contains('\n') && server.waitForReadyRead(600000))
        line += server.readAllStandardOutput();
    if (!line.startsWith("listening on 127.0.0.1:")) {
        out << "quillet-server did not start: " << line << "\n";
        return 1;
    }
    const quint16 port = quint16(line.mid(23, line.indexOf('\n') - 23).toUInt());
    // The request log is not needed; keep the pipe from filling.
    QObject::connect(&server, &QProcess::readyReadStandardOutput, [&server] { server.readAllStandardOutput(); });

    QList<QByteArray> uploads;
    for (int n = 1; n <= 40; ++n)
        uploads << LoadClient::uploadRequest(photograph(n));
    const int ms = parser.value(secondsOption).toInt() * 1000;
    const int good = parser.value(goodOption).toInt();
    out << "quillet-server on " << catalogue << ", " << good << " good clients uploading at once, "
        << ms / 1000 << " s a phase\n";
    report(out, "good clients alone", runPhase(port, uploads, good, ms, false));
    report(out, "with bad clients", runPhase(port, uploads, good, ms, true));
    out << "server peak resident memory: " << LoadClient::peakResidentMiB(server.processId()) << " MiB\n";
    server.terminate();
    server.waitForFinished(10000);
    return 0;
}
