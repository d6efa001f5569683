#pragma once

#include <QString>
#include <QStringList>

#include <future>

// CCommandChannel::send() on a thread of its own, as a later start would send: the channel that
// receives lives in the test's thread, whose event loop must turn for it to take the list and answer.
class CommandSender
{
public:
    CommandSender(const QStringList &arguments, const QString &path);
    // Turns the event loop until the send has ended; its result.
    bool wait();

    // Sends and waits.
    static bool send(const QStringList &arguments, const QString &path);

private:
    std::future<bool> m_sent;
};
