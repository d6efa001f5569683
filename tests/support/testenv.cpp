#include "testenv.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>

namespace TestEnv {

QString dataDir()
{
    return qEnvironmentVariable("QUILLET_TEST_DATA_DIR");
}

QString binDir()
{
    const QString fromEnvironment = qEnvironmentVariable("QUILLET_BIN_DIR");
    return fromEnvironment.isEmpty() ? QCoreApplication::applicationDirPath() : fromEnvironment;
}

ToolRun runTool(const QStringList &args, int timeoutMs)
{
    QProcess process;
    process.start(binDir() + "/quillet-tool", args);
    ToolRun run;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

bool holdsLock(qint64 pid)
{
    QFile locks("/proc/locks");
    if (!locks.open(QIODevice::ReadOnly))
        return false;
    const QByteArray pidText = ' ' + QByteArray::number(pid) + ' ';
    for (const QByteArray &line : locks.readAll().split('\n')) {
        if (line.contains("FLOCK") && line.contains(pidText))
            return true;
    }
    return false;
}

} // namespace TestEnv
