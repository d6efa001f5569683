#include "testweb.h"

#include "sites/hostconfig.h"

#include <QBuffer>
#include <QFileInfo>
#include <QPainter>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>

#include <memory>

namespace {

const QHash<QString, QString> &testHostNames()
{
    static const QHash<QString, QString> names = {
        {"ebay", "www.ebay.test"},
        {"ebay_pictures", "ebayimg.test"},
        {"delcampe", "www.delcampe.test"},
        {"delcampe_pictures", "delcampe-static.test"},
        {"bidstart", "www.bidstart.test"},
        {"bidstart_shop", "stampwants.bidstart.test"},
        {"stampwants_thumbs", "thumbs.stampwants.test"},
        {"stampwants_pictures", "images.stampwants.test"},
        {"colnect", "colnect.test"},
        {"colnect_pictures", "i.colnect.test"},
        {"poppe", "www.poppe-stamps.test"},
        {"search_engine", "www.google.test"},
    };
    return names;
}

QString host(const char *key)
{
    return testHostNames().value(QLatin1String(key));
}

QString ebayPictureHost() { return "i." + host("ebay_pictures"); }
QString delcampePictureHost() { return "images." + host("delcampe_pictures"); }

QByteArray fill(QString text, const QString &id)
{
    return text.replace(QLatin1String("{ID}"), id).toUtf8();
}

// The parts every page shares: a head with scripts and styles, and a body that opens with
// navigation, an advert and a commented-out offer, which no parser may take for a real one.
QByteArray pageStart(const QString &title, const QString &siteHost, const QString &decoyLink,
                     const QString &decoyPicture)
{
    QString text = QStringLiteral(R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{TITLE}</title>
<link rel="stylesheet" href="http://{HOST}/css/site.css">
<style>body { font-family: sans-serif } .hidden { display: none } a > img { border: 0 }</style>
<script type="text/javascript">
  var tracking = {"pageId": 2047, "offer": "<a href='{DECOY_LINK}'><img src='{DECOY_PICTURE}'></a>"};
  if (window.innerWidth < 600 && tracking.pageId > 0) { document.write("<div class='narrow'>"); }
</script>
</head>
<body class="search-page">
<div id="header"><table class="frame" width="100%"><tr><td class="logo"><a href="http://{HOST}/"><img src="http://{HOST}/img/logo.png" alt="logo"></a></td>
<td><form action="http://{HOST}/search" method="get"><input type="text" name="q" value=""><input type="submit" value="Search"></form></td>
<td class="account"><a href="http://{HOST}/signin">Sign in</a> | <a href="http://{HOST}/register">Register</a></td></tr></table>
<ul class="nav"><li><a href="http://{HOST}/stamps">Stamps</a></li><li><a href="http://{HOST}/coins">Coins</a><ul><li><a href="http://{HOST}/coins/euro">Euro</a></li></ul></li><li class="last"><a href="http://{HOST}/help">Help</a></li></ul></div>
<div class="advert"><iframe src="http://ads.example.test/frame?slot=top" width="728" height="90"></iframe>
<a href="http://ads.example.test/click?id=77"><img src="http://ads.example.test/banner.gif" alt="advert"></a></div>
<!-- <a href="{DECOY_LINK}"><img src="{DECOY_PICTURE}" alt="Poppe-Stamps"></a> -->
<noscript><img src="http://stats.example.test/pixel.gif" width="1" height="1"></noscript>
)");
    text.replace("{TITLE}", title).replace("{HOST}", siteHost);
    text.replace("{DECOY_LINK}", decoyLink).replace("{DECOY_PICTURE}", decoyPicture);
    return text.toUtf8();
}

QByteArray pageEnd(const QString &siteHost)
{
    return QString(QStringLiteral(R"(<div id="footer"><table><tr><td><table class="links"><tr><td><a href="http://{HOST}/about">About</a></td><td><a href="http://{HOST}/privacy">Privacy</a></td></tr></table></td>
<td><p>&copy; 1995-2024 &mdash; all rights reserved<br>Prices in <b>USD</b></td></tr></table></div>
<script src="http://{HOST}/js/app.js"></script>
<script>for (var i = 0; i < 3; i++) { console.log("<img src='x'>" + i); }</script>
</body></html>
)")).replace("{HOST}", siteHost).toUtf8();
}

QByteArray ebayOffer(const QString &id)
{
    return fill(QStringLiteral(R"(<li class="s-item" id="item{ID}"><div class="s-item__wrapper clearfix">
<div class="s-item__image-section"><div class="s-item__image"><a href="{PAGE}" tabindex="-1"><div class="s-item__image-wrapper"><img class="s-item__image-img" alt="Stamp {ID}" src="{PICTURE}"></div></a></div></div>
<div class="s-item__info clearfix"><a href="{PAGE}" class="s-item__link"><h3 class="s-item__title">Stamp {ID} mint never hinged</h3></a>
<div class="s-item__details"><span class="s-item__price">$4.99</span><span class="s-item__shipping">+$1.50 shipping</span>
<img class="s-item__seller-icon" src="http://{PICS}/d/s140/m/seller.png"></div></div></div></li>
)").replace("{PAGE}", TestWeb::pageUrl(TestWeb::Ebay, id))
           .replace("{PICTURE}", TestWeb::pictureUrl(TestWeb::Ebay, id))
           .replace("{PICS}", ebayPictureHost()),
        id);
}

QByteArray delcampeOffer(const QString &id)
{
    return fill(QStringLiteral(R"(<div class="item-listing"><table class="item"><tr>
<td class="item-gallery"><a href="{LARGE}" class="zoom" data-lightbox="gallery"><img src="http://{PICS}/img_thumb/auction/000/{ID}.jpg" alt="Stamp {ID}"></a></td>
<td class="item-info"><table><tr><td><a class="item-link a0408" href="en_GB/collectables/stamps/item-{ID}.html" title="Stamp {ID}">Stamp {ID} used</a></td></tr>
<tr><td><span class="price">&euro; 2,50</span> <a class="seller" href="en_GB/collectables/seller/philatelist">philatelist</a></td></tr></table></td>
</tr></table></div>
)").replace("{LARGE}", TestWeb::pictureUrl(TestWeb::Delcampe, id))
           .replace("{PICS}", delcampePictureHost()),
        id);
}

QByteArray bidstartOffer(const QString &id)
{
    return fill(QStringLiteral(R"(<tr class="listing"><td class="thumb"><a href="{PAGE}"><img src="http://{THUMBS}/{ID}.jpg" alt="Stamp {ID}" border="0"></a></td>
<td class="title"><a href="{PAGE}"><b>Stamp {ID}</b> fine used</a><br><span class="seller">by <a href="http://www.bidstart.test/seller/stampwants">StampWants</a></span></td>
<td class="price">US $0.99</td></tr>
)").replace("{PAGE}", TestWeb::pageUrl(TestWeb::Bidstart, id))
           .replace("{THUMBS}", host("stampwants_thumbs")),
        id);
}

QByteArray colnectOffer(const QString &id)
{
    return fill(QStringLiteral(R"(<div class="pl-it"><div class="i_d"><a href="/en/stamps/stamp/{ID}-Stamp-Definitives"><img class="thumb" src="http://{PICS}/images/t/{ID}.jpg" alt="Stamp {ID}"></a></div>
<div class="i_t"><h2 class="item_header"><a href="/en/stamps/stamp/{ID}-Stamp-Definitives">Stamp {ID}</a></h2>
<dl><dt>Catalog codes:</dt><dd><strong>Mi</strong>:AB {ID}, <strong>Sn</strong>:AB {ID}</dd><dt>Themes:</dt><dd><a href="/en/stamps/list/theme/1-Birds">Birds</a></dd></dl></div></div>
)").replace("{PICS}", host("colnect_pictures")),
        id);
}

QByteArray poppeOffer(const QString &id)
{
    return fill(QStringLiteral(R"(<tr><td class="stamp"><a href="?t=34&amp;stamp_no={ID}"><img src="http://{HOST}/upload/Thumbs/{ID}.jpg" alt="Poppe-Stamps" width="80"></a></td>
<td class="text"><a href="?t=34&amp;stamp_no={ID}">Stamp {ID}</a><br><img src="http://{HOST}/img/flag.gif" alt="flag"> SG {ID}</td></tr>
)").replace("{HOST}", host("poppe")),
        id);
}

QString imageIdFromPath(const QString &path)
{
    return QFileInfo(path).completeBaseName();
}

} // namespace

TestWeb::TestWeb(QObject *parent)
    : QObject(parent), m_server(new HttpServer([this](HttpServer::Request &request) { handle(request); }, this))
{
    // One local client stands for a browser and 32 workers reaching every site through this
    // server, with connections held open on purpose: the limits meant for strangers do not apply.
    HttpServer::Limits limits;
    limits.maxConnections = 4096;
    limits.maxConnectionsPerPeer = 4096;
    m_server->setLimits(limits);
}

TestWeb::~TestWeb()
{
    if (m_factorySet)
        QNetworkProxyFactory::setApplicationProxyFactory(nullptr);
    if (m_proxySet)
        QNetworkProxy::setApplicationProxy(m_previousProxy);
}

bool TestWeb::start()
{
    return m_server->listen(QHostAddress::LocalHost);
}

quint16 TestWeb::port() const
{
    return m_server->port();
}

QString TestWeb::hostAndPort() const
{
    return m_server->hostAndPort();
}

QString TestWeb::hostName(const QString &key)
{
    return testHostNames().value(key);
}

QString TestWeb::siteHost(Site site)
{
    switch (site) {
    case Ebay: return host("ebay");
    case Delcampe: return host("delcampe");
    case Bidstart: return host("bidstart");
    case Colnect: return host("colnect");
    case Poppe: return host("poppe");
    }
    return {};
}

void TestWeb::configureHosts(HostConfig &config)
{
    for (auto it = testHostNames().cbegin(); it != testHostNames().cend(); ++it)
        config.setValue(it.key(), it.value());
}

void TestWeb::configureHosts()
{
    configureHosts(HostConfig::global());
}

void TestWeb::configureSearch(const QString &recognition) const
{
    HostConfig::global() = HostConfig();
    configureHosts();
    HostConfig::global().setValue(QStringLiteral("search_engine"), QStringLiteral("http://") + hostAndPort());
    HostConfig::global().setValue(QStringLiteral("recognition"), recognition);
}

void TestWeb::sendEndlessBody(QTcpSocket *socket)
{
    socket->write("HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\n\r\n");
    auto *pump = new QTimer(socket);
    connect(pump, &QTimer::timeout, socket, [socket] {
        if (socket->bytesToWrite() < (1 << 20))
            socket->write(QByteArray(256 * 1024, '\x11'));
    });
    pump->start(1);
}

QByteArray TestWeb::pngDeclaring(int width, int height)
{
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QImage(8, 8, QImage::Format_RGB32).save(&buffer, "PNG");
    // IHDR's width and height follow the 8-byte signature, the chunk length and "IHDR".
    const uchar size[8] = {uchar(width >> 24), uchar(width >> 16), uchar(width >> 8), uchar(width),
                           uchar(height >> 24), uchar(height >> 16), uchar(height >> 8), uchar(height)};
    png.replace(16, 8, QByteArray(reinterpret_cast<const char *>(size), 8));
    return png;
}

void TestWeb::useAsProxy()
{
    if (!m_proxySet) {
        m_previousProxy = QNetworkProxy::applicationProxy();
        m_proxySet = true;
    }
    QNetworkProxy::setApplicationProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), port()));
}

