#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QQueue>
#include <QStringList>

class QLocalServer;
class QLocalSocket;

// How a later start hands its argument list to the running copy: a local socket in the user's own
// runtime folder, beside the instance lock. Only the same user can reach it: the folder is the
// user's alone, and the peer's user, which the kernel records when it connects, is checked again.
class CCommandChannel : public QObject
{
    Q_OBJECT
public:
    // Longest argument list taken; a longer one is dropped whole.
    static constexpr qint64 maxPayloadBytes = 1024 * 1024;

    explicit CCommandChannel(QObject *parent = nullptr);
    ~CCommandChannel() override;

    // The socket that goes with an instance lock file.
    static QString socketPath(const QString &lockPath);

    // The running copy listens (the caller holds the instance lock, so a socket file left by a
    // crashed copy can be replaced).
    bool listen(const QString &path);
    // Argument lists received, oldest first.
    bool hasPendingLists() const { return !m_lists.isEmpty(); }
    QStringList takeList() { return m_lists.dequeue(); }

    // Sends the list to the copy listening at path, trying for up to timeoutMs while that copy is
    // still starting, and waits up to timeoutMs more for that copy to say it has taken the list.
    // False when it could not be handed over; error then says why.
    static bool send(const QStringList &arguments, const QString &path, int timeoutMs = 5000,
                     QString *error = nullptr);
    // The list with every path made absolute in the sender's working folder, since the running
    // copy works in another: relative paths of files that exist, and the report file of
    // "/SAVEDATA:" (which does not exist yet).
    static QStringList withAbsolutePaths(QStringList arguments);

signals:
    // One or more lists have arrived.
    void signalReceived();

private:
    void accept();
    void read(QLocalSocket *socket);
    void finish(QLocalSocket *socket);
    void take(QLocalSocket *socket);

    QLocalServer *m_server;
    QHash<QLocalSocket *, QByteArray> m_incoming;
    QQueue<QStringList> m_lists;
};
