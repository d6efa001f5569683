// Parsing and walking pages: an ordinary result page, the largest body taken, and hostile nesting.
// Peak memory is the process's, so run one case at a time (--benchmark_filter) to read it.

#include "sites/htmldocument.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <vector>

namespace {

QByteArray resultPage(int offers)
{
    QByteArray page = "<!DOCTYPE html><html><head><title>r</title><script>var a = '<div>';</script></head><body>"
                      "<table><tr><td><ul class=nav><li><a href=/a>a</a><li><a href=/b>b</a></ul></td></tr></table>";
    for (int i = 0; i < offers; ++i) {
        const QByteArray n = QByteArray::number(i);
        page += "<li class=s-item><div class=w><div class=img><a href='http://www.ebay.test/itm/" + n
                + "'><div><img src='http://i.ebayimg.test/d/l225/m/" + n + ".jpg' alt='stamp'></div></a></div>"
                + "<div class=info><a href='http://www.ebay.test/itm/" + n + "'><h3>Stamp " + n
                + "</h3></a><span class=price>$1.00</span><!-- note --></div></div></li>\n";
    }
    return page + "</body></html>";
}

qint64 walk(const CWebElement &root)
{
    qint64 count = 0;
    std::vector<CWebElement> pending{root};
    while (!pending.empty()) {
        const CWebElement element = pending.back();
        pending.pop_back();
        count += element.attribute("href").size();
        for (CWebElement child = element.firstChild(); !child.isNull(); child = child.nextSibling())
            pending.push_back(child);
    }
    return count;
}

void peakMemory(benchmark::State &state)
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MB"] = double(usage.ru_maxrss) / 1024.0;
}

void parseAndWalk(benchmark::State &state, const QByteArray &html)
{
    for (auto _ : state) {
        const auto document = CHtmlDocument::parse(html);
        benchmark::DoNotOptimize(walk(document->documentElement()));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * html.size());
    peakMemory(state);
}

void BM_ResultPage100Offers(benchmark::State &state)
{
    parseAndWalk(state, resultPage(100));
}

void BM_LargestBody8MB(benchmark::State &state)
{
    QByteArray page = resultPage(1);
    while (page.size() < CHtmlDocument::maxBytes)
        page += resultPage(200);
    parseAndWalk(state, page.left(CHtmlDocument::maxBytes));
}

void BM_Nested100000(benchmark::State &state)
{
    parseAndWalk(state, "<html><body>" + QByteArray("<div>").repeated(100000));
}

void BM_Body50MB(benchmark::State &state)
{
    parseAndWalk(state, QByteArray("<p>filler text of a very long page</p>\n").repeated(50 * 1024 * 1024 / 39));
}

void BM_DepthScan8MB(benchmark::State &state)
{
    QByteArray page = resultPage(1);
    while (page.size() < CHtmlDocument::maxBytes)
        page += resultPage(200);
    page.truncate(CHtmlDocument::maxBytes);
    for (auto _ : state)
        benchmark::DoNotOptimize(CHtmlDocument::boundedLength(page));
    state.SetBytesProcessed(int64_t(state.iterations()) * page.size());
}

} // namespace

BENCHMARK(BM_ResultPage100Offers)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargestBody8MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Nested100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Body50MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DepthScan8MB)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
