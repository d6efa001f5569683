#pragma once

#include "recognitionanswer.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QVector>

class CRecognitionClient;
class QNetworkAccessManager;
class QNetworkReply;

// Asks the recognition server about every stamp of a page, a few exchanges at a time, without
// blocking: each cut-out gets its own answer, and one that fails (no server, a time-out, an answer
// that does not read) is reported as such while the others go on. It knows no widget.
class CIdentifyAll : public QObject
{
    Q_OBJECT
public:
    // Exchanges at once: enough to keep the server's pool busy, few enough not to be turned away
    // by its limit per client.
    static constexpr int parallel = 3;

    enum State { Waiting, Asking, Answered, NotRecognised, Failed, Stopped };

    explicit CIdentifyAll(QObject *parent = nullptr);
    ~CIdentifyAll() override;

    // Starts asking about the cut-outs (JPEG bytes), in order; a run still going is stopped first.
    void start(const QList<QByteArray> &uploads);
    // Ends the running exchanges at once; the stamps not answered yet are marked stopped.
    void stop();
    bool isRunning() const { return m_running; }

    CRecognitionClient *recognitionClient() const { return m_client; }
    int count() const { return int(m_states.size()); }
    State state(int index) const { return m_states.at(index); }
    // The server's answer of an answered stamp; for a failed one, the message that says why.
    const CRecognitionAnswer &answer(int index) const { return m_answers.at(index); }
    int doneCount() const;

    // The first stamp of an answer, in the catalogue's words: country, number and the descriptions
    // that are set, each field with its blanks back.
    static QStringList firstStamp(const CRecognitionAnswer &answer);
    // A stamp's outcome in English, as the list's page says it: the first stamp of its answer,
    // "not recognised", the reason it failed, or "stopped".
    QString outcomeText(int index) const;

    // The list as an HTML page in the search report's form: each cut-out (saved as N.jpg in the
    // folder named after the page) beside its outcome, every text escaped. False when it could not
    // be written.
    QByteArray pageText(const QString &baseName) const;
    bool writePage(const QString &path) const;

signals:
    // A stamp's state changed (asking, answered, failed, stopped).
    void signalStampChanged(int index);
    // Every stamp has its answer, or the run was stopped.
    void signalFinished();

private:
    void askNext();
    void finishExchange(QNetworkReply *reply, int index);

    CRecognitionClient *m_client;
    QNetworkAccessManager *m_manager;
    QList<QByteArray> m_uploads;
    QVector<State> m_states;
    QVector<CRecognitionAnswer> m_answers;
    QList<QNetworkReply *> m_replies;
    int m_next = 0;
    bool m_running = false;
};
