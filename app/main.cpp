#include "app/argumentdatagram.h"
#include "app/instancelock.h"
#include "app/mainwindow.h"

#include <QApplication>

#include <unistd.h>

int main(int argc, char *argv[])
{
    // Run anywhere: without a display on the offscreen platform, and as root with the web engine's
    // sandbox off (it refuses to start otherwise).
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);

    QApplication app(argc, argv);
    const QStringList arguments = app.arguments();

    // Hand the arguments to a running copy; it takes them whether or not we go on.
    CArgumentDatagram::forward(arguments);
    CInstanceLock lock;
    if (lock.heldElsewhere())
        return 0;

    MainWindow window(arguments);
    window.setMinimumSize(1000, 655);
    window.show();
    return app.exec();
}
