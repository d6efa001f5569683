#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// quillet-server as a real process on a free loopback port, stopped with the fixture.
class ServerProcess
{
public:
    ~ServerProcess();
    // Starts it on the catalogue folder; false (with the reason in error()) when it does not come up.
    bool start(const QString &catalogueFolder, const QStringList &moreArguments = {});
    // "127.0.0.1:port", as the recognition host setting takes it.
    QString hostAndPort() const { return m_hostAndPort; }
    QString error() const { return m_error; }
    void stop();

private:
    QProcess m_process;
    QString m_hostAndPort;
    QString m_error;
};
