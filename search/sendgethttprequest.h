#pragma once

#include <QByteArray>
#include <QEventLoop>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkRequest;

// Sends one POST to the recognition server and waits for the answer in a nested event loop, so
// the window stays live. The answer is the reply body (one Latin-1 character per byte) or "error"
// for any failure: transport error, HTTP error status, the time limit, or a cancel.
class CSendGetHTTPRequest : public QObject
{
    Q_OBJECT
public:
    // The longest wait for one exchange.
    static constexpr int requestTimeoutMs = 120000;

    explicit CSendGetHTTPRequest(QObject *parent = nullptr);

    QString sendRequest(const QString &url, const QByteArray &body);

    // The POST request of an exchange: exactly one content type, with the comma the server expects.
    static QNetworkRequest request(const QString &url);

    // Ends a running wait at once; that exchange yields "error". Harmless when nothing waits.
    void cancel();
    bool isWaiting() const { return m_waiting; }

    // Test hook: replaces the 120 s limit for every helper (0 or less restores it).
    static void setTimeoutForTesting(int milliseconds);
    static int timeoutMs();

private:
    QEventLoop m_loop;
    QNetworkAccessManager *m_manager;
    bool m_waiting = false;
    bool m_cancelled = false;
};
