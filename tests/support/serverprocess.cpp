#include "serverprocess.h"

#include "testenv.h"

#include <csignal>
#include <sys/prctl.h>

ServerProcess::~ServerProcess()
{
    stop();
}

bool ServerProcess::start(const QString &catalogueFolder, const QStringList &moreArguments)
{
    m_process.setProgram(TestEnv::binDir() + QStringLiteral("/quillet-server"));
    m_process.setArguments(QStringList{"--catalogue", catalogueFolder, "--port", "0"} + moreArguments);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A test that dies must not leave its server behind (holding ctest's output open).
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_process.start();
    if (!m_process.waitForStarted()) {
        m_error = m_process.errorString();
        return false;
    }
    QByteArray out;
    while (!out.contains('\n') && m_process.waitForReadyRead(60000))
        out += m_process.readAllStandardOutput();
    if (!out.startsWith("listening on ")) {
        m_error = QString::fromUtf8(out);
        return false;
    }
    m_hostAndPort = QString::fromLatin1(out.mid(13, out.indexOf('\n') - 13).trimmed());
    // Its log is not needed; read it away so a full pipe never blocks the server.
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process,
                     [this] { m_process.readAllStandardOutput(); });
    return true;
}

void ServerProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000))
        m_process.kill();
    m_process.waitForFinished(5000);
}
