// quillet-tool demo-web FOLDER COUNT RECOGNITION_HOST [STAMP]: stand-ins for the stamp sites on
// 127.0.0.1 for a demo without the internet (see CDemoWeb), for catalogue stamps 1 to COUNT. Writes
// FOLDER/hosts.cfg (every site and the search engine pointed at the stand-ins, the recognition host
// as given) and FOLDER/photo.png (a photograph of catalogue stamp STAMP, 7 by default), prints
// "listening on 127.0.0.1:PORT" (the port to use as http_proxy) and serves until it is stopped.
#include "toolcommand.h"

#include "standins/demoweb.h"
#include "standins/testweb.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>

namespace {

int run(const QStringList &args)
{
    bool ok = false;
    const int count = args.value(1).toInt(&ok);
    if (args.size() < 3 || !ok || count < 1) {
        QTextStream(stderr) << "usage: quillet-tool demo-web FOLDER COUNT RECOGNITION_HOST [STAMP]\n";
        return 2;
    }
    const QDir folder(args.at(0));
    TestWeb web;
    if (!web.start()) {
        QTextStream(stderr) << "quillet-tool demo-web: cannot listen on 127.0.0.1\n";
        return 1;
    }
    CDemoWeb::offerStamps(web, count);
    QFile hosts(folder.filePath(QStringLiteral("hosts.cfg")));
    if (!QDir().mkpath(folder.path()) || !hosts.open(QIODevice::WriteOnly)
        || hosts.write(CDemoWeb::hostsText(web, args.at(2)).toUtf8()) < 0) {
        QTextStream(stderr) << "quillet-tool demo-web: cannot write " << hosts.fileName() << "\n";
        return 1;
    }
    hosts.close();
    CDemoWeb::photograph(args.size() > 3 ? args.at(3).toInt() : 7).save(folder.filePath(QStringLiteral("photo.png")));

    QTextStream(stdout) << "listening on " << web.hostAndPort() << Qt::endl;
    return QCoreApplication::exec();
}

ToolCommand command("demo-web", "demo-web FOLDER COUNT RECOGNITION_HOST [STAMP]   stand-in stamp sites for a demo", run);

} // namespace
