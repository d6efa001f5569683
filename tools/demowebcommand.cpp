// quillet-tool demo-web FOLDER COUNT RECOGNITION_HOST [STAMP]: stand-ins for the stamp sites on
// 127.0.0.1 for a demo without the internet. Every search for a stamp of the demo catalogue (1 to
// COUNT) finds photographs of it (turned, relit, recompressed, rescaled) among other stamps. Writes
// FOLDER/hosts.cfg (every site and the search engine pointed at the stand-ins, the recognition host
// as given) and FOLDER/photo.png (a photograph of catalogue stamp STAMP, 7 by default), prints
// "listening on 127.0.0.1:PORT" (the port to use as http_proxy) and serves until it is stopped.
#include "toolcommand.h"

#include "matching/stampgenerator.h"
#include "server/testweb.h"
#include "sites/hostconfig.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTextStream>

using G = CStampGenerator;
using Site = TestWeb::Site;

namespace {

// Pictures by id: "s<n><variant>" a photograph of catalogue stamp n, "o<k>" another stamp.
QImage pictureFor(const QString &id)
{
    static const QRegularExpression pattern(QStringLiteral("^([so])(\\d+)([rljz]?)$"));
    const QRegularExpressionMatch match = pattern.match(id);
    if (!match.hasMatch())
        return {};
    const int n = match.captured(2).toInt();
    if (match.captured(1) == QLatin1String("o"))
        return G::toImage(G::stamp(10000 + n));
    const cv::Mat stamp = G::stamp(n);
    const QString variant = match.captured(3);
    if (variant == QLatin1String("r"))
        return G::toImage(G::rotated(stamp, 6));
    if (variant == QLatin1String("l"))
        return G::toImage(G::lit(stamp, 0.8, 15));
    if (variant == QLatin1String("j"))
        return G::toImage(G::jpeg(stamp, 35));
    return G::toImage(G::scaled(stamp, 1.4));
}

// The catalogue number a search asks for: after the name, or in a catalogue's address.
int askedNumber(const QUrl &url)
{
    static const QRegularExpression number(QStringLiteral("(?:Demoland\\+|catalog_code/|sgno=|scott_no=)(\\d+)"));
    const QRegularExpressionMatch match = number.match(url.toString(QUrl::FullyDecoded));
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

int run(const QStringList &args)
{
    bool ok = false;
    const int count = args.value(1).toInt(&ok);
    if (args.size() < 3 || !ok || count < 1) {
        QTextStream(stderr) << "usage: quillet-tool demo-web FOLDER COUNT RECOGNITION_HOST [STAMP]\n";
        return 2;
    }
    const QDir folder(args.at(0));
    const int shown = args.size() > 3 ? args.at(3).toInt() : 7;

    static TestWeb web;
    if (!web.start()) {
        QTextStream(stderr) << "quillet-tool demo-web: cannot listen on 127.0.0.1\n";
        return 1;
    }
    web.setPictureSource(pictureFor);
    const auto stamps = [](std::initializer_list<QString> ids) {
        QList<TestWeb::Stamp> list;
        for (const QString &id : ids)
            list << TestWeb::Stamp{id};
        return list;
    };
    for (int n = 1; n <= count; ++n) {
        const QString s = QStringLiteral("s%1").arg(n);
        const QString o = QStringLiteral("o%1").arg(n);
        const auto asks = [n](const QUrl &url) { return askedNumber(url) == n; };
        web.setStamps(Site::Delcampe, stamps({s + "r", o + "1", s + "l"}), asks);
        web.setStamps(Site::Colnect, stamps({s + "j"}), asks);
        web.setStamps(Site::Bidstart, stamps({o + "2"}), asks);
        web.setStamps(Site::Ebay, stamps({s + "z", o + "3"}), asks);
    }
    // The reverse image search finds nothing more.
    web.addHandler(QStringLiteral("127.0.0.1"), [](HttpServer::Request &request) {
        HttpServer::respond(request.socket, 200, "<html><body>No other sizes of this image found.</body></html>");
        return true;
    });

    QString hosts = QStringLiteral("recognition = %1\nsearch_engine = http://%2\nupdate = 127.0.0.1:1\nmaker = 127.0.0.1:1\n")
                        .arg(args.at(2), web.hostAndPort());
    for (const QString &key : HostConfig::keys()) {
        if (key != QLatin1String("search_engine") && !TestWeb::hostName(key).isEmpty())
            hosts += key + QStringLiteral(" = ") + TestWeb::hostName(key) + QLatin1Char('\n');
    }
    QFile file(folder.filePath(QStringLiteral("hosts.cfg")));
    if (!QDir().mkpath(folder.path()) || !file.open(QIODevice::WriteOnly) || file.write(hosts.toUtf8()) < 0) {
        QTextStream(stderr) << "quillet-tool demo-web: cannot write " << file.fileName() << "\n";
        return 1;
    }
    file.close();
    // A photograph: the stamp a little turned on an album page, the frame taking in the whole.
    G::toImage(G::onPage(G::rotated(G::lit(G::stamp(shown), 0.9, 8), 3), cv::Size(260, 300), cv::Point(20, 20)))
        .save(folder.filePath(QStringLiteral("photo.png")));

    QTextStream(stdout) << "listening on " << web.hostAndPort() << Qt::endl;
    return QCoreApplication::exec();
}

ToolCommand command("demo-web", "demo-web FOLDER COUNT RECOGNITION_HOST [STAMP]   stand-in stamp sites for a demo", run);

} // namespace