namespace {

class ProxyExceptLoopback : public QNetworkProxyFactory
{
public:
    explicit ProxyExceptLoopback(quint16 port) : m_port(port) {}
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override
    {
        if (QHostAddress(query.peerHostName()).isLoopback() || query.peerHostName() == QLatin1String("localhost"))
            return {QNetworkProxy(QNetworkProxy::NoProxy)};
        return {QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), m_port)};
    }

private:
    quint16 m_port;
};

} // namespace

void TestWeb::useAsProxyExceptLoopback()
{
    QNetworkProxyFactory::setApplicationProxyFactory(new ProxyExceptLoopback(port()));
    m_factorySet = true;
}

void TestWeb::offerDemoStamp(int n, const QList<Stamp> &delcampe, const QList<Stamp> &colnect, const QList<Stamp> &ebay)
{
    const QString number = QString("Demoland+%1").arg(n);
    const QString code = QString("catalog_code/%1").arg(n);
    setStamps(Site::Delcampe, delcampe, [number](const QUrl &url) { return url.toString().endsWith(number); });
    setStamps(Site::Colnect, colnect, [code](const QUrl &url) { return url.path().endsWith(code); });
    setStamps(Site::Ebay, ebay, [number](const QUrl &url) {
        return url.toString().contains(number + "&") || url.toString().endsWith(number);
    });
}

