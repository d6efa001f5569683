#pragma once

#include <QString>
#include <QStringList>

// Where the suites find what the build and the checkout provide.
namespace TestEnv {
// The test data of the repository (tests/data): reference pictures and figures.
QString dataDir();
// The folder holding the built executables.
QString binDir();

// quillet-tool run as a process: its exit status (-1 when it crashed or outran the limit) and
// what it wrote.
struct ToolRun
{
    int status = -1;
    QString out;
    QString err;
};
ToolRun runTool(const QStringList &args, int timeoutMs = 120000);

// Whether the process holds a file lock (the kernel's table of locks names its holder).
bool holdsLock(qint64 pid);
} // namespace TestEnv
