#include "recognitionclient.h"

#include "sites/hostconfig.h"
#include "sendgethttprequest.h"

#include <QDateTime>

CRecognitionClient::CRecognitionClient(QObject *parent)
    : QObject(parent), m_http(new CSendGetHTTPRequest(this))
{
}

void CRecognitionClient::cancel()
{
    m_http->cancel();
}

QByteArray CRecognitionClient::saltText(QRandomGenerator &generator)
{
    const auto next = [&generator] { return quint32(generator.bounded(32768)); };
    const quint32 number = next();
    QByteArray buffer(4, '\0');
    for (int n = 0; n < 4; ++n) {
        uchar byte = uchar(number >> (8 * n));
        if (byte == 0)
            byte = uchar(next() % 255);
        buffer[n] = char(byte);
    }
    const qsizetype end = buffer.indexOf('\0');
    return end < 0 ? buffer : buffer.left(end);
}

QByteArray CRecognitionClient::keyField(const QByteArray &salt)
{
    m_cipher.setLength(int(salt.size()));
    const QByteArray e1 = m_cipher.encryptText(salt);
    const QByteArray k = e1 + m_accountText.toUtf8();
    m_cipher.setLength(int(k.size()));
    return m_cipher.encryptText(k);
}

QByteArray CRecognitionClient::requestBody(const QByteArray &keyField, const QByteArray &filePart)
{
    QByteArray body;
    body.reserve(filePart.size() + keyField.size() + 200);
    body += "--AyV04a\r\n";
    body += "content-disposition: form-data; name=\"key\"\r\n";
    body += "\r\n";
    body += keyField + "\r\n";
    body += "--AyV04a\r\n";
    body += "content-disposition: file; name=\"file\"; filename=\"ezample.jpg\"\r\n";
    body += "Content-Transfer-Encoding: binary\r\n";
    body += "\r\n";
    body += filePart;
    body += "\r\n";
    body += "--AyV04a--";
    return body;
}

QString CRecognitionClient::requestUrl(const QString &host, const QByteArray &filePart)
{
    const QString path = filePart == "cache" ? QStringLiteral("/db3/index.php?cache=get&ver=2")
                                             : QStringLiteral("/db3/index.php?os=win&ver=2");
    // A host written with its scheme ("http://name:port/") is taken as it is.
    QString base = host.trimmed();
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    if (!base.contains(QLatin1String("://")))
        base.prepend(QLatin1String("http://"));
    return base + path;
}

QByteArray CRecognitionClient::newRequestBody(const QByteArray &filePart)
{
    m_random.seed(quint32(QDateTime::currentMSecsSinceEpoch()));
    return requestBody(keyField(saltText(m_random)), filePart);
}

QString CRecognitionClient::hostUrl(const QByteArray &filePart)
{
    return requestUrl(HostConfig::global().value(QStringLiteral("recognition")), filePart);
}

QString CRecognitionClient::queryRecognitionServer(const QByteArray &filePart)
{
    const QByteArray body = newRequestBody(filePart);
    return decipher(m_http->sendRequest(hostUrl(filePart), body));
}

QString CRecognitionClient::decipher(const QString &reply)
{
    if (reply == QLatin1String("error"))
        return reply;
    const QByteArray letters = reply.toLatin1();
    m_cipher.setLength(int(letters.size()));
    // The first four bytes are filler; the rest is the server's UTF-8 text.
    return QString::fromUtf8(m_cipher.decryptText(letters).mid(4));
}
