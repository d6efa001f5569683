#include "testenv.h"

#include <QCoreApplication>

namespace TestEnv {

QString sharedDir()
{
    return qEnvironmentVariable("QUILLET_SHARED_DIR");
}

QString binDir()
{
    const QString fromEnvironment = qEnvironmentVariable("QUILLET_BIN_DIR");
    return fromEnvironment.isEmpty() ? QCoreApplication::applicationDirPath() : fromEnvironment;
}

} // namespace TestEnv
