#pragma once

#include "pc1cipher.h"

#include <QByteArray>
#include <QObject>
#include <QRandomGenerator>
#include <QString>

class CSendGetHTTPRequest;

// The client side of the recognition exchange: builds the multipart request with its enciphered
// "key" field, posts it to the recognition host (HostConfig "recognition") and deciphers the
// answer. The main window owns one and feeds it the account text from the configuration.
class CRecognitionClient : public QObject
{
    Q_OBJECT
public:
    explicit CRecognitionClient(QObject *parent = nullptr);

    // The file part "cache" asks for the number of indexed stamps; anything else is an upload.
    // Result: "error", or the deciphered answer without its first four characters.
    QString queryRecognitionServer(const QByteArray &filePart);

    // The parts of an exchange, for callers that post several at a time: the request body with a
    // fresh salt, the address on the configured recognition host, and the deciphered answer
    // ("error" stays "error").
    QByteArray newRequestBody(const QByteArray &filePart);
    static QString hostUrl(const QByteArray &filePart);
    QString decipher(const QString &reply);

    // Ends a running exchange at once; it then yields "error".
    void cancel();

    // Appended to the enciphered salt in the "key" field; empty by default.
    QString accountText() const { return m_accountText; }
    void setAccountText(const QString &text) { m_accountText = text; }

    CSendGetHTTPRequest *httpRequest() const { return m_http; }

    // The salt text: one 15-bit random number laid out in four little-endian bytes; each zero byte
    // is replaced once by another number modulo 255; a byte still zero ends the text.
    static QByteArray saltText(QRandomGenerator &generator);
    // The "key" field's value for a salt.
    QByteArray keyField(const QByteArray &salt);
    // The whole multipart body around a key field value and a file part.
    static QByteArray requestBody(const QByteArray &keyField, const QByteArray &filePart);
    // The address of a request on the host ("name" or "name:port"; plain HTTP unless the host
    // names its scheme).
    static QString requestUrl(const QString &host, const QByteArray &filePart);

private:
    CPc1Cipher m_cipher;
    CSendGetHTTPRequest *m_http;
    QRandomGenerator m_random;
    QString m_accountText;
};
