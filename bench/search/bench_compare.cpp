// The comparison stage of a search on its own: N candidate pictures (JPEG, 300 to 1000 pixels on
// the longer side, one in ten a picture of the user's stamp) served over HTTP on 127.0.0.1 by a
// child process, downloaded and compared by the search's 32 workers. Prints wall time, candidates
// per second, CPU time and use, the matches found, and this process's peak memory.
//
//     bench_compare [CANDIDATES]          (default 500)
//     bench_compare --serve CANDIDATES    the picture server (started by the above)
#include "app/platformsetup.h"
#include "matching/stampgenerator.h"
#include "search/stampsearch.h"
#include "server/httpserver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTextStream>

#include <opencv2/imgcodecs.hpp>

#include <sys/resource.h>

using G = CStampGenerator;

namespace {

constexpr int userStamp = 5;

// Candidate n: every tenth a photograph of the user's stamp, the others other stamps; sizes spread
// over 300 to 1000 pixels.
QByteArray candidatePicture(int n)
{
    const int longer = 300 + (n * 7919) % 701;
    cv::Mat picture;
    if (n % 10 == 0) {
        const cv::Mat stamp = G::stamp(userStamp, cv::Size(400, 480));
        picture = n % 20 == 0 ? G::rotated(stamp, 6) : G::lit(stamp, 0.85, 12);
    } else {
        picture = G::stamp(100 + n, cv::Size(400, 480));
    }
    picture = G::scaled(picture, double(longer) / std::max(picture.cols, picture.rows));
    std::vector<uchar> bytes;
    cv::imencode(".jpg", picture, bytes, {cv::IMWRITE_JPEG_QUALITY, 85});
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

int serve(int count)
{
    QVector<QByteArray> pictures;
    for (int n = 0; n < count; ++n)
        pictures << candidatePicture(n);
    HttpServer server([&pictures](HttpServer::Request &request) {
        bool ok = false;
        const int n = request.url.path().mid(1).section('.', 0, 0).toInt(&ok);
        if (!ok || n < 0 || n >= pictures.size())
            return HttpServer::respond(request.socket, 404, "no such picture");
        HttpServer::respond(request.socket, 200, pictures.at(n), "image/jpeg");
    });
    if (!server.listen())
        return 1;
    QTextStream(stdout) << server.port() << Qt::endl;
    return QCoreApplication::exec();
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Resident memory now, from the kernel's account of this process.
long residentKilobytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}

long peakKilobytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char *argv[])
{
    // The search owns the reverse image search's web page, which wants its platform prepared.
    CPlatformSetup::prepare();
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == QLatin1String("--serve"))
        return serve(args.value(2).toInt());
    const int count = args.size() > 1 ? args.at(1).toInt() : 500;

    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(app.applicationFilePath(), {"--serve", QString::number(count)});
    if (!server.waitForReadyRead(120000)) {
        QTextStream(stderr) << "the picture server did not start\n";
        return 1;
    }
    const QString host = "http://127.0.0.1:" + QString::fromLatin1(server.readLine().trimmed());

    QVector<field_ready> candidates;
    for (int n = 0; n < count; ++n) {
        field_ready record;
        record.imageUrl = host + "/" + QString::number(n) + ".jpg";
        record.pageUrl = record.imageUrl;
        record.source = QStringLiteral("bench");
        candidates << record;
    }
    // The user's framed picture.
    const QImage selection = G::toImage(G::onPage(G::stamp(userStamp), cv::Size(220, 260), cv::Point(10, 10)));

    CStampSearch search;
    const long residentBefore = residentKilobytes();
    const double cpuBefore = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    const QVector<field_ready> matches = search.compare(selection, candidates);
    const double wall = clock.nsecsElapsed() / 1e9;
    const double cpu = cpuSeconds() - cpuBefore;

    QTextStream out(stdout);
    out << "candidates " << count << " matches " << matches.size() << " (expected " << (count + 9) / 10 << ")\n"
        << "wall_s " << QString::number(wall, 'f', 2) << " candidates_per_s " << QString::number(count / wall, 'f', 1)
        << " cpu_s " << QString::number(cpu, 'f', 2) << " cpu_use " << QString::number(cpu / wall, 'f', 2)
        << " peak_rss_mb " << peakKilobytes() / 1024 << " (before the comparison " << residentBefore / 1024 << ")\n";
    server.terminate();
    server.waitForFinished(5000);
    return matches.size() == (count + 9) / 10 ? 0 : 3;
}