void TestWeb::setStamps(Site site, const QList<Stamp> &stamps, std::function<bool(const QUrl &)> forRequest)
{
    m_stamps[site].prepend(StampList{stamps, std::move(forRequest)});
}

void TestWeb::clearStamps()
{
    m_stamps.clear();
}

QString TestWeb::pageUrl(Site site, const QString &id)
{
    switch (site) {
    case Ebay: return "http://" + host("ebay") + "/itm/" + id;
    case Delcampe: return "http://" + host("delcampe") + "/en_GB/collectables/stamps/item-" + id + ".html";
    case Bidstart: return "http://" + host("bidstart_shop") + "/auction/" + id;
    case Colnect: return "http://" + host("colnect") + "/en/stamps/stamp/" + id + "-Stamp-Definitives";
    case Poppe: return "http://" + host("poppe") + "/?t=34&stamp_no=" + id;
    }
    return {};
}

QString TestWeb::pictureUrl(Site site, const QString &id)
{
    switch (site) {
    case Ebay: return "http://" + ebayPictureHost() + "/d/l225/m/" + id + ".jpg";
    case Delcampe: return "http://" + delcampePictureHost() + "/img_large/auction/000/" + id + ".jpg";
    case Bidstart:
        return "http://" + host("bidstart") + "/makethumbdetails.php?pic=http://" + host("stampwants_pictures")
               + "/" + id + ".jpg&w=999&mx=Y";
    case Colnect: return "http://" + host("colnect_pictures") + "/images/f/" + id + ".jpg";
    case Poppe: return "http://" + host("poppe") + "/upload/Thumbs/" + id + ".jpg";
    }
    return {};
}

