#include "demoweb.h"

#include "testweb.h"
#include "matching/stampgenerator.h"
#include "sites/hostconfig.h"

#include <QRegularExpression>

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

QList<TestWeb::Stamp> stamps(std::initializer_list<QString> ids)
{
    QList<TestWeb::Stamp> list;
    for (const QString &id : ids)
        list << TestWeb::Stamp{id};
    return list;
}

} // namespace

void CDemoWeb::offerStamps(TestWeb &web, int count)
{
    web.setPictureSource(pictureFor);
    for (int n = 1; n <= count; ++n) {
        const QString s = QStringLiteral("s%1").arg(n);
        const QString o = QStringLiteral("o%1").arg(n);
        const auto asks = [n](const QUrl &url) { return askedNumber(url) == n; };
        web.setStamps(Site::Delcampe, stamps({s + "r", o + "1", s + "l"}), asks);
        web.setStamps(Site::Colnect, stamps({s + "j"}), asks);
        web.setStamps(Site::Bidstart, stamps({o + "2"}), asks);
        web.setStamps(Site::Ebay, stamps({s + "z", o + "3"}), asks);
    }
    web.addHandler(QStringLiteral("127.0.0.1"), [](HttpServer::Request &request) {
        HttpServer::respond(request.socket, 200, "<html><body>No other sizes of this image found.</body></html>");
        return true;
    });
}

QString CDemoWeb::hostsText(const TestWeb &web, const QString &recognition)
{
    QString hosts = QStringLiteral("recognition = %1\nsearch_engine = http://%2\nupdate = 127.0.0.1:1\nmaker = 127.0.0.1:1\n")
                        .arg(recognition, web.hostAndPort());
    for (const QString &key : HostConfig::keys()) {
        if (key != QLatin1String("search_engine") && !TestWeb::hostName(key).isEmpty())
            hosts += key + QStringLiteral(" = ") + TestWeb::hostName(key) + QLatin1Char('\n');
    }
    return hosts;
}

QImage CDemoWeb::photograph(int n)
{
    return G::toImage(G::onPage(G::rotated(G::lit(G::stamp(n), 0.9, 8), 3), cv::Size(260, 300), cv::Point(20, 20)));
}
