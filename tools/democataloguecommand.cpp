// quillet-tool demo-catalogue DIR [COUNT]: a catalogue of generated stamps for quillet-server.
#include "server/democatalogue.h"
#include "toolcommand.h"

#include <QTextStream>

static ToolCommand cmd("demo-catalogue", "demo-catalogue DIR [COUNT]", [](const QStringList &args) -> int {
    QTextStream err(stderr);
    bool ok = true;
    const int count = args.size() > 1 ? args.at(1).toInt(&ok) : 100;
    if (args.isEmpty() || !ok || count < 1 || count > 100000) {
        err << "usage: quillet-tool demo-catalogue DIR [COUNT]   (COUNT 1..100000, default 100)\n";
        return 2;
    }
    QString error;
    if (!CDemoCatalogue::write(args.at(0), count, &error)) {
        err << "quillet-tool demo-catalogue: " << error << "\n";
        return 1;
    }
    QTextStream(stdout) << "wrote " << count << " stamps to " << args.at(0) << "\n";
    return 0;
});