QByteArray TestWeb::resultPage(Site site, const QList<Stamp> &stamps)
{
    // A decoy in a script and a comment: an offer of the site's own shape that is no element.
    const QString decoy = QStringLiteral("decoy");
    QByteArray page = pageStart(QStringLiteral("Stamps for sale"), siteHost(site), pageUrl(site, decoy),
                                site == Colnect ? "http://" + host("colnect_pictures") + "/images/t/decoy.jpg"
                                                : pictureUrl(site, decoy));
    QByteArray offers;
    for (const Stamp &stamp : stamps) {
        switch (site) {
        case Ebay: offers += ebayOffer(stamp.id); break;
        case Delcampe: offers += delcampeOffer(stamp.id); break;
        case Bidstart: offers += bidstartOffer(stamp.id); break;
        case Colnect: offers += colnectOffer(stamp.id); break;
        case Poppe: offers += poppeOffer(stamp.id); break;
        }
    }
    switch (site) {
    case Ebay:
        page += "<div id=\"mainContent\"><h1 class=\"srp-controls__count-heading\">" + QByteArray::number(stamps.size())
                + " results</h1>\n<ul class=\"srp-results srp-list clearfix\">\n" + offers
                + "<li class=\"s-item s-item--ad\"><a href=\"http://ads.example.test/click?id=9\"><img src=\"http://ads.example.test/d/l225/m/ad.jpg\"></a></li>\n</ul></div>\n";
        break;
    case Delcampe:
        page += "<div id=\"content\"><div class=\"filters\"><a class=\"a0407\" href=\"items?sort=price\">Sort by price</a></div>\n"
                + offers + "</div>\n";
        break;
    case Bidstart:
        // Links to the shop's own pages on the shop host would stay in the parser's page slot and
        // pair with the same link on the next page, so the shop is linked through the main host.
        page += "<div id=\"results\"><table class=\"outer\"><tr><td class=\"side\"><a href=\"http://"
                + host("bidstart").toUtf8() + "/store/stampwants\">Visit the StampWants shop</a></td>"
                + "<td><table class=\"listings\" cellpadding=\"4\">\n" + offers + "</table></td></tr></table></div>\n";
        break;
    case Colnect:
        page += "<div id=\"plist_items\" class=\"pl\">\n" + offers + "</div>\n<div class=\"navigation_box\"><a href=\"/en/stamps/list/page/2\">2</a></div>\n";
        break;
    case Poppe:
        page += "<table class=\"results\" border=\"0\"><tr><th>Picture</th><th>Description</th></tr>\n" + offers
                + "</table>\n";
        break;
    }
    return page + pageEnd(siteHost(site));
}

