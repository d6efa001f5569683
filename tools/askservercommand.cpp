// quillet-tool ask-server cache|PICTURE [HOST:PORT]: one exchange with a recognition server, as the
// program makes it, and what the program would make of the answer.
#include "sites/hostconfig.h"
#include "search/recognitionanswer.h"
#include "search/recognitionclient.h"
#include "toolcommand.h"

#include <QFile>
#include <QTextStream>

static ToolCommand cmd("ask-server", "ask-server cache|PICTURE [HOST:PORT]", [](const QStringList &args) -> int {
    QTextStream out(stdout);
    QTextStream err(stderr);
    if (args.isEmpty()) {
        err << "usage: quillet-tool ask-server cache|PICTURE [HOST:PORT]\n";
        return 2;
    }
    QByteArray filePart = "cache";
    if (args.at(0) != QLatin1String("cache")) {
        QFile file(args.at(0));
        if (!file.open(QIODevice::ReadOnly)) {
            err << "cannot read " << args.at(0) << ": " << file.errorString() << "\n";
            return 1;
        }
        filePart = file.readAll();
    }
    if (args.size() > 1)
        HostConfig::global().setValue(QStringLiteral("recognition"), args.at(1));
    CRecognitionClient client;
    const QString answer = client.queryRecognitionServer(filePart);
    out << "answer: " << answer << "\n";
    qint64 count = 0;
    if (filePart == "cache" && CRecognitionAnswer::readIndexedCount(answer, &count)) {
        out << "indexed stamps: " << count << "\n";
        return 0;
    }
    const CRecognitionAnswer parsed = CRecognitionAnswer::parse(answer);
    if (!parsed.isGood()) {
        out << "message: " << parsed.message() << "\n";
        return 1;
    }
    out << "recognitionText: " << parsed.recognitionText() << "\n";
    for (const QString &keyword : parsed.keywordList())
        out << "keyword: " << keyword << "\n";
    return 0;
});
