#include "app/commandchannel.h"
#include "app/commandlinehelp.h"
#include "app/instancelock.h"
#include "app/mainwindow.h"
#include "app/quitsignal.h"
#include "app/platformsetup.h"
#include "app/startupreport.h"

#include <QApplication>
#include <QNetworkProxyFactory>

#include <cstdio>

int main(int argc, char *argv[])
{
    // Help and version print and end before anything starts: no lock taken, nothing sent.
    if (CCommandLineHelp::isRequest(argc, argv))
        return CCommandLineHelp::run(argc, argv);
    CPlatformSetup::prepare(CPlatformSetup::verboseAsked(argc, argv));
    // The lock before the toolkit starts, which takes a while: of two starts a moment apart, the
    // first becomes the running copy, so its own list runs first.
    const QString lockPath = CInstanceLock::defaultPath();
    CInstanceLock lock(lockPath);
    QApplication app(argc, argv);
    // Paths as the user meant them: a later start's list runs in the running copy's folder.
    QStringList arguments = CCommandChannel::withAbsolutePaths(app.arguments());
    arguments.removeAll(QStringLiteral("--verbose"));

    // One copy per user: a later start hands its arguments to the running copy and ends.
    if (lock.heldElsewhere()) {
        // A script may count on its list being run: say so when it was not handed over.
        QString error;
        if (!CCommandChannel::send(arguments, CCommandChannel::socketPath(lockPath), 5000, &error)) {
            std::fprintf(stderr, "quillet: a copy is running but did not take this command list (%s)\n",
                         qPrintable(error));
            return 1;
        }
        return 0;
    }

    // The desktop's proxy settings (http_proxy, no_proxy) count, as in every other program.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    MainWindow window(arguments);
    CQuitSignal quitSignal(&window);
    window.listenForCommands(CCommandChannel::socketPath(lockPath));
    window.setMinimumSize(1000, 655);
    window.show();
    CStartupReport::scheduleIfAsked(window);
    return app.exec();
}