QImage TestWeb::drawStamp(const QString &id, QSize size)
{
    const size_t seed = qHash(id);
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor ink = QColor::fromHsv(int(seed % 360), 160 + int(seed % 80), 120 + int((seed >> 8) % 100));
    const QRect frame = image.rect().adjusted(12, 12, -12, -12);
    painter.fillRect(frame, ink.lighter(170));
    painter.setPen(QPen(ink, 3));
    painter.drawRect(frame.adjusted(6, 6, -6, -6));
    // A few shapes placed by the id, so that different ids give clearly different pictures.
    for (int i = 0; i < 5; ++i) {
        const size_t part = seed >> (i * 5);
        const int x = frame.left() + 15 + int(part % size_t(qMax(1, frame.width() - 60)));
        const int y = frame.top() + 15 + int((part / 7) % size_t(qMax(1, frame.height() - 60)));
        painter.setBrush(QColor::fromHsv(int((seed + size_t(i) * 67) % 360), 200, 180));
        if (i % 2)
            painter.drawEllipse(QRect(x, y, 40, 30));
        else
            painter.drawRect(QRect(x, y, 35, 45));
    }
    painter.setPen(Qt::black);
    painter.drawText(frame.adjusted(10, 10, -10, -10), Qt::AlignBottom | Qt::AlignHCenter, id);
    // Perforation along the edge.
    painter.setBrush(Qt::white);
    painter.setPen(Qt::NoPen);
    for (int x = 0; x < size.width(); x += 12) {
        painter.drawEllipse(QPoint(x, 0), 4, 4);
        painter.drawEllipse(QPoint(x, size.height()), 4, 4);
    }
    for (int y = 0; y < size.height(); y += 12) {
        painter.drawEllipse(QPoint(0, y), 4, 4);
        painter.drawEllipse(QPoint(size.width(), y), 4, 4);
    }
    return image;
}

void TestWeb::setPage(const QString &url, const QByteArray &body, const QByteArray &contentType)
{
    m_pages.insert(QUrl(url).toString(QUrl::FullyEncoded), RawPage{body, contentType});
}

void TestWeb::addHandler(const QString &hostName, Handler handler)
{
    m_handlers.insert(hostName.toLower(), std::move(handler));
}

void TestWeb::removeHandlers(const QString &hostName)
{
    m_handlers.remove(hostName.toLower());
}

void TestWeb::setBehaviour(const QString &hostName, Behaviour behaviour, qint64 prefixBytes)
{
    m_behaviours.insert(hostName.toLower(), Misbehaviour{behaviour, prefixBytes});
}

int TestWeb::requestCount(const QString &hostName) const
{
    if (hostName.isEmpty())
        return int(m_requests.size());
    int count = 0;
    for (const SeenRequest &seen : m_requests)
        count += seen.url.host().compare(hostName, Qt::CaseInsensitive) == 0;
    return count;
}

void TestWeb::handle(HttpServer::Request &request)
{
    m_requests.append({request.method, request.target, request.url, request.header("User-Agent")});
    if (request.method == "CONNECT") {
        HttpServer::respond(request.socket, 405, "the test web proxies plain HTTP only\n", "text/plain");
        return;
    }
    const QString hostName = request.url.host().toLower();
    const auto handlers = m_handlers.values(hostName);
    for (const Handler &handler : handlers) {
        if (handler(request))
            return;
    }
    const auto page = m_pages.constFind(request.url.toString(QUrl::FullyEncoded));
    if (page != m_pages.constEnd()) {
        sendPage(request, 200, page->body, page->contentType);
        return;
    }
    if (servePicture(request) || serveSitePage(request))
        return;
    HttpServer::respond(request.socket, 404, "<html><body><h1>Not found</h1></body></html>\n");
}

bool TestWeb::servePicture(HttpServer::Request &request)
{
    const QString hostName = request.url.host().toLower();
    const QString path = request.url.path();
    QString id;
    if (hostName == ebayPictureHost() || hostName == delcampePictureHost()
        || hostName == host("stampwants_thumbs") || hostName == host("stampwants_pictures")
        || hostName == host("colnect_pictures")
        || (hostName == host("poppe") && path.startsWith(QLatin1String("/upload/")))) {
        id = imageIdFromPath(path);
    } else if (hostName == host("bidstart") && path == QLatin1String("/makethumbdetails.php")) {
        id = imageIdFromPath(QUrl(QUrlQuery(request.url).queryItemValue(QStringLiteral("pic"))).path());
    } else {
        return false;
    }
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    pictureOf(id).save(&buffer, "JPEG", 90);
    HttpServer::respond(request.socket, 200, jpeg, "image/jpeg");
    return true;
}

