#include "app/argumentdatagram.h"
#include "app/commandlinehelp.h"
#include "app/instancelock.h"
#include "app/mainwindow.h"
#include "app/platformsetup.h"
#include "app/startupreport.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // Help and version print and end before anything starts: no lock taken, nothing sent.
    if (CCommandLineHelp::isRequest(argc, argv))
        return CCommandLineHelp::run(argc, argv);
    CPlatformSetup::prepare();
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
    CStartupReport::scheduleIfAsked(window);
    return app.exec();
}
