// Keyword clean-up over any list of items (one a line): never more items than given, and every
// kept item has both markers; host matching over the same lines.
#include "search/sitesearch.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QStringList items = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size)).split(QLatin1Char('\n'));
    const QStringList kept = CSiteSearch::normaliseKeywords(items);
    if (kept.size() > items.size())
        std::abort();
    for (const QString &item : kept) {
        if (!item.contains(QLatin1String("[inf]")) || !item.contains(QLatin1String("[c]")))
            std::abort();
    }
    int index = -1;
    CSiteSearch::hostInList(items, items.value(0), &index);
    return 0;
}
