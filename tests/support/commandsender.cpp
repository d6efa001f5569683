#include "commandsender.h"

#include "app/commandchannel.h"

#include <QCoreApplication>

#include <chrono>

CommandSender::CommandSender(const QStringList &arguments, const QString &path)
    : m_sent(std::async(std::launch::async, [arguments, path] { return CCommandChannel::send(arguments, path); }))
{
}

bool CommandSender::wait()
{
    while (m_sent.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return m_sent.get();
}

bool CommandSender::send(const QStringList &arguments, const QString &path)
{
    return CommandSender(arguments, path).wait();
}