QImage TestWeb::pictureOf(const QString &id) const
{
    for (const QList<StampList> &lists : m_stamps) {
        for (const StampList &list : lists) {
            for (const Stamp &stamp : list.stamps) {
                if (stamp.id == id && !stamp.picture.isNull())
                    return stamp.picture;
            }
        }
    }
    if (m_pictureSource) {
        const QImage made = m_pictureSource(id);
        if (!made.isNull())
            return made;
    }
    return drawStamp(id);
}

QList<TestWeb::Stamp> TestWeb::stampsFor(Site site, const QUrl &url) const
{
    for (const StampList &list : m_stamps.value(site)) {
        if (!list.forRequest || list.forRequest(url))
            return list.stamps;
    }
    return {};
}

bool TestWeb::serveSitePage(HttpServer::Request &request)
{
    const QString hostName = request.url.host().toLower();
    const QString path = request.url.path();
    const QUrlQuery query(request.url);
    const auto offerPage = [&](Site site, const QString &id) {
        // The offer itself, then the site's other stamps as "similar items".
        QList<Stamp> stamps{Stamp{id}};
        for (const StampList &list : m_stamps.value(site)) {
            if (!list.forRequest) {
                for (const Stamp &stamp : list.stamps) {
                    if (stamp.id != id)
                        stamps << stamp;
                }
                break;
            }
        }
        sendPage(request, 200, resultPage(site, stamps));
    };
    const auto searchPage = [&](Site site) { sendPage(request, 200, resultPage(site, stampsFor(site, request.url))); };

    if (hostName == host("ebay")) {
        if (path.startsWith(QLatin1String("/sch/")))
            return searchPage(Ebay), true;
        if (path.startsWith(QLatin1String("/itm/")))
            return offerPage(Ebay, path.mid(5)), true;
    } else if (hostName == host("delcampe")) {
        if (path == QLatin1String("/items"))
            return searchPage(Delcampe), true;
        const QString prefix = QStringLiteral("/en_GB/collectables/stamps/item-");
        if (path.startsWith(prefix) && path.endsWith(QLatin1String(".html")))
            return offerPage(Delcampe, path.mid(prefix.size()).chopped(5)), true;
    } else if (hostName == host("bidstart")) {
        if (path == QLatin1String("/search_results.php"))
            return searchPage(Bidstart), true;
    } else if (hostName == host("bidstart_shop")) {
        if (path.startsWith(QLatin1String("/auction/")))
            return offerPage(Bidstart, path.mid(9)), true;
    } else if (hostName == host("colnect")) {
        if (path.startsWith(QLatin1String("/en/stamps/list/")))
            return searchPage(Colnect), true;
        const QString prefix = QStringLiteral("/en/stamps/stamp/");
        if (path.startsWith(prefix)) {
            const QString id = path.mid(prefix.size()).section(QLatin1Char('-'), 0, 0);
            return offerPage(Colnect, id), true;
        }
    } else if (hostName == host("poppe")) {
        if (path == QLatin1String("/") && query.queryItemValue("t") == QLatin1String("32"))
            return searchPage(Poppe), true;
        if (path == QLatin1String("/") && query.queryItemValue("t") == QLatin1String("34"))
            return offerPage(Poppe, query.queryItemValue("stamp_no")), true;
    }
    return false;
}

void TestWeb::sendPage(HttpServer::Request &request, int status, const QByteArray &body,
                       const QByteArray &contentType)
{
    const Misbehaviour misbehaviour = m_behaviours.value(request.url.host().toLower());
    if (misbehaviour.behaviour == Behaviour::Normal) {
        HttpServer::respond(request.socket, status, body, contentType);
        return;
    }
    QTcpSocket *socket = request.socket;
    socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + HttpServer::reasonPhrase(status)
                  + "\r\nContent-Type: " + contentType + "\r\nContent-Length: " + QByteArray::number(body.size())
                  + "\r\nConnection: close\r\n\r\n");
    const qint64 prefix = qBound<qint64>(0, misbehaviour.prefixBytes, body.size());
    socket->write(body.left(prefix));
    if (misbehaviour.behaviour == Behaviour::Drip) {
        auto *timer = new QTimer(socket);
        auto sent = std::make_shared<qint64>(prefix);
        connect(timer, &QTimer::timeout, socket, [socket, timer, body, sent] {
            if (*sent >= body.size()) {
                timer->stop();
                socket->disconnectFromHost();
                return;
            }
            socket->write(body.mid(*sent, 1));
            ++*sent;
        });
        timer->start(1000);
    }
    // Stall: the connection stays open with nothing more to come, until the client gives up.
}
