// quillet-tool site NAME OPERATION ARGUMENT... [LIMIT]: runs one site parser operation with the
// host configuration and prints its hit list, one pair per line, page and picture separated by a
// tab. When a site changes its pages, this shows what the parser still finds.

#include "toolcommand.h"

#include "sites/hostconfig.h"
#include "sites/bidstartcom.h"
#include "sites/delcampe.h"
#include "sites/ebaycom.h"
#include "sites/googleimg.h"
#include "sites/stampparsercolnectcom.h"
#include "sites/stampparserpoppestamps.h"

#include <QDir>
#include <QStandardPaths>
#include <QTextStream>

#include <functional>
#include <vector>

namespace {

// One operation of one site: how many arguments come before the optional limit, and the call.
struct SiteOperation
{
    const char *site;
    const char *operation;
    const char *arguments;
    int argumentCount;
    // Returns the hit list; lines to print after it go to *after.
    std::function<QStringList(const QStringList &arguments, int limit, QStringList *after)> run;
};

template <typename Parser>
SiteOperation auctionOperation(const char *site, const char *operation,
                               QStringList (Parser::*call)(const QString &, int))
{
    const bool byUrl = QByteArray(operation) == "loadPage";
    return {site, operation, byUrl ? "URL" : "KEYWORD", 1,
            [call](const QStringList &arguments, int limit, QStringList *) {
                Parser parser;
                return (parser.*call)(arguments.at(0), limit);
            }};
}

// Add a site here (for example the reverse image search) and the command knows it.
const std::vector<SiteOperation> &siteOperations()
{
    static const std::vector<SiteOperation> operations = {
        auctionOperation<CEbayCom>("ebay", "searchByNumber", &CEbayCom::searchByNumber),
        auctionOperation<CEbayCom>("ebay", "searchByInfo", &CEbayCom::searchByInfo),
        auctionOperation<CEbayCom>("ebay", "loadPage", &CEbayCom::loadPage),
        auctionOperation<CDelcampe>("delcampe", "searchByNumber", &CDelcampe::searchByNumber),
        auctionOperation<CDelcampe>("delcampe", "searchByInfo", &CDelcampe::searchByInfo),
        auctionOperation<CDelcampe>("delcampe", "loadPage", &CDelcampe::loadPage),
        auctionOperation<CBidstartCom>("bidstart", "searchByNumber", &CBidstartCom::searchByNumber),
        auctionOperation<CBidstartCom>("bidstart", "searchByInfo", &CBidstartCom::searchByInfo),
        auctionOperation<CBidstartCom>("bidstart", "loadPage", &CBidstartCom::loadPage),
        auctionOperation<CStampParserColnectCom>("colnect", "searchByNumber",
                                                 &CStampParserColnectCom::searchByNumber),
        auctionOperation<CStampParserColnectCom>("colnect", "loadPage", &CStampParserColnectCom::loadPage),
        {"poppe", "searchByNumber", "KEYWORD FIELD", 2,
         [](const QStringList &arguments, int limit, QStringList *) {
             CStampParserPoppeStamps parser;
             return parser.searchByNumber(arguments.at(0), arguments.at(1), limit);
         }},
        {"google", "searchByImage", "ID", 1,
         [](const QStringList &arguments, int limit, QStringList *after) {
             CGoogleImg parser;
             const QStringList hits = parser.searchByImage(arguments.at(0), limit);
             *after << QStringLiteral("m_hasMorePages\t%1").arg(parser.m_hasMorePages ? "true" : "false")
                    << QStringLiteral("m_resultUrl\t%1").arg(parser.m_resultUrl);
             return hits;
         }},
        {"google", "searchNextPage", "BASE START", 2,
         [](const QStringList &arguments, int limit, QStringList *after) {
             CGoogleImg parser;
             const QStringList hits = parser.searchNextPage(arguments.at(0), limit, arguments.at(1).toInt());
             *after << QStringLiteral("m_hasMorePages\t%1").arg(parser.m_hasMorePages ? "true" : "false")
                    << QStringLiteral("m_resultUrl\t%1").arg(parser.m_resultUrl);
             return hits;
         }},
    };
    return operations;
}

int runSite(const QStringList &args)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    const auto usage = [&err] {
        err << "usage: quillet-tool site NAME OPERATION ARGUMENT... [LIMIT]\n";
        for (const SiteOperation &entry : siteOperations())
            err << "  quillet-tool site " << entry.site << ' ' << entry.operation << ' '
                << entry.arguments << " [LIMIT]\n";
        err << "LIMIT defaults to 99. Hosts come from hosts.cfg in the configuration folder and from "
               "the file named by QUILLET_HOSTS.\n";
        return 2;
    };
    if (args.size() < 2)
        return usage();
    const SiteOperation *found = nullptr;
    for (const SiteOperation &entry : siteOperations()) {
        if (args.at(0) == QLatin1String(entry.site) && args.at(1) == QLatin1String(entry.operation))
            found = &entry;
    }
    if (!found) {
        err << "quillet-tool site: unknown site or operation \"" << args.mid(0, 2).join(' ') << "\"\n";
        return usage();
    }
    const QStringList arguments = args.mid(2);
    if (arguments.size() != found->argumentCount && arguments.size() != found->argumentCount + 1)
        return usage();
    int limit = 99;
    if (arguments.size() == found->argumentCount + 1) {
        bool ok = false;
        limit = arguments.last().toInt(&ok);
        if (!ok) {
            err << "quillet-tool site: LIMIT must be a whole number\n";
            return 2;
        }
    }

    const QString configFolder =
        QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)).filePath("Quillet");
    HostConfig::global() = HostConfig::load(configFolder);

    QStringList after;
    const QStringList hits = found->run(arguments.mid(0, found->argumentCount), limit, &after);
    for (qsizetype i = 0; i + 1 < hits.size(); i += 2)
        out << hits.at(i) << '\t' << hits.at(i + 1) << '\n';
    for (const QString &line : after)
        out << line << '\n';
    return 0;
}

ToolCommand cmd("site", "site NAME OPERATION ARGUMENT... [LIMIT]   (NAME: ebay, delcampe, bidstart, colnect, poppe, google)",
                runSite);

} // namespace
