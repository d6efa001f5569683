#include "testenv.h"

#include <QCoreApplication>

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

} // namespace TestEnv
