#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

class QTcpSocket;

// One client of an HTTP server under load, for the server's load tests and benchmark. It connects
// from a chosen loopback address (127.0.0.2 is a different peer from 127.0.0.1), behaves well or
// badly on purpose, stops sending as soon as an answer arrives, and reports the answer's status
// (0 when the connection ended without one) and how long it took.
class LoadClient : public QObject
{
    Q_OBJECT
public:
    enum class Kind {
        Good,        // the whole request at once
        DripHeaders, // the request one byte at a time, dripMs apart: it never finishes in time
        DripBody,    // the headers at once, then the body one byte at a time
        StallBody,   // the headers, then all of the body but its last byte, then nothing
        Garbage,     // a header block of random bytes
        HugeHeaders, // header lines that never end
        Oversized,   // announces a body of a terabyte
    };

    // `request` is what a well-behaved client would send (unused by the kinds that make their own).
    LoadClient(Kind kind, const QByteArray &request, QObject *parent = nullptr);

    void setDripInterval(int ms) { m_drip.setInterval(ms); }
    void start(const QHostAddress &source, const QHostAddress &server, quint16 port);

    Kind kind() const { return m_kind; }
    bool isDone() const { return m_done; }
    int status() const { return m_status; }
    QByteArray answer() const { return m_answer; }
    qint64 elapsedMs() const { return m_elapsedMs; }
    // How the connection ended without an answer (the socket's error), for a failing test to say.
    QString endText() const { return m_endText; }

    // An upload of a picture to the recognition server, as the program sends it.
    static QByteArray uploadRequest(const QByteArray &picture);
    // The largest resident size a process (the server under load) has had, in MiB; -1 if unknown.
    static qint64 peakResidentMiB(qint64 pid);

signals:
    void finished(LoadClient *client);

private:
    void sendMore();
    void finish();

    const Kind m_kind;
    QByteArray m_request;
    qsizetype m_sent = 0;
    qsizetype m_sendNow = 0; // bytes to send without waiting; the drip adds one at a time
    QTcpSocket *m_socket = nullptr;
    QTimer m_drip;
    QElapsedTimer m_timer;
    QByteArray m_answer;
    bool m_done = false;
    int m_status = 0;
    qint64 m_elapsedMs = 0;
    QString m_endText;
};
