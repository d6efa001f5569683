// Random tag soup against the depth bound: builds pages by repeating a short random run of risky
// tags (table parts, formatting elements, foreign content, comments, unterminated constructs),
// parses them, and reports every page whose tree grew well past the bound or took long. The scan
// that bounds the depth only guesses the tree builder's moves; this is how its guesses are checked.
//
//     fuzz_htmldepth [first seed] [seeds]     (400 pages of 400 KB per seed)

#include "sites/htmldocument.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

#include <cstdio>
#include <vector>

namespace {

int depthOf(const CWebElement &root)
{
    int deepest = 0;
    std::vector<std::pair<CWebElement, int>> pending{{root, 1}};
    while (!pending.empty()) {
        const auto [element, depth] = pending.back();
        pending.pop_back();
        deepest = std::max(deepest, depth);
        for (CWebElement child = element.firstChild(); !child.isNull(); child = child.nextSibling())
            pending.push_back({child, depth + 1});
    }
    return deepest;
}

const char *const pieces[] = {
    "<div>", "<div/>", "</div>", "<p>", "</p>", "<li>", "<ul>", "</ul>", "<table>", "<tr>", "<td>", "</table>",
    "</td>", "</tr>", "<svg>", "</svg>", "<foreignObject>", "<math>", "<mi>", "<mtext>", "<b>", "</b>", "<i>",
    "<a>", "</a>", "<!--", "-->", "<!-->", "--!>", "<script>", "</script>", "<style>", "</style>", "<textarea>",
    "<title>", "<select>", "</select>", "<option>", "<noscript>", "</noscript>", "<iframe>", "<template>",
    "</template>", "<button>", "<form>", "</form>", "<nobr>", "<x>", "</x>", "<![CDATA[", "]]>", "'", "\"", "=",
    ">", "<h1>", "<dd>", "<dl>", "<object>", "<marquee>", "<body>", "<html>", "<head>", "</head>", "<xmp>",
    "<caption>", "<col>", "<colgroup>", "<tbody>", "<span>", "<font color=red>", "<em>", "<desc>",
    "<annotation-xml encoding=text/html>", "<frameset>", "<frame>", "<input>", "<image>", "<isindex>",
    "<noembed>", "<noframes>", "<applet>", "<hr>", "<br>", "</br>", "<rb>", "<ruby>", "<rt>", "<pre>",
    "<listing>", "<table", "<a href='", "x", "\n", "<", "</", "<!", "<?", "<!doctype html>", "<body/>"};

} // namespace

int main(int argc, char **argv)
{
    const int firstSeed = argc > 1 ? atoi(argv[1]) : 1;
    const int seeds = argc > 2 ? atoi(argv[2]) : 4;
    const int count = int(sizeof(pieces) / sizeof(*pieces));
    int worst = 0;
    qint64 slowest = 0;
    for (int seed = firstSeed; seed < firstSeed + seeds; ++seed) {
        QRandomGenerator random{quint32(seed)};
        for (int page = 0; page < 400; ++page) {
            QByteArray run;
            const int length = 1 + random.bounded(12);
            for (int i = 0; i < length; ++i)
                run += pieces[random.bounded(count)];
            const QByteArray html = run.repeated(400000 / (run.size() + 1) + 1).left(400000);
            QElapsedTimer clock;
            clock.start();
            const auto document = CHtmlDocument::parse(html);
            const int depth = depthOf(document->documentElement());
            const qint64 elapsed = clock.elapsed();
            worst = std::max(worst, depth);
            slowest = std::max(slowest, elapsed);
            if (depth > 2 * CHtmlDocument::maxOpenElements || elapsed > 1000)
                std::printf("depth %d, %lld ms: %s\n", depth, static_cast<long long>(elapsed), run.constData());
        }
    }
    std::printf("%d pages: deepest tree %d (bound %d), slowest parse %lld ms\n", seeds * 400, worst,
                CHtmlDocument::maxOpenElements, static_cast<long long>(slowest));
    return 0;
}
