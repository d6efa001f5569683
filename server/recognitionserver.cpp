#include "recognitionserver.h"

#include "multipartform.h"
#include "search/pc1cipher.h"

#include <QBuffer>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QUrlQuery>

#include <algorithm>

namespace {

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// Four characters the client drops from every answer.
QByteArray filler()
{
    static const char letters[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    QByteArray text(4, 'A');
    for (char &ch : text)
        ch = letters[QRandomGenerator::global()->bounded(int(sizeof(letters) - 1))];
    return text;
}

QString newUploadId()
{
    return QStringLiteral("%1%2")
        .arg(QDateTime::currentMSecsSinceEpoch(), 0, 16)
        .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
}

struct DecodedUpload
{
    QImage image;
    QByteArray jpeg; // what is stored: the upload itself when it is a JPEG, else re-encoded
    QString problem;
};

DecodedUpload decodeUpload(const QByteArray &data)
{
    DecodedUpload result;
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (!reader.canRead() || !size.isValid()) {
        result.problem = QStringLiteral("not a picture");
        return result;
    }
    if (size.width() > CRecognitionServer::maxPictureSide
        || size.height() > CRecognitionServer::maxPictureSide
        || qint64(size.width()) * size.height() > CRecognitionServer::maxPicturePixels) {
        result.problem = QStringLiteral("picture too large");
        return result;
    }
    const QByteArray format = reader.format();
    // The comparison works on a picture of 128 pixels on its shorter side; a huge upload is decoded
    // straight to a bounded size so that queued uploads cannot eat the memory.
    if (std::max(size.width(), size.height()) > CRecognitionServer::maxDecodedSide)
        reader.setScaledSize(size.scaled(CRecognitionServer::maxDecodedSide,
                                         CRecognitionServer::maxDecodedSide, Qt::KeepAspectRatio));
    result.image = reader.read();
    if (result.image.isNull()) {
        result.problem = QStringLiteral("picture does not decode");
        return result;
    }
    if (format == "jpeg" || format == "jpg") {
        result.jpeg = data;
    } else {
        QBuffer out(&result.jpeg);
        out.open(QIODevice::WriteOnly);
        result.image.save(&out, "JPEG", 90);
    }
    return result;
}

} // namespace

CRecognitionServer::CRecognitionServer(CStampCatalogue catalogue, QObject *parent)
    : QObject(parent),
      m_catalogue(std::move(catalogue)),
      m_recognizer(m_catalogue),
      m_http([this](HttpServer::Request &request) { handle(request); })
{
    m_http.setMaxBodySize(defaultMaxBodySize);
    connect(&m_http, &HttpServer::requestRefused, this,
            [this](const QByteArray &method, const QByteArray &target, int status) {
                log(QStringLiteral("-"), method.isEmpty() ? QByteArray("-") : method,
                    target.isEmpty() ? QByteArray("-") : target, status,
                    QStringLiteral("refused by the HTTP layer"), nowMs());
            });
}

CRecognitionServer::~CRecognitionServer()
{
    // Stopping drops the recognitions that have not started; their clients are closed unanswered.
    m_pool.clear();
    m_pool.waitForDone();
}

bool CRecognitionServer::setUploadFolder(const QString &folder)
{
    if (!QDir().mkpath(folder)) {
        m_error = QStringLiteral("cannot create the upload folder %1").arg(folder);
        return false;
    }
    m_temporaryUploads.reset();
    m_uploads = QDir(folder);
    m_storedUploads.clear();
    static const QRegularExpression uploadName(QStringLiteral("^[0-9a-f]{1,64}\\.jpg$"));
    const QFileInfoList files = m_uploads.entryInfoList({QStringLiteral("*.jpg")}, QDir::Files,
                                                        QDir::Time | QDir::Reversed);
    for (const QFileInfo &file : files) {
        if (uploadName.match(file.fileName()).hasMatch())
            m_storedUploads.enqueue(file.completeBaseName());
    }
    keepUploadLimit();
    return true;
}

void CRecognitionServer::setMaxStoredUploads(int count)
{
    m_maxStoredUploads = count;
    keepUploadLimit();
}

void CRecognitionServer::keepUploadLimit()
{
    // The oldest uploads go first.
    while (m_maxStoredUploads > 0 && m_storedUploads.size() > m_maxStoredUploads)
        QFile::remove(m_uploads.filePath(m_storedUploads.dequeue() + QStringLiteral(".jpg")));
}

void CRecognitionServer::setMaxBodySize(qint64 bytes)
{
    m_http.setMaxBodySize(bytes);
}

bool CRecognitionServer::listen(const QHostAddress &address, quint16 port)
{
    if (m_uploads.path() == QLatin1String(".")) {
        m_temporaryUploads = std::make_unique<QTemporaryDir>();
        if (!m_temporaryUploads->isValid()) {
            m_error = QStringLiteral("cannot create a temporary upload folder");
            return false;
        }
        m_uploads = QDir(m_temporaryUploads->path());
    }
    if (!m_http.listen(address, port)) {
        m_error = QStringLiteral("cannot listen on %1 port %2").arg(address.toString()).arg(port);
        return false;
    }
    return true;
}

QString CRecognitionServer::hostAndPort() const
{
    const QHostAddress address = m_http.address();
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
        ? QStringLiteral("[%1]").arg(address.toString())
        : address.toString();
    return QStringLiteral("%1:%2").arg(host).arg(m_http.port());
}

bool CRecognitionServer::isValidKey(const QByteArray &key)
{
    // An empty key is what a client sends when its salt comes out empty (a zero byte that stays
    // zero ends it) and it has no account text: rare, but legitimate.
    if (!CPc1Cipher::isLetterText(key))
        return false;
    CPc1Cipher cipher;
    cipher.setLength(int(key.size()));
    const QByteArray plain = cipher.decryptText(key);
    if (plain.isEmpty())
        return true;
    // The salt's letters lead the plaintext; an account text may follow.
    qsizetype saltLetters = 0;
    while (saltLetters + 2 <= qMin<qsizetype>(8, plain.size())
           && CPc1Cipher::isLetterText(plain.mid(saltLetters, 2)))
        saltLetters += 2;
    if (saltLetters == 0)
        return false;
    cipher.setLength(int(saltLetters));
    return !cipher.decryptText(plain.left(saltLetters)).contains('\0');
}

void CRecognitionServer::log(const QString &peer, const QByteArray &method,
                             const QByteArray &target, int status, const QString &outcome,
                             qint64 started)
{
    // One substitution pass: a "%1" in a client's target must stay as it came.
    emit logLine(QStringLiteral("%1 %2 %3 %4 %5 %6 (%7 ms)")
                     .arg(QDateTime::currentDateTime().toString(Qt::ISODateWithMs), peer,
                          QString::fromLatin1(method), QString::fromLatin1(target),
                          QString::number(status), outcome, QString::number(nowMs() - started)));
}

// A catalogue picture that no longer reads keeps its stored signature but can never pass the
// comparison: the operator must hear of it, once.
void CRecognitionServer::warnUnreadable(const QStringList &paths)
{
    for (const QString &path : paths) {
        if (m_unreadableWarned.contains(path))
            continue;
        m_unreadableWarned.insert(path);
        emit logLine(QStringLiteral("%1 warning: catalogue picture %2 cannot be read; its stamp cannot be answered")
                         .arg(QDateTime::currentDateTime().toString(Qt::ISODateWithMs), path));
    }
}

void CRecognitionServer::refuse(HttpServer::Request &request, int status, const QString &reason,
                                qint64 started)
{
    HttpServer::respond(request.socket, status, reason.toUtf8() + '\n', "text/plain; charset=utf-8");
    log(request.peer.toString(), request.method, request.target, status, reason, started);
}

QByteArray CRecognitionServer::encipheredAnswer(const QByteArray &text)
{
    CPc1Cipher cipher;
    const QByteArray plain = filler() + text;
    cipher.setLength(int(plain.size()));
    return cipher.encryptText(plain);
}

void CRecognitionServer::handle(HttpServer::Request &request)
{
    const qint64 started = nowMs();
    const QString path = request.url.path();
    if (path == QLatin1String("/db3/index.php")) {
        if (request.method != "POST")
            return refuse(request, 405, QStringLiteral("only POST is served here"), started);
        return handlePost(request, started);
    }
    if (path.startsWith(QLatin1String("/db3/process/"))) {
        if (request.method != "GET" && request.method != "HEAD")
            return refuse(request, 405, QStringLiteral("only GET is served here"), started);
        return handleStoredUpload(request, started);
    }
    refuse(request, 404, QStringLiteral("no such address"), started);
}

void CRecognitionServer::handleStoredUpload(HttpServer::Request &request, qint64 started)
{
    static const QRegularExpression pattern(QStringLiteral("^/db3/process/([0-9a-f]{1,64})\\.jpg$"));
    const QRegularExpressionMatch match = pattern.match(request.url.path());
    if (!match.hasMatch())
        return refuse(request, 404, QStringLiteral("no such upload"), started);
    QFile file(m_uploads.filePath(match.captured(1) + QStringLiteral(".jpg")));
    if (!file.open(QIODevice::ReadOnly))
        return refuse(request, 404, QStringLiteral("no such upload"), started);
    const QByteArray data = file.readAll();
    HttpServer::respond(request.socket, 200, request.method == "HEAD" ? QByteArray() : data,
                        "image/jpeg");
    log(request.peer.toString(), request.method, request.target, 200,
        QStringLiteral("%1 bytes").arg(data.size()), started);
}

QString CRecognitionServer::storeUpload(const QByteArray &jpeg)
{
    const QString id = newUploadId();
    QFile file(m_uploads.filePath(id + QStringLiteral(".jpg")));
    if (!file.open(QIODevice::WriteOnly) || file.write(jpeg) != jpeg.size())
        return {};
    file.close();
    m_storedUploads.enqueue(id);
    keepUploadLimit();
    return id;
}

void CRecognitionServer::handlePost(HttpServer::Request &request, qint64 started)
{
    const QUrlQuery query(request.url);
    const bool cacheQuery = query.queryItemValue(QStringLiteral("cache")) == QLatin1String("get");
    if (!cacheQuery && !query.hasQueryItem(QStringLiteral("os")))
        return refuse(request, 400, QStringLiteral("neither cache=get nor os= in the query"), started);

    CMultipartForm form;
    if (!form.parse(request.header("Content-Type"), request.body))
        return refuse(request, 400, QStringLiteral("broken multipart body"), started);
    const CMultipartForm::Part *key = form.part("key");
    if (!key)
        return refuse(request, 403, QStringLiteral("no key field"), started);
    if (!isValidKey(key->data))
        return refuse(request, 403, QStringLiteral("key does not decipher"), started);
    const CMultipartForm::Part *file = form.part("file");
    if (!file)
        return refuse(request, 400, QStringLiteral("no file part"), started);

    const QString peer = request.peer.toString();
    if (cacheQuery) {
        HttpServer::respond(request.socket, 200,
                            encipheredAnswer(QByteArray::number(m_catalogue.size())), "text/plain");
        log(peer, request.method, request.target, 200,
            QStringLiteral("cache: %1 stamps").arg(m_catalogue.size()), started);
        return;
    }

    if (m_recognitionsPending >= maxPendingRecognitions)
        return refuse(request, 503, QStringLiteral("too many recognitions waiting"), started);

    // Decoding and the comparison run in the pool, so that a large picture does not hold up the
    // other clients; the upload is stored here, where its folder is kept.
    QPointer<QTcpSocket> socket = request.socket;
    const QByteArray target = request.target;
    const QByteArray data = file->data;
    ++m_recognitionsPending;
    m_pool.start([this, socket, peer, target, data, started] {
        DecodedUpload upload = decodeUpload(data);
        QList<CStampRecognizer::Match> matches;
        QStringList unreadable;
        if (!upload.image.isNull())
            matches = m_recognizer.recognise(upload.image, &unreadable);
        QMetaObject::invokeMethod(
            this,
            [=, this] {
                warnUnreadable(unreadable);
                finishUpload(socket, peer, target, upload.problem, upload.jpeg, matches, started);
            },
            Qt::QueuedConnection);
    });
}

void CRecognitionServer::finishUpload(QPointer<QTcpSocket> socket, const QString &peer,
                                      const QByteArray &target, const QString &problem,
                                      const QByteArray &jpeg,
                                      const QList<CStampRecognizer::Match> &matches, qint64 started)
{
    --m_recognitionsPending;
    if (!problem.isEmpty()) {
        if (socket)
            HttpServer::respond(socket, 415, problem.toUtf8() + '\n', "text/plain; charset=utf-8");
        log(peer, "POST", target, 415, problem, started);
        return;
    }
    const QString id = storeUpload(jpeg);
    if (id.isEmpty()) {
        if (socket)
            HttpServer::respond(socket, 200, encipheredAnswer("DB_ERROR"), "text/plain");
        log(peer, "POST", target, 200,
            QStringLiteral("DB_ERROR: cannot store the upload in %1").arg(m_uploads.path()), started);
        return;
    }
    QByteArray text;
    if (!matches.isEmpty()) {
        QStringList items;
        for (const CStampRecognizer::Match &match : matches)
            items << m_catalogue.entries().at(match.index).keywordItem();
        text = id.toUtf8() + "[n]" + items.join(QStringLiteral("[,]")).toUtf8();
    }
    if (!socket) {
        log(peer, "POST", target, 0, QStringLiteral("client left before the answer"), started);
        return;
    }
    HttpServer::respond(socket, 200, encipheredAnswer(text), "text/plain");
    QString outcome = QStringLiteral("upload %1: ").arg(id);
    if (matches.isEmpty()) {
        outcome += QStringLiteral("no match");
    } else {
        outcome += QStringLiteral("%1 match(es), best %2 (score %3)")
                       .arg(matches.size())
                       .arg(QFileInfo(m_catalogue.entries().at(matches.first().index).picturePath()).fileName())
                       .arg(matches.first().score);
    }
    log(peer, "POST", target, 200, outcome, started);
}

// Compiled here, not with the rest of the project's meta-objects, so that the server links only
// what it uses (see server/CMakeLists.txt).
#include "moc_recognitionserver.cpp"
