#include "platformsetup.h"

#include <QGuiApplication>

#include <unistd.h>

void CPlatformSetup::prepare()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    // Without a display there is no GPU to use either.
    if (qEnvironmentVariableIsEmpty("QTWEBENGINE_CHROMIUM_FLAGS") && qgetenv("QT_QPA_PLATFORM") == "offscreen")
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    // The desktop entry's name, by which a desktop gives the window the entry's icon and name.
    QGuiApplication::setDesktopFileName(QStringLiteral("example.quillet.Quillet"));
}
