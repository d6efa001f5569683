#include "sendgethttprequest.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace {
int testTimeoutMs = 0;
}

CSendGetHTTPRequest::CSendGetHTTPRequest(QObject *parent)
    : QObject(parent), m_manager(new QNetworkAccessManager(this))
{
}

void CSendGetHTTPRequest::setTimeoutForTesting(int milliseconds)
{
    testTimeoutMs = milliseconds;
}

int CSendGetHTTPRequest::timeoutMs()
{
    return testTimeoutMs > 0 ? testTimeoutMs : requestTimeoutMs;
}

QNetworkRequest CSendGetHTTPRequest::request(const QString &url)
{
    QNetworkRequest request{QUrl(url)};
    // The raw header replaces the standard one, so exactly one content type goes out.
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
    request.setRawHeader("Content-type", "multipart/form-data, boundary=AyV04a");
    request.setRawHeader("Cache-Control", "no-cache");
    request.setRawHeader("Accept", "*/*");
    return request;
}

void CSendGetHTTPRequest::cancel()
{
    if (!m_waiting)
        return;
    m_cancelled = true;
    m_loop.quit();
}

QString CSendGetHTTPRequest::sendRequest(const QString &url, const QByteArray &body)
{
    // One exchange at a time: a nested second call could not run the same loop.
    if (m_waiting)
        return QStringLiteral("error");

    QNetworkReply *reply = m_manager->post(request(url), body);

    QTimer timer;
    timer.setSingleShot(true);
    // A coarse timer may fire up to 5 percent early; the limit is a promise to the user.
    timer.setTimerType(Qt::PreciseTimer);
    connect(reply, &QNetworkReply::finished, &m_loop, &QEventLoop::quit);
    connect(&timer, &QTimer::timeout, &m_loop, &QEventLoop::quit);
    timer.start(timeoutMs());

    m_cancelled = false;
    m_waiting = true;
    if (!reply->isFinished())
        m_loop.exec(QEventLoop::AllEvents);
    m_waiting = false;

    timer.stop();
    reply->abort();
    const bool failed = m_cancelled || reply->error() != QNetworkReply::NoError;
    m_cancelled = false;
    const QString answer = failed ? QStringLiteral("error") : QString::fromLatin1(reply->readAll());
    // A finished reply holds its body until freed; release it now rather than with the helper.
    reply->deleteLater();
    return answer;
}
