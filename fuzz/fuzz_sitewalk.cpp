// Each site's walk over arbitrary HTML, as a result page would be walked: the five site parsers and
// the reverse image search. Hit lists come in pairs.
#include "standins/testweb.h"
#include "sites/bidstartcom.h"
#include "sites/delcampe.h"
#include "sites/ebaycom.h"
#include "sites/googleimg.h"
#include "sites/htmldocument.h"
#include "sites/stampparsercolnectcom.h"
#include "sites/stampparserpoppestamps.h"

#include <QApplication>

#include <cstdlib>
#include <memory>

namespace {

constexpr int limit = 20;

std::vector<std::unique_ptr<CSiteParser>> &parsers()
{
    static std::vector<std::unique_ptr<CSiteParser>> all = [] {
        static int argc = 1;
        static char name[] = "fuzz_sitewalk";
        static char *argv[] = {name, nullptr};
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        new QApplication(argc, argv); // the reverse image search holds a web engine page
        CHtmlDocument::setParseBudgetForTesting(500, 256 * 1024 * 1024);
        // The seeds are pages of the stand-in sites, whose host names the rules must know.
        TestWeb::configureHosts();
        std::vector<std::unique_ptr<CSiteParser>> list;
        list.emplace_back(new CDelcampe);
        list.emplace_back(new CStampParserColnectCom);
        list.emplace_back(new CBidstartCom);
        list.emplace_back(new CEbayCom);
        list.emplace_back(new CStampParserPoppeStamps);
        list.emplace_back(new CGoogleImg);
        return list;
    }();
    return all;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray html(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const auto &parser : parsers()) {
        const QStringList hits = parser->walkHtml(html, limit);
        if (hits.size() % 2 != 0)
            std::abort();
    }
    return 0;
}
