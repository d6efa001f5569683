#pragma once

#include "httpserver.h"
#include "stampcatalogue.h"
#include "stamprecognizer.h"

#include <QDir>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <QThreadPool>
#include <QQueue>
#include <QSet>
#include <QTemporaryDir>
#include <memory>

// The recognition server: answers the cache query with the catalogue's size, recognises uploaded
// pictures against the catalogue, and serves every stored upload back by its identifier.
//   POST /db3/index.php?cache=get&ver=2   enciphered: four filler characters + the stamp count
//   POST /db3/index.php?os=...&ver=2      enciphered: four filler characters + identifier "[n]"
//                                         keyword items joined by "[,]" (nothing after the filler
//                                         when no stamp matches; "DB_ERROR" on its own faults)
//   GET  /db3/process/<id>.jpg            the stored upload
// Bad requests get an HTTP error status and a log line, and change nothing.
class CRecognitionServer : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 defaultMaxBodySize = 16 * 1024 * 1024;
    static constexpr int defaultMaxStoredUploads = 1000;
    static constexpr int maxPictureSide = 10000;
    static constexpr qint64 maxPicturePixels = 25'000'000;
    static constexpr int maxDecodedSide = 2048;
    // Uploads decoded and waiting for the comparison; more get 503 until some are answered.
    static constexpr int maxPendingRecognitions = 32;

    explicit CRecognitionServer(CStampCatalogue catalogue, QObject *parent = nullptr);
    ~CRecognitionServer() override;

    // Where uploads are kept; by default a temporary folder removed with the server. Uploads
    // already in the folder count towards its limit, oldest first.
    bool setUploadFolder(const QString &folder);
    void setMaxBodySize(qint64 bytes);
    // The HTTP layer's defences against clients that hog it.
    void setLimits(const HttpServer::Limits &limits) { m_http.setLimits(limits); }
    void setMaxStoredUploads(int count);
    void setShortlistSize(int size) { m_recognizer.setShortlistSize(size); }

    bool listen(const QHostAddress &address, quint16 port);
    QString errorString() const { return m_error; }
    quint16 port() const { return m_http.port(); }
    // "address:port", an IPv6 address in brackets, as a client writes it in the host setting.
    QString hostAndPort() const;

    const CStampCatalogue &catalogue() const { return m_catalogue; }

    // The "key" field is well formed: a letter text whose plaintext is empty or starts with the
    // enciphered salt (2 to 8 letters deciphering to non-zero bytes), an account text may follow.
    static bool isValidKey(const QByteArray &key);

signals:
    // One line per request: peer, method, target, status and outcome.
    void logLine(const QString &line);

private:
    void handle(HttpServer::Request &request);
    void handlePost(HttpServer::Request &request, qint64 started);
    void handleStoredUpload(HttpServer::Request &request, qint64 started);
    void finishUpload(QPointer<QTcpSocket> socket, const QString &peer, const QByteArray &target,
                      const QString &problem, const QByteArray &jpeg,
                      const QList<CStampRecognizer::Match> &matches, qint64 started);
    void warnUnreadable(const QStringList &paths);
    void refuse(HttpServer::Request &request, int status, const QString &reason, qint64 started);
    void log(const QString &peer, const QByteArray &method, const QByteArray &target, int status,
             const QString &outcome, qint64 started);
    QByteArray encipheredAnswer(const QByteArray &text);
    QString storeUpload(const QByteArray &jpeg);
    void keepUploadLimit();

    CStampCatalogue m_catalogue;
    CStampRecognizer m_recognizer;
    HttpServer m_http;
    std::unique_ptr<QTemporaryDir> m_temporaryUploads;
    QDir m_uploads;
    QQueue<QString> m_storedUploads;
    int m_maxStoredUploads = defaultMaxStoredUploads;
    int m_recognitionsPending = 0;
    QString m_error;
    QSet<QString> m_unreadableWarned; // catalogue pictures said to be unreadable, once each
    // Recognitions run here, so the server keeps answering while one is computed.
    QThreadPool m_pool;
};
