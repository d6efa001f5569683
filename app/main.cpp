#include "app/commandchannel.h"
#include "app/commandlinehelp.h"
#include "app/instancelock.h"
#include "app/mainwindow.h"
#include "app/platformsetup.h"
#include "app/startupreport.h"

#include <QApplication>
#include <QNetworkProxyFactory>

int main(int argc, char *argv[])
{
    // Help and version print and end before anything starts: no lock taken, nothing sent.
    if (CCommandLineHelp::isRequest(argc, argv))
        return CCommandLineHelp::run(argc, argv);
    CPlatformSetup::prepare(CPlatformSetup::verboseAsked(argc, argv));
    QApplication app(argc, argv);
    QStringList arguments = app.arguments();
    arguments.removeAll(QStringLiteral("--verbose"));

    // One copy per user: a later start hands its arguments to the running copy and ends.
    const QString lockPath = CInstanceLock::defaultPath();
    CInstanceLock lock(lockPath);
    if (lock.heldElsewhere()) {
        CCommandChannel::send(arguments, CCommandChannel::socketPath(lockPath));
        return 0;
    }

    // The desktop's proxy settings (http_proxy, no_proxy) count, as in every other program.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    MainWindow window(arguments);
    window.listenForCommands(CCommandChannel::socketPath(lockPath));
    window.setMinimumSize(1000, 655);
    window.show();
    CStartupReport::scheduleIfAsked(window);
    return app.exec();
}
